#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "params/params.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

// Linear Gaussian state-space form of one model for one series:
//   y_t = Z a_t + d_t,   a_{t+1} = T a_t + c_t + R eta_t,   eta_t ~ N(0, Q).
// State layout: k_diff differencing states (d regular, then s seasonal when D = 1), then the
// r ARMA states in companion form, the first of which is the ARMA process itself.
struct StateSpace {
  Matrix transition;                   // T, k x k
  Vector design;                       // Z, k
  Matrix selection;                    // R, k x 1
  Matrix state_cov;                    // Q, 1 x 1
  std::vector<double> obs_intercept;   // d_t, n values
  std::vector<double> state_intercept; // c_t, n*k values, time t at [t*k, t*k + k); empty without a trend
  std::size_t k_states = 0;
  std::size_t k_diff = 0;
  std::size_t k_posdef = 1;

  // `exog` may be null (no regressors); each column must hold n values.
  static Result<StateSpace> build(const SarimaxConfig& config, const SarimaxParams& params,
                                  std::size_t n, const Columns* exog);

  // Rewrites the parameter-dependent entries of a form built for the same configuration, series
  // length and regressors; the result equals a fresh build.
  void refresh(const SarimaxConfig& config, const SarimaxParams& params, const Columns* exog);
};

// The trend term at time index t: beta0 ("c"), t*beta0 ("t") or beta0 + t*beta1 ("ct").
double trend_value(Trend trend, std::span<const double> coefs, double t);

// n*k intercepts with the trend term at state `row`: beta0 ("c"), t*beta0 ("t") or
// beta0 + t*beta1 ("ct"), t counted from 0. Empty without a trend, or with its coefficients missing.
std::vector<double> build_state_intercept(std::size_t n, std::size_t k, std::size_t row, Trend trend,
                                          std::span<const double> coefs);

// Per-time regression value sum_j beta_j x_j[t]; zeros without regressors or coefficients.
std::vector<double> build_obs_intercept(std::size_t n, const Columns* exog,
                                        std::span<const double> beta);

}  // namespace pelmora
