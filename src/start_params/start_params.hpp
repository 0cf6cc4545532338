#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "error/error.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

// Regression-only starting values (constrained, flat layout): difference, remove trend and
// regressors by least squares, estimate the regular and seasonal ARMA blocks by two-stage
// regression (Hannan-Rissanen), zero any block that comes too close to the unit circle.
// Numerical dead ends give zeros; the only error is a result of the wrong length.
Result<std::vector<double>> compute_start_params(std::span<const double> endog, const SarimaxConfig& config,
                                                 const Columns* exog);

std::vector<double> difference(std::span<const double> x, std::size_t d);
std::vector<double> seasonal_difference(std::span<const double> x, std::size_t D, std::size_t s);
std::vector<double> ar_residuals(std::span<const double> x, std::span<const double> phi);
std::vector<double> seasonal_ar_residuals(std::span<const double> x, std::span<const double> Phi, std::size_t s);

// Least squares through the SVD pseudo-inverse (singular values <= 1e-12 treated as zero);
// none when there are fewer rows than columns.
std::optional<std::vector<double>> ols_pinv(const Columns& columns, std::span<const double> y);

struct TwoStageEstimate {
  std::vector<double> ar;
  std::vector<double> ma;
  double sigma2;
};
std::optional<TwoStageEstimate> css_two_stage(std::span<const double> y, std::span<const std::size_t> ar_lags,
                                              std::span<const std::size_t> ma_lags);

Columns difference_exog_cols(const Columns& columns, std::size_t d, std::size_t D, std::size_t s);

}  // namespace pelmora
