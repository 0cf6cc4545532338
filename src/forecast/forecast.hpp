#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "params/params.hpp"
#include "state_space/state_space.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

struct ForecastResult {
  std::vector<double> mean;
  std::vector<double> variance;
  std::vector<double> ci_lower;
  std::vector<double> ci_upper;
};

struct ResidualOutput {
  std::vector<double> residuals;
  std::vector<double> standardized_residuals;
  std::vector<double> prediction_variances;
};

struct RollingForecastOutput {
  std::vector<std::size_t> origins;
  std::vector<std::vector<double>> mean;
  std::vector<std::vector<double>> variance;
  std::vector<std::vector<double>> ci_lower;
  std::vector<std::vector<double>> ci_upper;
};

// Standard normal quantile by Acklam's rational approximation (no refinement step).
double z_score(double p);

// Propagates the state (a, P) predicted for the first forecast time through the model without
// observations. `time_offset` is the filter's time index of that first forecast time.
Result<ForecastResult> forecast_from_state(const StateSpace& state_space, Vector a, Matrix P, std::size_t steps,
                                           const Columns* future_exog, double scale, double alpha,
                                           std::span<const double> exog_coefs, Trend trend, bool concentrate_scale,
                                           std::span<const double> trend_coefs, std::size_t time_offset);

// h-step forecasts after the end of y. With simple differencing the series is filtered with its
// regressors differenced like it, and the forecasts are those of the levels (future regressors
// given in levels), their variances exact.
Result<ForecastResult> forecast_pipeline(std::span<const double> y, const SarimaxConfig& config,
                                         const SarimaxParams& params, std::size_t steps, double alpha,
                                         const Columns* exog, const Columns* future_exog);

// One-step prediction errors, their variances and the standardized errors.
Result<ResidualOutput> residuals_pipeline(std::span<const double> y, const SarimaxConfig& config,
                                          const SarimaxParams& params, const Columns* exog);

// Forecasts of `horizon` steps from the origins start, start + step, ... (one filter pass).
Result<RollingForecastOutput> rolling_forecast_pipeline(std::span<const double> y, const SarimaxConfig& config,
                                                        const SarimaxParams& params, std::size_t start, double alpha,
                                                        std::size_t step, std::size_t horizon, const Columns* exog);

}  // namespace pelmora
