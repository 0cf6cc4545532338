#include "kalman/batched.hpp"

#include <cmath>
#include <string>

#include "kalman/kalman.hpp"
#include "kalman/strategy.hpp"

namespace pelmora {

Result<BatchedKalmanOutput> kalman_filter_batched(std::span<const std::span<const double>> series,
                                                  const StateSpace& ss, const KalmanInit& init) {
  auto fail = [](std::string message) { return std::unexpected(SarimaxError::data_error(std::move(message))); };
  if (series.empty()) return fail("kalman_filter_batched: observations must contain at least one series");
  const std::size_t n = series[0].size();
  for (std::size_t j = 1; j < series.size(); ++j) {
    if (series[j].size() != n) {
      return fail("kalman_filter_batched: series " + std::to_string(j) + " has length " +
                  std::to_string(series[j].size()) + " but series 0 has length " + std::to_string(n));
    }
  }
  const std::size_t burn = init.n_diffuse;
  if (n <= burn) return fail("Not enough observations: n=" + std::to_string(n) + " <= burn=" + std::to_string(burn));

  const std::size_t k = ss.k_states;
  const Eigen::Index kk = static_cast<Eigen::Index>(k);
  const std::size_t S = series.size();
  const Matrix& T = ss.transition;
  const Vector& Z = ss.design;
  const Matrix RQR = ss.selection * ss.state_cov * ss.selection.transpose();
  const SparseT T_sparse = SparseT::from_dense(T, k);
  const SparseZ Z_sparse = SparseZ::from_dense(Z, k);
  const KalmanStrategy strategy = KalmanStrategy::choose(T_sparse);
  CovariancePredictor predict_cov(T, T_sparse, RQR, strategy);
  const bool use_state_intercept = ss.state_intercept.size() == n * k;

  std::vector<Vector> a(S, init.initial_state);
  Matrix P = init.initial_cov;
  Vector PZ(kk), PZ_old = Vector::Zero(kk), gain(kk), a_next(kk);
  BatchedKalmanOutput out;
  out.residuals.assign(S, {});
  for (auto& r : out.residuals) r.reserve(n);
  out.innovation_variances.reserve(n);
  bool steady = false;
  int count = 0;
  double F_ss = 0.0;

  // a <- T a + c_t for one series.
  auto predict_state = [&](Vector& state, std::size_t t) {
    strategy.predict_state(T, T_sparse, state, a_next, ss.state_intercept, t, k, use_state_intercept);
    state.swap(a_next);
  };

  for (std::size_t t = 0; t < n; ++t) {
    const double d_t = t < ss.obs_intercept.size() ? ss.obs_intercept[t] : 0.0;
    if (steady) {
      out.innovation_variances.push_back(F_ss);
      for (std::size_t j = 0; j < S; ++j) {
        const double v = series[j][t] - Z.dot(a[j]) - d_t;
        out.residuals[j].push_back(v);
        predict_state(a[j], t);
        a[j] += gain * (v / F_ss);
      }
      continue;
    }
    const double F = strategy.compute_pz_and_f(P, Z, Z_sparse, PZ);
    out.innovation_variances.push_back(F);
    const bool update = F > 0.0;
    for (std::size_t j = 0; j < S; ++j) {
      const double v = series[j][t] - Z.dot(a[j]) - d_t;
      out.residuals[j].push_back(v);
      if (update) a[j] += PZ * (v / F);
      predict_state(a[j], t);
    }
    // P <- T (P - PZ PZ' / F) T' + RQR', the update skipped for a non-positive F.
    predict_cov.run(P, PZ, update ? 1.0 / F : 0.0);
    if (!update) continue;
    if (t >= burn + kSteadyDelay) {
      const double f = strategy.compute_pz_and_f(P, Z, Z_sparse, PZ);
      const double rel = (PZ - PZ_old).norm() / std::max(PZ_old.norm(), kSteadyNormFloor);
      count = rel < kSteadyTolerance ? count + 1 : 0;
      if (rel < kSteadyTolerance && count >= kSteadyChecks && std::isfinite(f) && f > 0.0) {
        steady = true;
        F_ss = f;
        strategy.apply_transition(T, T_sparse, PZ, gain);
        continue;
      }
      PZ_old = PZ;
    }
  }
  out.nobs = n - burn;
  return out;
}

}  // namespace pelmora
