#include "state_space/state_space.hpp"

#include <algorithm>
#include <string>

#include "polynomial/polynomial.hpp"

namespace pelmora {

double trend_value(Trend trend, std::span<const double> coefs, double t) {
  switch (trend) {
    case Trend::Constant:
      return coefs[0];
    case Trend::Linear:
      return t * coefs[0];
    case Trend::ConstantLinear:
      return coefs[0] + t * coefs[1];
    case Trend::None:
      break;
  }
  return 0.0;
}

std::vector<double> build_state_intercept(std::size_t n, std::size_t k, std::size_t row, Trend trend,
                                          std::span<const double> coefs) {
  // Without a trend there is no intercept at all: the filters then skip adding zeros each step.
  if (trend == Trend::None || coefs.size() < k_trend(trend) || row >= k) return {};
  std::vector<double> c(n * k, 0.0);
  for (std::size_t t = 0; t < n; ++t) c[t * k + row] = trend_value(trend, coefs, static_cast<double>(t));
  return c;
}

std::vector<double> build_obs_intercept(std::size_t n, const Columns* exog,
                                        std::span<const double> beta) {
  std::vector<double> d(n, 0.0);
  if (exog == nullptr || beta.empty()) return d;
  const std::size_t m = std::min(beta.size(), exog->size());
  for (std::size_t t = 0; t < n; ++t) {
    double sum = 0.0;
    for (std::size_t j = 0; j < m; ++j) sum += beta[j] * (*exog)[j][t];
    d[t] = sum;
  }
  return d;
}

Result<StateSpace> StateSpace::build(const SarimaxConfig& config, const SarimaxParams& params,
                                     std::size_t n, const Columns* exog) {
  const SarimaxOrder& o = config.order;
  if (o.D >= 2) {
    return std::unexpected(
        SarimaxError::state_space_construction("Seasonal differencing D > 1 is not yet supported"));
  }
  if (o.D == 1 && o.s < 2) {
    return std::unexpected(SarimaxError::state_space_construction(
        "Seasonal differencing D=" + std::to_string(o.D) +
        " requires seasonal period s >= 2, got s=" + std::to_string(o.s)));
  }
  const std::size_t r = o.k_arma();
  const std::size_t k_diff = config.simple_differencing ? 0 : o.d + o.s * o.D;
  const std::size_t k = k_diff + r;
  if (exog != nullptr) {
    for (std::size_t j = 0; j < exog->size(); ++j) {
      if ((*exog)[j].size() != n) {
        return std::unexpected(SarimaxError::data_error(
            "exog column " + std::to_string(j) + " has " + std::to_string((*exog)[j].size()) +
            " rows but y has " + std::to_string(n) + " observations"));
      }
    }
  }

  StateSpace ss;
  ss.k_states = k;
  ss.k_diff = k_diff;
  ss.k_posdef = 1;
  Matrix& T = ss.transition;
  T.setZero(k, k);
  const std::size_t d = o.d;
  const bool seasonal_diff = k_diff > 0 && o.D == 1;
  if (k_diff > 0) {
    for (std::size_t i = 0; i < d; ++i) {
      for (std::size_t j = i; j < d; ++j) T(i, j) = 1.0;
    }
    if (seasonal_diff) {
      T(d, d + o.s - 1) = 1.0;
      for (std::size_t m = 1; m < o.s; ++m) T(d + m, d + m - 1) = 1.0;
      for (std::size_t i = 0; i < d; ++i) T(i, d + o.s - 1) = 1.0;
    }
    for (std::size_t i = 0; i < d; ++i) T(i, k_diff) = 1.0;
    if (seasonal_diff) T(d, k_diff) = 1.0;
  }
  ss.design.setZero(k);
  if (k_diff > 0) {
    for (std::size_t i = 0; i < d; ++i) ss.design[i] = 1.0;
    if (seasonal_diff) ss.design[d + o.s - 1] = 1.0;
  }
  ss.design[k_diff] = 1.0;
  for (std::size_t j = 0; j + 1 < r; ++j) T(k_diff + j, k_diff + j + 1) = 1.0;
  ss.selection.setZero(k, 1);
  ss.selection(k_diff, 0) = 1.0;
  ss.state_cov = Matrix::Constant(1, 1, 1.0);
  ss.obs_intercept.assign(n, 0.0);
  ss.refresh(config, params, exog);
  return ss;
}

void StateSpace::refresh(const SarimaxConfig& config, const SarimaxParams& params, const Columns* exog) {
  const SarimaxOrder& o = config.order;
  const std::size_t k = k_states;
  const std::size_t r = k - k_diff;
  const std::size_t n = obs_intercept.size();
  // Companion column of the reduced AR polynomial, and the reduced MA polynomial in R.
  const std::vector<double> ar = reduced_ar(params, o);
  for (std::size_t j = 0; j < r; ++j) transition(k_diff + j, k_diff) = j + 1 < ar.size() ? -ar[j + 1] : 0.0;
  const std::vector<double> ma = reduced_ma(params, o);
  for (std::size_t j = 1; j < r; ++j) selection(k_diff + j, 0) = j < ma.size() ? ma[j] : 0.0;
  state_cov(0, 0) = config.concentrate_scale ? 1.0 : params.sigma2.value_or(1.0);
  obs_intercept = build_obs_intercept(n, exog, params.exog);
  state_intercept = build_state_intercept(n, k, k_diff, config.trend, params.trend);
}

}  // namespace pelmora
