#include "kalman/kalman.hpp"

#include <cmath>
#include <string>

#include "kalman/sliding_covariance.hpp"
#include "kalman/strategy.hpp"

namespace pelmora {

namespace {

constexpr double kScaleFloor = 1e-300;

std::string origin_list(std::span<const std::size_t> origins) {
  std::string out = "[";
  for (std::size_t i = 0; i < origins.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(origins[i]);
  }
  return out + "]";
}

}  // namespace

namespace {

// The covariance as a dense matrix, predicted by CovariancePredictor (dense transitions, and
// sparse ones without a chain order).
class MatrixCovariance {
 public:
  MatrixCovariance(const Matrix& T, const SparseT& Ts, const Vector& Z, const Matrix& RQR, const Matrix& P0,
                   KalmanStrategy strategy)
      : P_(P0), T_(T), Ts_(Ts), Z_(Z), strategy_(strategy), predictor_(T, Ts, RQR, strategy) {}

  double pz_and_f(const SparseZ& Zs, Vector& PZ) const { return strategy_.compute_pz_and_f(P_, Z_, Zs, PZ); }
  void predict(const Vector& PZ, double s) { predictor_.run(P_, PZ, s); }
  void downdate(const Vector& PZ, double s) {
    const Eigen::Index k = P_.rows();
    for (Eigen::Index j = 0; j < k; ++j) {
      for (Eigen::Index i = 0; i < k; ++i) P_(i, j) -= (PZ[i] * PZ[j]) * s;
    }
  }
  void apply_transition(const Vector& x, Vector& out) const { strategy_.apply_transition(T_, Ts_, x, out); }
  void copy_to(Matrix& out, const ChainOrder* /* never set: this path keeps the original order */) const {
    out = P_;
  }

 private:
  Matrix P_;
  const Matrix& T_;
  const SparseT& Ts_;
  const Vector& Z_;
  KalmanStrategy strategy_;
  CovariancePredictor predictor_;
};

// The system as the filter runs it: in the original state order, or permuted into a chain
// order (then every vector and matrix below is in that order, and results are restored).
struct FilterFrame {
  SparseT Ts;
  SparseZ Zs;
  Vector a0;
  const ChainOrder* order = nullptr;

  void export_state(const Vector& a, Vector& out) const {
    if (order != nullptr) {
      order->restore(a, out);
    } else {
      out = a;
    }
  }
};

template <class Cov>
Result<KalmanFilterOutput> filter_loop(std::span<const double> y, const StateSpace& ss, const FilterFrame& frame,
                                       Cov& cov, std::size_t burn,
                                       bool concentrate_scale, bool keep_steps, SnapshotRequest* snapshots) {
  const std::size_t n = y.size();
  const std::size_t k = ss.k_states;
  const Eigen::Index kk = static_cast<Eigen::Index>(k);
  const SparseZ& Z_sparse = frame.Zs;
  const std::size_t* position = frame.order != nullptr ? frame.order->position.data() : nullptr;

  // Work space, sized once for the call.
  Vector a = frame.a0;
  Vector PZ(kk), PZ_old = Vector::Zero(kk), a_next(kk), gain(kk), PZ_ss(kk);
  const bool use_state_intercept = ss.state_intercept.size() == n * k;

  KalmanFilterOutput out;
  out.residuals.reserve(n);
  if (keep_steps) out.innovation_variances.reserve(n);
  if (keep_steps) {
    out.filtered_state = Vector::Zero(kk);
    out.filtered_cov = Matrix::Zero(kk, kk);
  }
  if (snapshots != nullptr) snapshots->snapshots.reserve(snapshots->origins.size());
  std::size_t cursor = 0;
  auto record = [&](std::size_t t) {
    if (snapshots == nullptr) return;
    while (cursor < snapshots->origins.size() && snapshots->origins[cursor] == t) {
      StateSnapshot snap;
      snap.origin = t;
      frame.export_state(a, snap.state);
      cov.copy_to(snap.cov, frame.order);
      snapshots->snapshots.push_back(std::move(snap));
      ++cursor;
    }
  };

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
    cov.apply_transition(a, a_next);
    if (use_state_intercept) {
      const double* c = ss.state_intercept.data() + t * k;
      for (std::size_t i = 0; i < k; ++i) a_next[static_cast<Eigen::Index>(position ? position[i] : i)] += c[i];
    }
    a.swap(a_next);
  };

