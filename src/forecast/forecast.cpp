#include "forecast/forecast.hpp"

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>

#include "error/format.hpp"
#include "initialization/initialization.hpp"
#include "kalman/kalman.hpp"
#include "kalman/strategy.hpp"
#include "pipeline/pipeline.hpp"

namespace pelmora {

double z_score(double p) {
  // Acklam (2003), "An algorithm for computing the inverse normal cumulative distribution
  // function"; relative error below 1.15e-9 over (0, 1).
  static constexpr double a[] = {-39.69683028665376, 220.9460984245205, -275.9285104469687,
                                 138.357751867269,   -30.66479806614716, 2.506628277459239};
  static constexpr double b[] = {-54.47609879822406, 161.5858368580409, -155.6989798598866, 66.80131188771972,
                                 -13.28068155288572};
  static constexpr double c[] = {-0.007784894002430293, -0.3223964580411365, -2.400758277161838,
                                 -2.549732539343734,    4.374664141464968,   2.938163982698783};
  static constexpr double d[] = {0.007784695709041462, 0.3224671290700398, 2.445134137142996, 3.754408661907416};
  constexpr double kLow = 0.02425, kHigh = 1.0 - kLow;
  if (p <= 0.0) return -std::numeric_limits<double>::infinity();
  if (p >= 1.0) return std::numeric_limits<double>::infinity();
  const double q = p - 0.5;
  if (std::abs(q) < 1e-15) return 0.0;
  auto tail = [&](double u) {
    return (((((c[0] * u + c[1]) * u + c[2]) * u + c[3]) * u + c[4]) * u + c[5]) /
           ((((d[0] * u + d[1]) * u + d[2]) * u + d[3]) * u + 1.0);
  };
  if (p < kLow) return tail(std::sqrt(-2.0 * std::log(p)));
  if (p > kHigh) return -tail(std::sqrt(-2.0 * std::log(1.0 - p)));
  const double r = q * q;
  return q * (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
}

Result<ForecastResult> forecast_from_state(const StateSpace& ss, Vector a, Matrix P, std::size_t steps,
                                           const Columns* future_exog, double scale, double alpha,
                                           std::span<const double> exog_coefs, Trend trend, bool concentrate_scale,
                                           std::span<const double> trend_coefs, std::size_t time_offset) {
  if (!exog_coefs.empty() && future_exog == nullptr && steps > 0) {
    return std::unexpected(
        SarimaxError::invalid_input("model has exogenous variables: future_exog is required for forecasting"));
  }
  if (future_exog != nullptr) {
    if (future_exog->size() != exog_coefs.size()) {
      return std::unexpected(SarimaxError::invalid_input("future_exog column count mismatch: expected " +
                                                         std::to_string(exog_coefs.size()) + ", got " +
                                                         std::to_string(future_exog->size())));
    }
    for (std::size_t j = 0; j < future_exog->size(); ++j) {
      const auto& col = (*future_exog)[j];
      if (col.size() < steps) {
        return std::unexpected(SarimaxError::invalid_input(
            "future_exog column " + std::to_string(j) + " has " + std::to_string(col.size()) + " rows but " +
            std::to_string(steps) + " forecast steps requested"));
      }
      for (double v : col) {
        if (!std::isfinite(v)) {
          return std::unexpected(
              SarimaxError::invalid_input("future_exog column " + std::to_string(j) + " contains NaN or Inf values"));
        }
      }
    }
  }
  ForecastResult out;
  if (steps == 0) return out;
  const double z = z_score(1.0 - alpha / 2.0);
  const double m = concentrate_scale ? scale : 1.0;
  const std::size_t k = ss.k_states;
  const Eigen::Index kk = static_cast<Eigen::Index>(k);
  const Matrix RQR = ss.selection * ss.state_cov * ss.selection.transpose();
  const Matrix Tt = ss.transition.transpose();
  const SparseT Ts = SparseT::from_dense(ss.transition, k);
  const KalmanStrategy strategy = KalmanStrategy::choose(Ts);
  Vector a_next(kk);
  Matrix W(kk, kk);
  const bool has_trend = trend != Trend::None && trend_coefs.size() >= k_trend(trend);
  out.mean.reserve(steps);
  out.variance.reserve(steps);
  out.ci_lower.reserve(steps);
  out.ci_upper.reserve(steps);
  for (std::size_t h = 0; h < steps; ++h) {
    double x = 0.0;
    if (future_exog != nullptr) {
      for (std::size_t j = 0; j < exog_coefs.size(); ++j) x += exog_coefs[j] * (*future_exog)[j][h];
    }
    const double mean = ss.design.dot(a) + x;
    const double variance = std::max(ss.design.dot(P * ss.design) * m, 0.0);
    out.mean.push_back(mean);
    out.variance.push_back(variance);
    out.ci_lower.push_back(mean - z * std::sqrt(variance));
    out.ci_upper.push_back(mean + z * std::sqrt(variance));
    strategy.apply_transition(ss.transition, Ts, a, a_next);
    a.swap(a_next);
    if (has_trend) {
      a[static_cast<Eigen::Index>(ss.k_diff)] += trend_value(trend, trend_coefs, static_cast<double>(time_offset + h));
    }
    strategy.predict_cov(ss.transition, Tt, Ts, P, RQR, W);
  }
  return out;
}

namespace {

struct Filtered {
  KalmanFilterOutput out;
  StateSpace state_space;
};

Result<Filtered> filter(std::span<const double> y, const SarimaxConfig& config, const SarimaxParams& params,
                        const Columns* exog) {
  auto ss = StateSpace::build(config, params, y.size(), exog);
  if (!ss) return std::unexpected(std::move(ss.error()));
  const KalmanInit init = KalmanInit::from_config_default(*ss, config);
  auto out = kalman_core(y, *ss, init, config.concentrate_scale, true, nullptr);
  if (!out) return std::unexpected(std::move(out.error()));
  return Filtered{std::move(*out), std::move(*ss)};
}

// The order-th regular difference of x at `position` (which needs order earlier values).
double regular_difference_at(const std::vector<double>& x, std::size_t order, std::size_t position) {
  // Binomial expansion: sum_i (-1)^i C(order, i) x[position - i].
  double value = 0.0, binom = 1.0;
  for (std::size_t i = 0; i <= order; ++i) {
    value += ((i % 2 == 0) ? binom : -binom) * x[position - i];
    binom = binom * static_cast<double>(order - i) / static_cast<double>(i + 1);
  }
  return value;
}

// Forecasts of the levels under simple differencing. The differenced series is filtered; its
// predicted ARMA state is then joined to the differencing states of the full form, whose values
// at the end of the sample are known exactly (lagged differences of y - x b), and the joint state
// is propagated with the full transition. This gives the level means and their exact variances:
// summing differenced-scale variances would ignore the correlation of their errors.
Result<ForecastResult> forecast_simple_differencing(std::span<const double> y, const SarimaxConfig& config,
                                                    const SarimaxParams& params, std::size_t steps, double alpha,
                                                    const Columns* exog, const Columns* future_exog) {
  auto prepared = prepare_endog(y, config, exog);
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  const Columns* exog_d = prepared->exog ? &*prepared->exog : nullptr;
  auto filtered = filter(prepared->y, config, params, exog_d);
  if (!filtered) return std::unexpected(std::move(filtered.error()));

  SarimaxConfig full = config;
  full.simple_differencing = false;
  auto full_ss = StateSpace::build(full, params, 0, nullptr);
  if (!full_ss) return std::unexpected(std::move(full_ss.error()));
  const SarimaxOrder& o = config.order;
  const std::size_t k_diff = full_ss->k_diff;
  const std::size_t k = full_ss->k_states;
  const std::size_t n = y.size();

  // z = y - x b in levels: the series whose differences the ARMA block describes.
  std::vector<double> z(y.begin(), y.end());
  if (exog != nullptr) {
    for (std::size_t j = 0; j < exog->size() && j < params.exog.size(); ++j)
      for (std::size_t t = 0; t < n; ++t) z[t] -= params.exog[j] * (*exog)[j][t];
  }
  // Differencing states predicted for time n: regular state i holds the i-th difference of z at
  // n - 1; seasonal state m holds the d-th difference at n - 1 - m (the layout of the full form).
  Vector a = Vector::Zero(static_cast<Eigen::Index>(k));
  for (std::size_t i = 0; i < o.d; ++i) a[static_cast<Eigen::Index>(i)] = regular_difference_at(z, i, n - 1);
  if (o.D == 1) {
    for (std::size_t m = 0; m < o.s; ++m) a[static_cast<Eigen::Index>(o.d + m)] = regular_difference_at(z, o.d, n - 1 - m);
  }
  const Eigen::Index r = static_cast<Eigen::Index>(k - k_diff);
  a.segment(static_cast<Eigen::Index>(k_diff), r) = filtered->out.predicted_state;
  Matrix P = Matrix::Zero(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k));
  P.block(static_cast<Eigen::Index>(k_diff), static_cast<Eigen::Index>(k_diff), r, r) = filtered->out.predicted_cov;
  return forecast_from_state(*full_ss, std::move(a), std::move(P), steps, future_exog, filtered->out.scale, alpha,
                             params.exog, config.trend, config.concentrate_scale, params.trend, prepared->y.size());
}

}  // namespace

Result<ForecastResult> forecast_pipeline(std::span<const double> y, const SarimaxConfig& config,
                                         const SarimaxParams& params, std::size_t steps, double alpha,
                                         const Columns* exog, const Columns* future_exog) {
  if (config.simple_differencing) {
    return forecast_simple_differencing(y, config, params, steps, alpha, exog, future_exog);
  }
  auto filtered = filter(y, config, params, exog);
  if (!filtered) return std::unexpected(std::move(filtered.error()));
  return forecast_from_state(filtered->state_space, std::move(filtered->out.predicted_state),
                             std::move(filtered->out.predicted_cov), steps, future_exog, filtered->out.scale, alpha,
                             params.exog, config.trend, config.concentrate_scale, params.trend, y.size());
}

Result<ResidualOutput> residuals_pipeline(std::span<const double> y, const SarimaxConfig& config,
                                          const SarimaxParams& params, const Columns* exog) {
  std::optional<PreparedEndog> storage;
  auto inputs = filter_inputs(y, config, exog, storage);
  if (!inputs) return std::unexpected(std::move(inputs.error()));
  auto filtered = filter(inputs->y, config, params, inputs->exog);
  if (!filtered) return std::unexpected(std::move(filtered.error()));
  const double m = config.concentrate_scale ? filtered->out.scale : 1.0;
  ResidualOutput out;
  out.residuals = std::move(filtered->out.residuals);
  out.prediction_variances.reserve(out.residuals.size());
  out.standardized_residuals.reserve(out.residuals.size());
  for (std::size_t t = 0; t < out.residuals.size(); ++t) {
    const double var = filtered->out.innovation_variances[t] * m;
    out.prediction_variances.push_back(var);
    out.standardized_residuals.push_back(var > 0.0 ? out.residuals[t] / std::sqrt(var) : 0.0);
  }
  return out;
}

Result<RollingForecastOutput> rolling_forecast_pipeline(std::span<const double> y, const SarimaxConfig& config,
                                                        const SarimaxParams& params, std::size_t start, double alpha,
                                                        std::size_t step, std::size_t horizon, const Columns* exog) {
  auto invalid = [](std::string message) { return std::unexpected(SarimaxError::invalid_input(std::move(message))); };
  const std::size_t n = y.size();
  if (config.simple_differencing) return invalid("rolling_forecast does not support simple_differencing yet");
  if (n == 0) return invalid("endog is empty");
  if (start == 0 || start >= n) {
    return invalid("start must be in [1, n-1] = [1, " + std::to_string(n - 1) + "], got " + std::to_string(start));
  }
  if (step == 0) return invalid("step must be >= 1");
  if (horizon == 0) return invalid("horizon must be >= 1");
  const bool with_exog = exog != nullptr && !exog->empty();
  std::size_t max_origin = n - 1;
  if (with_exog) {
    if (horizon > n) {
      return invalid("horizon " + std::to_string(horizon) + " exceeds series length " + std::to_string(n) +
                     " for exog model");
    }
    max_origin = n - horizon;
  }
  if (start > max_origin) {
    return invalid("start " + std::to_string(start) + " exceeds max origin " + std::to_string(max_origin) +
                   " (exog models cap origins at n - horizon)");
  }
  std::vector<std::size_t> origins;
  for (std::size_t t = start; t <= max_origin; t += step) {
    origins.push_back(t);
    if (max_origin - t < step) break;  // the next origin would pass the maximum (or overflow)
  }

  // Snapshot memory: N k^2 covariance entries at most 2^28 (2 GiB of doubles).
  constexpr std::uint64_t kMaxEntries = std::uint64_t{1} << 28;
  constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t N = origins.size();
  const std::uint64_t k = config.order.k_states();
  auto sat_mul = [](std::uint64_t a, std::uint64_t b, bool& saturated) -> std::uint64_t {
    if (a != 0 && b > kU64Max / a) {
      saturated = true;
      return kU64Max;
    }
    return a * b;
  };
  bool saturated = false;
  const std::uint64_t entries = sat_mul(sat_mul(N, k, saturated), k, saturated);
  if (entries > kMaxEntries) {
    const std::uint64_t bytes = (saturated || entries >= (std::uint64_t{1} << 61)) ? kU64Max : 8 * entries;
    const double gib = static_cast<double>(bytes) / 1073741824.0;
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", gib);
    return invalid("rolling forecast would retain " + std::to_string(N) + " origin snapshots of " + std::to_string(k) +
                   "x" + std::to_string(k) + " state covariances (~" + text +
                   " GiB > 2 GiB limit); increase `step`, raise `start`, or split the series into chunks");
  }

  auto ss = StateSpace::build(config, params, n, exog);
  if (!ss) return std::unexpected(std::move(ss.error()));
  const KalmanInit init = KalmanInit::from_config_default(*ss, config);
  auto filtered = kalman_filter_with_snapshots(y, *ss, init, config.concentrate_scale, origins);
  if (!filtered) return std::unexpected(std::move(filtered.error()));
  const double scale = filtered->first.scale;
  RollingForecastOutput out;
  for (auto& snapshot : filtered->second) {
    const std::size_t t = snapshot.origin;
    std::optional<Columns> rows;
    if (with_exog) {
      rows.emplace();
      for (const auto& col : *exog) rows->emplace_back(col.begin() + static_cast<std::ptrdiff_t>(t),
                                                       col.begin() + static_cast<std::ptrdiff_t>(t + horizon));
    }
    auto f = forecast_from_state(*ss, std::move(snapshot.state), std::move(snapshot.cov), horizon,
                                 rows ? &*rows : nullptr, scale, alpha, params.exog, config.trend,
                                 config.concentrate_scale, params.trend, t);
    if (!f) return std::unexpected(std::move(f.error()));
    out.origins.push_back(t);
    out.mean.push_back(std::move(f->mean));
    out.variance.push_back(std::move(f->variance));
    out.ci_lower.push_back(std::move(f->ci_lower));
    out.ci_upper.push_back(std::move(f->ci_upper));
  }
  return out;
}

}  // namespace pelmora
