#pragma once

#include <optional>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "types/types.hpp"

namespace pelmora {

// The flat parameter vector split into owned blocks. Flat order: trend, exog, ar, ma,
// seasonal_ar, seasonal_ma, sigma2 (absent when the scale is concentrated out).
struct SarimaxParams {
  std::optional<double> sigma2;
  std::vector<double> trend;
  std::vector<double> exog;
  std::vector<double> ar;
  std::vector<double> ma;
  std::vector<double> seasonal_ar;
  std::vector<double> seasonal_ma;

  // Splits only: no value is checked for finiteness, sign or stationarity.
  static Result<SarimaxParams> from_flat(std::span<const double> flat, const SarimaxConfig& config);
};

}  // namespace pelmora
