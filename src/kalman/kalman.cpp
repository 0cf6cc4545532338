#include "kalman/kalman.hpp"

#include <cmath>
#include <string>

#include "kalman/strategy.hpp"

namespace pelmora {

namespace {

constexpr double kScaleFloor = 1e-300;

void record_snapshots(SnapshotRequest* request, std::size_t& cursor, std::size_t t, const Vector& a,
                      const Matrix& P) {
  if (request == nullptr) return;
  while (cursor < request->origins.size() && request->origins[cursor] == t) {
    request->snapshots.push_back(StateSnapshot{a, P, t});
    ++cursor;
  }
}

std::string origin_list(std::span<const std::size_t> origins) {
  std::string out = "[";
  for (std::size_t i = 0; i < origins.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(origins[i]);
  }
  return out + "]";
}

}  // namespace

Result<KalmanFilterOutput> kalman_core(std::span<const double> y, const StateSpace& ss,
                                       const KalmanInit& init, bool concentrate_scale,
                                       bool keep_steps, SnapshotRequest* snapshots,
                                       std::optional<KalmanStrategy::Kind> force) {
  const std::size_t n = y.size();
  const std::size_t k = ss.k_states;
  const std::size_t burn = init.n_diffuse;
  if (n <= burn) {
    return std::unexpected(SarimaxError::data_error(
        "Not enough observations: n=" + std::to_string(n) + " <= burn=" + std::to_string(burn)));
  }
  const Eigen::Index kk = static_cast<Eigen::Index>(k);
  const Matrix& T = ss.transition;
  const Vector& Z = ss.design;

  // Work space, sized once for the call.
  Vector a = init.initial_state;
  Matrix P = init.initial_cov;
  const Matrix RQR = ss.selection * ss.state_cov * ss.selection.transpose();
  Vector PZ(kk), PZ_old = Vector::Zero(kk), a_next(kk), gain(kk), PZ_ss(kk);
  const bool use_state_intercept = ss.state_intercept.size() == n * k;
  const SparseT T_sparse = SparseT::from_dense(T, k);
  const SparseZ Z_sparse = SparseZ::from_dense(Z, k);
  const KalmanStrategy strategy = force ? KalmanStrategy{*force} : KalmanStrategy::choose(T_sparse);
  CovariancePredictor predict_cov(T, T_sparse, RQR, strategy);

  KalmanFilterOutput out;
  out.residuals.reserve(n);
  if (keep_steps) out.innovation_variances.reserve(n);
  out.filtered_state = Vector::Zero(kk);
  out.filtered_cov = Matrix::Zero(kk, kk);
  if (snapshots != nullptr) snapshots->snapshots.reserve(snapshots->origins.size());
  std::size_t cursor = 0;

  double sum_log_f = 0.0;
  double sum_v2_f = 0.0;
  const double log_substitute = std::log(kNonPositiveVarianceSubstitute);
  bool steady = false;
  bool pz_ready = false;
  double f_from_pz = 0.0;
  int steady_count = 0;
  double F_ss = 0.0, log_F_ss = 0.0;

  // a <- T a + c_t
  auto predict_state = [&](std::size_t t) {
    strategy.predict_state(T, T_sparse, a, a_next, ss.state_intercept, t, k, use_state_intercept);
    a.swap(a_next);
  };

  for (std::size_t t = 0; t < n; ++t) {
    record_snapshots(snapshots, cursor, t, a, P);
    const double d_t = t < ss.obs_intercept.size() ? ss.obs_intercept[t] : 0.0;
    const double v = y[t] - Z.dot(a) - d_t;
    out.residuals.push_back(v);

    if (steady) {
      if (keep_steps) {
        out.innovation_variances.push_back(F_ss);
        out.filtered_state = a + PZ_ss * (v / F_ss);
      }
      predict_state(t);
      a += gain * (v / F_ss);
      if (t >= burn) {
        sum_log_f += log_F_ss;
        sum_v2_f += v * v / F_ss;
      }
      continue;
    }

    // The steady-state check of the previous step already formed P Z for this P.
    const double F = pz_ready ? f_from_pz : strategy.compute_pz_and_f(P, Z, Z_sparse, PZ);
    pz_ready = false;
    if (keep_steps) out.innovation_variances.push_back(F);

    if (!(F > 0.0)) {
      if (keep_steps) {
        out.filtered_state = a;
        out.filtered_cov = P;
      }
      predict_state(t);
      predict_cov.run(P, PZ, 0.0);
      if (t >= burn) {
        sum_log_f += log_substitute;
        sum_v2_f += v * v / kNonPositiveVarianceSubstitute;
      }
      continue;
    }

    const double inv_F = 1.0 / F;
    a += PZ * (v * inv_F);
    if (keep_steps) {
      // P -= PZ PZ' / F, kept for the caller; (PZ_i PZ_j) first keeps P exactly symmetric.
      for (Eigen::Index j = 0; j < kk; ++j) {
        for (Eigen::Index i = 0; i < kk; ++i) P(i, j) -= (PZ[i] * PZ[j]) * inv_F;
      }
      out.filtered_state = a;
      out.filtered_cov = P;
    }
    predict_state(t);
    // Otherwise the measurement update is folded into the covariance prediction.
    predict_cov.run(P, PZ, keep_steps ? 0.0 : inv_F);

    if (t >= burn) {
      sum_log_f += std::log(F);
      sum_v2_f += v * v * inv_F;
    }

    if (t >= burn + kSteadyDelay) {
      Vector& PZ_new = PZ;  // P Z of the predicted P; the next step starts from it
      f_from_pz = strategy.compute_pz_and_f(P, Z, Z_sparse, PZ_new);
      pz_ready = true;
      const double diff = (PZ_new - PZ_old).norm();
      const double rel = diff / std::max(PZ_old.norm(), kSteadyNormFloor);
      steady_count = rel < kSteadyTolerance ? steady_count + 1 : 0;
      if (rel < kSteadyTolerance && steady_count >= kSteadyChecks) {
        const double f = f_from_pz;
        if (std::isfinite(f) && f > 0.0) {
          steady = true;
          F_ss = f;
          log_F_ss = std::log(f);
          PZ_ss = PZ_new;
          strategy.apply_transition(T, T_sparse, PZ_new, gain);
          continue;
        }
      }
      PZ_old = PZ_new;
    }
  }

  record_snapshots(snapshots, cursor, n, a, P);
  if (snapshots != nullptr && cursor != snapshots->origins.size()) {
    return std::unexpected(SarimaxError::invalid_input(
        "snapshot origins must be sorted ascending and <= n=" + std::to_string(n) + ", got " +
        origin_list(snapshots->origins)));
  }

  if (!std::isfinite(sum_log_f) || !std::isfinite(sum_v2_f)) {
    return std::unexpected(SarimaxError::data_error(
        "non-finite Kalman statistics encountered (possible NaN/Inf in inputs)"));
  }
  const double N = static_cast<double>(n - burn);
  double loglike = 0.0;
  double scale = 0.0;
  if (concentrate_scale) {
    const double sigma2 = sum_v2_f / N;
    loglike = -0.5 * sum_log_f - 0.5 * N * kLog2Pi - 0.5 * N * std::log(std::max(sigma2, kScaleFloor)) -
              0.5 * N;
    scale = sigma2;
  } else {
    loglike = -0.5 * N * kLog2Pi - 0.5 * sum_log_f - 0.5 * sum_v2_f;
    scale = ss.state_cov(0, 0);
  }
  if (!std::isfinite(loglike) || !std::isfinite(scale)) {
    return std::unexpected(
        SarimaxError::data_error("non-finite loglike/scale produced by Kalman filter"));
  }
  out.predicted_state = std::move(a);
  out.predicted_cov = std::move(P);
  out.loglike = loglike;
  out.scale = scale;
  out.nobs = n - burn;
  return out;
}

Result<KalmanOutput> kalman_loglike(std::span<const double> y, const StateSpace& ss,
                                    const KalmanInit& init, bool concentrate_scale) {
  auto filtered = kalman_core(y, ss, init, concentrate_scale, false, nullptr);
  if (!filtered) return std::unexpected(std::move(filtered.error()));
  return KalmanOutput{std::move(filtered->residuals), filtered->loglike, filtered->scale,
                      filtered->nobs};
}

Result<std::pair<KalmanFilterOutput, std::vector<StateSnapshot>>> kalman_filter_with_snapshots(
    std::span<const double> y, const StateSpace& ss, const KalmanInit& init, bool concentrate_scale,
    std::span<const std::size_t> origins) {
  SnapshotRequest request{std::vector<std::size_t>(origins.begin(), origins.end()), {}};
  auto filtered = kalman_core(y, ss, init, concentrate_scale, true, &request);
  if (!filtered) return std::unexpected(std::move(filtered.error()));
  return std::make_pair(std::move(*filtered), std::move(request.snapshots));
}

}  // namespace pelmora
