#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kalman/strategy.hpp"
#include "types/linalg.hpp"

namespace pelmora {

// An ordering of the states in which every row of T that copies one state (a single entry equal
// to 1) copies the state just before it. SARIMAX transitions are chains of such rows (the
// seasonal lags, the companion superdiagonal read backwards) headed by a general row, so the
// ordering lays each chain out head first. None exists when a state feeds two copy rows or the
// copies form a cycle.
struct ChainOrder {
  std::vector<std::size_t> position;  // position[i]: where original state i sits
  std::vector<std::uint8_t> copies_previous;  // by position: 1 when the row copies the state before it

  static std::optional<ChainOrder> find(const SparseT& T);

  SparseT permute(const SparseT& T) const;
  SparseZ permute(const SparseZ& Z) const;
  Vector permute(const Vector& x) const;
  // The inverse: a state back in the original ordering.
  void restore(const Vector& x, Vector& out) const;
};

// The filter's symmetric covariance for a transition in chain order, kept where the copy rows
// need no data movement. With column-major storage, entry (i, l) of T P T' is entry (i-1, l-1)
// of P whenever rows i and l are copies, which is k+1 places earlier in memory: the matrix slides
// back by k+1 each step over a buffer, and only the rows and columns of the general rows are
// computed. The measurement update P - s PZ PZ' is applied in place on the way, to the lower
// triangle only: it is the one part that costs k^2/2 per step. The upper triangle is never read.
// Every buffer is sized at construction; the steps allocate nothing.
class SlidingCovariance {
 public:
  // T and Z in chain order; the selection R, state covariance Q and P0 in the original one.
  SlidingCovariance(const SparseT& T, const SparseZ& Z, const ChainOrder& order, const Matrix& R,
                    const Matrix& Q, const Matrix& P0);

  // Writes PZ = P Z and returns F = Z' PZ, for the Z given at construction.
  double pz_and_f(const SparseZ& Z, Vector& PZ) const;
  // P <- T (P - s PZ PZ') T' + RQR', with PZ = P Z.
  void predict(const Vector& PZ, double s);
  // P <- P - s PZ PZ' (kept by callers that report filtered covariances).
  void downdate(const Vector& PZ, double s);
  // out = T x: a shift along the chains, then the general rows.
  void apply_transition(const Vector& x, Vector& out) const;
  // P as a dense matrix, in the original order when `order` is given, else in chain order.
  void copy_to(Matrix& out, const ChainOrder* order = nullptr) const;

 private:
  struct Entry {
    std::size_t row;
    std::size_t col;
    double value;
  };
  struct Term {
    std::size_t slot;  // a gathered column
    double value;
  };

  const double* col(std::size_t j) const { return buffer_.data() + base_ + j * k_; }
  double* col(std::size_t j) { return buffer_.data() + base_ + j * k_; }
  // Gathers the full columns of P that Z and the general rows read, and forms P Z (into pz) and
  // the rows T_g P of the general rows (into G_), one pass over the gathered columns each.
  void products(double* pz) const;
  void rebase();

  std::size_t k_;
  std::vector<std::uint8_t> copies_previous_;
  std::vector<std::size_t> general_;    // rows that are not copies, ascending
  std::vector<std::size_t> moving_;     // columns that move into copy columns
  std::vector<std::size_t> row_begin_;  // entries of row i: entries_[row_begin_[i] .. row_begin_[i+1])
  std::vector<SparseT::Entry> entries_;
  std::vector<Entry> rqr_;              // the lower triangle of RQR'
  std::vector<double> buffer_;
  std::size_t top_;   // where the matrix restarts when it reaches the front of the buffer
  std::size_t base_;  // offset of entry (0, 0)
  std::vector<std::size_t> read_;       // the columns gathered, ascending
  std::vector<Term> z_terms_;           // Z over the gathered columns
  std::vector<std::size_t> g_begin_;    // terms of general row g: g_terms_[g_begin_[g] .. g_begin_[g+1])
  std::vector<Term> g_terms_;
  std::vector<std::uint8_t> g_equals_pz_;  // general row g of T equals Z
  mutable Matrix C_;                    // the gathered columns
  mutable Matrix G_;                    // rows T_g P of the general rows, one column each
  mutable Vector scratch_;
  mutable bool ready_ = false;          // G_ holds the rows of the current P
};

}  // namespace pelmora
