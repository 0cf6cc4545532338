#include "kalman/strategy.hpp"

#include <cmath>

namespace pelmora {

namespace {

bool counts_as_nonzero(double v) { return v != 0.0 || std::isnan(v); }

// y += a x over n contiguous values; a plain loop the compiler vectorises, free of the
// expression overhead that dominates at the small sizes of one filter step.
inline void axpy(std::size_t n, double a, const double* __restrict x, double* __restrict y) {
  for (std::size_t i = 0; i < n; ++i) y[i] += a * x[i];
}

}  // namespace

SparseT SparseT::from_dense(const Matrix& T, std::size_t k) {
  SparseT s;
  s.k = k;
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      const double v = T(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j));
      if (counts_as_nonzero(v)) s.entries.push_back({i, j, v});
    }
  }
  return s;
}

SparseZ SparseZ::from_dense(const Vector& Z, std::size_t k) {
  SparseZ s;
  for (std::size_t i = 0; i < k; ++i) {
    const double v = Z[static_cast<Eigen::Index>(i)];
    if (counts_as_nonzero(v)) s.entries.push_back({i, v});
  }
  return s;
}

KalmanStrategy KalmanStrategy::choose(const SparseT& T) {
  return {T.entries.size() < (T.k * T.k) / 2 ? Kind::Sparse : Kind::Dense};
}

double KalmanStrategy::compute_pz_and_f(const Matrix& P, const Vector& Z, const SparseZ& Zs,
                                        Vector& PZ) const {
  if (kind == Kind::Dense) {
    PZ.noalias() = P * Z;
    return Z.dot(PZ);
  }
  const std::size_t k = static_cast<std::size_t>(P.rows());
  PZ.setZero();
  for (const auto& e : Zs.entries) axpy(k, e.value, P.data() + e.index * k, PZ.data());
  double F = 0.0;
  for (const auto& e : Zs.entries) F += e.value * PZ[static_cast<Eigen::Index>(e.index)];
  return F;
}

void KalmanStrategy::apply_transition(const Matrix& T, const SparseT& Ts, const Vector& x,
                                      Vector& out) const {
  if (kind == Kind::Dense) {
    out.noalias() = T * x;
    return;
  }
  out.setZero();
  for (const auto& e : Ts.entries) {
    out[static_cast<Eigen::Index>(e.row)] += e.value * x[static_cast<Eigen::Index>(e.col)];
  }
}

void KalmanStrategy::right_multiply_transpose(const Matrix& X, const Matrix& Tt, const SparseT& Ts,
                                              Matrix& out) const {
  if (kind == Kind::Dense) {
    out.noalias() = X * Tt;
    return;
  }
  const std::size_t k = Ts.k;
  out.setZero();
  for (const auto& e : Ts.entries) axpy(k, e.value, X.data() + e.col * k, out.data() + e.row * k);
}

void KalmanStrategy::predict_state(const Matrix& T, const SparseT& Ts, const Vector& a, Vector& a_next,
                                   const std::vector<double>& state_intercept, std::size_t t,
                                   std::size_t k, bool use_intercept) const {
  apply_transition(T, Ts, a, a_next);
  if (use_intercept) {
    a_next += Eigen::Map<const Vector>(state_intercept.data() + t * k, static_cast<Eigen::Index>(k));
  }
}

void KalmanStrategy::predict_cov(const Matrix& T, const Matrix& Tt, const SparseT& Ts, Matrix& P,
                                 const Matrix& RQR, Matrix& W) const {
  if (kind == Kind::Dense) {
    W.noalias() = T * P;
    P.noalias() = W * Tt;
    P += RQR;
    return;
  }
  // W = P T' by whole columns of P (contiguous, vectorised); then P = RQR' + T W, each entry
  // of T adding a scaled row of W to a row of P.
  const std::size_t k = Ts.k;
  W.setZero();
  for (const auto& e : Ts.entries) axpy(k, e.value, P.data() + e.col * k, W.data() + e.row * k);
  P = RQR;
  double* p = P.data();
  const double* w = W.data();
  for (const auto& e : Ts.entries) {
    for (std::size_t l = 0; l < k; ++l) p[l * k + e.row] += e.value * w[l * k + e.col];
  }
}

}  // namespace pelmora
