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
