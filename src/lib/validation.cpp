#include "lib/validation.hpp"

#include <cmath>
#include <string>

#include "error/format.hpp"
#include "lib/binding.hpp"

namespace pelmora::py {

namespace {

bool fail(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

}  // namespace

bool validate_finite_cols(const Columns& columns, const char* name) {
  for (std::size_t c = 0; c < columns.size(); ++c) {
    for (std::size_t r = 0; r < columns[c].size(); ++r) {
      if (!std::isfinite(columns[c][r])) {
        return fail(std::string(name) + " contains NaN or Inf at column " + std::to_string(c) +
                    ", row " + std::to_string(r));
      }
    }
  }
  return true;
}

bool validate_single_inputs(std::span<const double> y, PyArrayObject* exog,
                            std::optional<Columns>& columns) {
  for (double v : y) {
    if (!std::isfinite(v)) return fail("input time series contains NaN or Inf values");
  }
  columns.reset();
  if (exog == nullptr) return true;
  columns = numpy2d_to_cols(exog);
  if (!validate_finite_cols(*columns, "exog")) return false;
  const auto rows = static_cast<std::size_t>(PyArray_DIM(exog, 0));
  if (rows != y.size()) {
    return fail("exog has " + std::to_string(rows) + " rows but endog has " +
                std::to_string(y.size()) + " observations; they must match");
  }
  return true;
}

bool validate_alpha(double alpha) {
  if (alpha > 0.0 && alpha < 1.0) return true;
  return fail("alpha must be in (0, 1), got " + format_double(alpha));
}

bool validate_steps(std::size_t steps) {
  if (steps <= 10000) return true;
  return fail("steps must be <= 10000, got " + std::to_string(steps));
}

bool prepare_single_request(std::span<const double> y, PyArrayObject* exog, const std::size_t order[3],
                            const std::size_t seasonal[4], const ModelFlags& flags,
                            const std::optional<std::string>& trend, SingleRequest& out) {
  if (!validate_single_inputs(y, exog, out.exog)) return false;
  const std::size_t n_exog = out.exog ? out.exog->size() : 0;
  if (auto ok = validate_order(order[0], order[1], order[2], seasonal[0], seasonal[1], seasonal[2],
                               seasonal[3], n_exog);
      !ok) {
    return fail(ok.error());
  }
  auto parsed = parse_trend(trend ? std::optional<std::string_view>(*trend) : std::nullopt);
  if (!parsed) return fail(parsed.error());
  SarimaxConfig& c = out.config;
  c.order = SarimaxOrder{order[0], order[1], order[2], seasonal[0], seasonal[1], seasonal[2], seasonal[3]};
  c.n_exog = n_exog;
  c.trend = *parsed;
  c.enforce_stationarity = flags.enforce_stationarity;
  c.enforce_invertibility = flags.enforce_invertibility;
  c.concentrate_scale = flags.concentrate_scale;
  c.simple_differencing = flags.simple_differencing;
  return true;
}

}  // namespace pelmora::py
