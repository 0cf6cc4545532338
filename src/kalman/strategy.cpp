#include "kalman/strategy.hpp"

#include <cmath>

namespace pelmora {

namespace {

bool counts_as_nonzero(double v) { return v != 0.0 || std::isnan(v); }

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
  PZ.setZero();
  for (const auto& e : Zs.entries) PZ += e.value * P.col(static_cast<Eigen::Index>(e.index));
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
  W.setZero();
  for (const auto& e : Ts.entries) {
    W.row(static_cast<Eigen::Index>(e.row)) += e.value * P.row(static_cast<Eigen::Index>(e.col));
  }
  P = RQR;
  for (const auto& e : Ts.entries) {
    P.col(static_cast<Eigen::Index>(e.row)) += e.value * W.col(static_cast<Eigen::Index>(e.col));
  }
}

}  // namespace pelmora
