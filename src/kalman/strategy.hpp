#pragma once

#include <cstddef>
#include <vector>

#include "types/linalg.hpp"

namespace pelmora {

// Nonzero entries of a k x k matrix, rows ascending then columns ascending. NaN counts as
// nonzero (it must propagate as in the dense product); -0.0 counts as zero.
struct SparseT {
  struct Entry {
    std::size_t row;
    std::size_t col;
    double value;
  };
  std::vector<Entry> entries;
  std::size_t k = 0;

  static SparseT from_dense(const Matrix& T, std::size_t k);
};

// Nonzero entries of the design vector, ascending index.
struct SparseZ {
  struct Entry {
    std::size_t index;
    double value;
  };
  std::vector<Entry> entries;

  static SparseZ from_dense(const Vector& Z, std::size_t k);
};

// How the filter forms P Z, T a and T P T' + RQR': dense products, or through the compressed
// forms. Chosen once per call; both give the same values up to rounding. The products allocate
// nothing: the caller owns every buffer.
struct KalmanStrategy {
  enum class Kind { Dense, Sparse };
  Kind kind = Kind::Dense;

  // Sparse when T has fewer than floor(k^2 / 2) nonzeros.
  static KalmanStrategy choose(const SparseT& T);

  // Writes PZ = P Z and returns F = Z' PZ.
  double compute_pz_and_f(const Matrix& P, const Vector& Z, const SparseZ& Zs, Vector& PZ) const;
  // a_next = T a (+ the intercept of time t when in use).
  void predict_state(const Matrix& T, const SparseT& Ts, const Vector& a, Vector& a_next,
                     const std::vector<double>& state_intercept, std::size_t t, std::size_t k,
                     bool use_intercept) const;
  // P <- T P T' + RQR', with W a k x k work matrix.
  void predict_cov(const Matrix& T, const Matrix& Tt, const SparseT& Ts, Matrix& P, const Matrix& RQR,
                   Matrix& W) const;
  // out = T x (no intercept).
  void apply_transition(const Matrix& T, const SparseT& Ts, const Vector& x, Vector& out) const;
  // out = X T'.
  void right_multiply_transpose(const Matrix& X, const Matrix& Tt, const SparseT& Ts, Matrix& out) const;
};

}  // namespace pelmora

namespace pelmora {

// The filter's covariance step for a symmetric P, with the measurement update folded in:
//   P <- T (P - s PZ PZ') T' + RQR'.
// Sparse transitions of SARIMAX models are mostly rows that copy one state (a single entry
// equal to 1: the seasonal shift, the companion superdiagonal). For such rows i and l the
// result is a re-indexing, P_new(i, l) = P_f(sigma(i), sigma(l)), done as contiguous runs;
// only the remaining rows need products. Entries (i, l) and (l, i) are always computed from the
// same terms, so P stays exactly symmetric. Buffers are sized once, at construction.
class CovariancePredictor {
 public:
  CovariancePredictor(const Matrix& T, const SparseT& Ts, const Matrix& RQR, KalmanStrategy strategy);

  void run(Matrix& P, const Vector& PZ, double s);

 private:
  struct Run {
    std::size_t row;  // first result row
    std::size_t src;  // first source state
    std::size_t len;
  };
  struct Entry {
    std::size_t row;
    std::size_t col;
    double value;
  };

  void run_dense(Matrix& P, const Vector& PZ, double s);
  void run_sparse(Matrix& P, const Vector& PZ, double s);

  const Matrix& T_;
  const Matrix& RQR_;
  KalmanStrategy strategy_;
  std::size_t k_;
  std::vector<std::size_t> sigma_;        // source state of a copy row, or k for other rows
  std::vector<Run> runs_;                 // maximal runs of copy rows with consecutive sources
  std::vector<std::size_t> general_;      // rows that are not copies (empty rows included)
  std::vector<std::size_t> row_begin_;    // entries of row i: entries_[row_begin_[i] .. row_begin_[i+1])
  std::vector<SparseT::Entry> entries_;
  std::vector<Entry> rqr_;                // nonzero entries of RQR'
  Matrix W_;                              // the new covariance, swapped into P
  Matrix G_;                              // rows T_i P_f of the general rows, one column each
  Vector TPZ_;
};

}  // namespace pelmora
