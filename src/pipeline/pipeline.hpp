#pragma once

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "kalman/kalman.hpp"
#include "params/params.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

struct PreparedEndog {
  std::vector<double> y;
  std::optional<Columns> exog;
};

// The series to filter and the regressors to use: unchanged, or both differenced when the
// model asks for simple differencing.
Result<PreparedEndog> prepare_endog(std::span<const double> y, const SarimaxConfig& config,
                                    const Columns* exog);

// The series and regressors the filter sees: the inputs themselves, or, under simple
// differencing, their differenced copies held in `storage`.
struct FilterInputs {
  std::span<const double> y;
  const Columns* exog;
};
Result<FilterInputs> filter_inputs(std::span<const double> y, const SarimaxConfig& config, const Columns* exog,
                                   std::optional<PreparedEndog>& storage);

// Exact log-likelihood of `y` at constrained parameters: prepare, build, initialise, filter.
Result<KalmanOutput> kalman_eval(std::span<const double> y, const SarimaxParams& params,
                                 const SarimaxConfig& config, const Columns* exog);

}  // namespace pelmora