  for (std::size_t t = 0; t < n; ++t) {
    record(t);
    const double d_t = t < ss.obs_intercept.size() ? ss.obs_intercept[t] : 0.0;
    double za = 0.0;
    for (const auto& e : Z_sparse.entries) za += e.value * a[static_cast<Eigen::Index>(e.index)];
    const double v = y[t] - za - d_t;
    out.residuals.push_back(v);

    if (steady) {
      if (keep_steps) {
        out.innovation_variances.push_back(F_ss);
        a_next = a + PZ_ss * (v / F_ss);  // a_next is free until the prediction below
        frame.export_state(a_next, out.filtered_state);
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
    const double F = pz_ready ? f_from_pz : cov.pz_and_f(Z_sparse, PZ);
    pz_ready = false;
    if (keep_steps) out.innovation_variances.push_back(F);

    if (!(F > 0.0)) {
      if (keep_steps) {
        frame.export_state(a, out.filtered_state);
        cov.copy_to(out.filtered_cov, frame.order);
      }
      predict_state(t);
      cov.predict(PZ, 0.0);
      if (t >= burn) {
        sum_log_f += log_substitute;
        sum_v2_f += v * v / kNonPositiveVarianceSubstitute;
      }
      continue;
    }

    const double inv_F = 1.0 / F;
    a += PZ * (v * inv_F);
    if (keep_steps) {
      cov.downdate(PZ, inv_F);
      frame.export_state(a, out.filtered_state);
      cov.copy_to(out.filtered_cov, frame.order);
    }
    predict_state(t);
    // Otherwise the measurement update is folded into the covariance prediction.
    cov.predict(PZ, keep_steps ? 0.0 : inv_F);

    if (t >= burn) {
      sum_log_f += std::log(F);
      sum_v2_f += v * v * inv_F;
    }

    if (t >= burn + kSteadyDelay) {
      Vector& PZ_new = PZ;  // P Z of the predicted P; the next step starts from it
      f_from_pz = cov.pz_and_f(Z_sparse, PZ_new);
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
          cov.apply_transition(PZ_new, gain);
          continue;
        }
      }
      PZ_old = PZ_new;
    }
  }

  record(n);
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
  if (keep_steps) {
    frame.export_state(a, out.predicted_state);
    cov.copy_to(out.predicted_cov, frame.order);
  }
  out.loglike = loglike;
  out.scale = scale;
  out.nobs = n - burn;
  return out;
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
  SparseT T_sparse = SparseT::from_dense(ss.transition, k);
  SparseZ Z_sparse = SparseZ::from_dense(ss.design, k);
  const KalmanStrategy strategy = force ? KalmanStrategy{*force} : KalmanStrategy::choose(T_sparse);

  if (strategy.kind == KalmanStrategy::Kind::Sparse) {
    if (const auto order = ChainOrder::find(T_sparse)) {
      FilterFrame frame{order->permute(T_sparse), order->permute(Z_sparse), order->permute(init.initial_state),
                        &*order};
      SlidingCovariance cov(frame.Ts, frame.Zs, *order, ss.selection, ss.state_cov, init.initial_cov);
      return filter_loop(y, ss, frame, cov, burn, concentrate_scale, keep_steps, snapshots);
    }
  }
  const Matrix RQR = (ss.selection * ss.state_cov).lazyProduct(ss.selection.transpose());
  FilterFrame frame{std::move(T_sparse), std::move(Z_sparse), init.initial_state, nullptr};
  MatrixCovariance cov(ss.transition, frame.Ts, ss.design, RQR, init.initial_cov, strategy);
  return filter_loop(y, ss, frame, cov, burn, concentrate_scale, keep_steps, snapshots);
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
