#include "kalman/strategy.hpp"

#include <algorithm>
#include <cmath>

namespace pelmora {

namespace {

// NaN compares unequal to everything, so it counts; -0.0 == 0.0 does not.
bool counts_as_nonzero(double v) { return v != 0.0; }

// y += a x over n contiguous values; a plain loop the compiler vectorises, free of the
// expression overhead that dominates at the small sizes of one filter step.
inline void axpy(std::size_t n, double a, const double* __restrict x, double* __restrict y) {
  for (std::size_t i = 0; i < n; ++i) y[i] += a * x[i];
}

// y = x - (z zm) s over n contiguous values; z_i zm is formed first so that entries (i, m) and
// (m, i) of a symmetric update round identically.
inline void shifted_copy(std::size_t n, const double* __restrict x, const double* __restrict z, double zm,
                         double s, double* __restrict y) {
  for (std::size_t i = 0; i < n; ++i) y[i] = x[i] - (z[i] * zm) * s;
}

}  // namespace

SparseT SparseT::from_dense(const Matrix& T, std::size_t k) {
  // Down the (contiguous) columns, then a stable sort by row: columns stay ascending in a row.
  SparseT s;
  s.k = k;
  const double* t = T.data();
  s.entries.reserve(2 * k);
  for (std::size_t j = 0; j < k; ++j) {
    for (std::size_t i = 0; i < k; ++i) {
      const double v = t[j * k + i];
      if (counts_as_nonzero(v)) s.entries.push_back({i, j, v});
    }
  }
  std::stable_sort(s.entries.begin(), s.entries.end(), [](const Entry& a, const Entry& b) { return a.row < b.row; });
  return s;
}

SparseZ SparseZ::from_dense(const Vector& Z, std::size_t k) {
  SparseZ s;
  s.entries.reserve(k);
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
    out.noalias() = X.lazyProduct(Tt);
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
    // Coefficient-based products: the blocked product takes heap work space for large k.
    W.noalias() = T.lazyProduct(P);
    P.noalias() = W.lazyProduct(Tt);
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

namespace pelmora {

CovariancePredictor::CovariancePredictor(const Matrix& T, const SparseT& Ts, const Matrix& RQR,
                                         KalmanStrategy strategy)
    : T_(T), RQR_(RQR), strategy_(strategy), k_(Ts.k) {
  const std::size_t k = k_;
  const Eigen::Index kk = static_cast<Eigen::Index>(k);
  W_.resize(kk, kk);
  TPZ_.resize(kk);
  if (strategy_.kind == KalmanStrategy::Kind::Dense) return;

  entries_ = Ts.entries;
  row_begin_.assign(k + 1, 0);
  for (const auto& e : entries_) ++row_begin_[e.row + 1];
  for (std::size_t i = 0; i < k; ++i) row_begin_[i + 1] += row_begin_[i];
  sigma_.assign(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    const std::size_t b = row_begin_[i], e = row_begin_[i + 1];
    if (e - b == 1 && entries_[b].value == 1.0) {
      sigma_[i] = entries_[b].col;
    } else {
      general_.push_back(i);
    }
  }
  for (std::size_t i = 0; i < k; ++i) {
    if (sigma_[i] == k) continue;
    if (!runs_.empty()) {
      Run& last = runs_.back();
      if (last.row + last.len == i && last.src + last.len == sigma_[i]) {
        ++last.len;
        continue;
      }
    }
    runs_.push_back({i, sigma_[i], 1});
  }
  for (std::size_t l = 0; l < k; ++l) {
    for (std::size_t i = 0; i < k; ++i) {
      const double v = RQR(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(l));
      if (counts_as_nonzero(v)) rqr_.push_back({i, l, v});
    }
  }
  G_.resize(kk, static_cast<Eigen::Index>(std::max<std::size_t>(general_.size(), 1)));
}

void CovariancePredictor::run(Matrix& P, const Vector& PZ, double s) {
  if (strategy_.kind == KalmanStrategy::Kind::Dense) {
    run_dense(P, PZ, s);
  } else {
    run_sparse(P, PZ, s);
  }
}

void CovariancePredictor::run_dense(Matrix& P, const Vector& PZ, double s) {
  const std::size_t k = k_;
  if (s != 0.0) {
    double* p = P.data();
    const double* pz = PZ.data();
    for (std::size_t j = 0; j < k; ++j) axpy(k, -pz[j] * s, pz, p + j * k);
  }
  // Coefficient-based products: the blocked product takes heap work space for large k.
  W_.noalias() = T_.lazyProduct(P);
  P.noalias() = W_.lazyProduct(T_.transpose());
  P += RQR_;
}

void CovariancePredictor::run_sparse(Matrix& P, const Vector& PZ, double s) {
  const std::size_t k = k_;
  const double* p = P.data();
  const double* pz = PZ.data();
  double* w = W_.data();

  // Rows of the general rows of T times P_f, with P_f = P - s PZ PZ' (P symmetric, so row j of
  // P is column j): g_i = sum_j T_ij P_j - PZ (T PZ)_i s.
  for (std::size_t g = 0; g < general_.size(); ++g) {
    const std::size_t i = general_[g];
    double* gi = G_.data() + g * k;
    for (std::size_t m = 0; m < k; ++m) gi[m] = 0.0;
    double tpz = 0.0;
    for (std::size_t e = row_begin_[i]; e < row_begin_[i + 1]; ++e) {
      const auto& en = entries_[e];
      axpy(k, en.value, p + en.col * k, gi);
      tpz += en.value * pz[en.col];
    }
    if (s != 0.0 && tpz != 0.0) axpy(k, -tpz * s, pz, gi);
  }

  // Copy rows against copy columns: a re-indexing of P_f, by contiguous runs. Both triangles are
  // written: contiguous copies are cheaper than mirroring one triangle with strided writes.
  for (std::size_t l = 0; l < k; ++l) {
    const std::size_t m = sigma_[l];
    if (m == k) continue;
    const double* pcol = p + m * k;
    double* wcol = w + l * k;
    for (const Run& run : runs_) {
      if (s != 0.0) {
        shifted_copy(run.len, pcol + run.src, pz + run.src, pz[m], s, wcol + run.row);
      } else {  // no update: P Z (which may hold NaN) plays no part
        std::copy(pcol + run.src, pcol + run.src + run.len, wcol + run.row);
      }
    }
  }

  // General rows against every column: (T P_f T')_il = sum over row l of T of T_lm g_i(m).
  for (std::size_t g = 0; g < general_.size(); ++g) {
    const std::size_t i = general_[g];
    const double* gi = G_.data() + g * k;
    for (std::size_t l = 0; l < k; ++l) {
      double v;
      if (sigma_[l] != k) {
        v = gi[sigma_[l]];
      } else {
        v = 0.0;
        for (std::size_t e = row_begin_[l]; e < row_begin_[l + 1]; ++e) v += entries_[e].value * gi[entries_[e].col];
      }
      w[l * k + i] = v;
      w[i * k + l] = v;
    }
  }

  for (const Entry& e : rqr_) w[e.col * k + e.row] += e.value;
  P.swap(W_);
}

}  // namespace pelmora
