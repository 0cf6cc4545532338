#include "lib/validation.hpp"

#include <cmath>
#include <cstring>
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

namespace {

bool fail_non_finite(const char* name, std::size_t c, std::size_t r) {
  return fail(std::string(name) + " contains NaN or Inf at column " + std::to_string(c) + ", row " +
              std::to_string(r));
}

}  // namespace

bool validate_finite_cols(const Columns& columns, const char* name) {
  for (std::size_t c = 0; c < columns.size(); ++c) {
    for (std::size_t r = 0; r < columns[c].size(); ++r) {
      if (!std::isfinite(columns[c][r])) return fail_non_finite(name, c, r);
    }
  }
  return true;
}

bool validate_finite_array(PyArrayObject* array, const char* name) {
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  // Columns in order, rows within a column, as the columns will be read.
  for (npy_intp c = 0; c < cols; ++c) {
    for (npy_intp r = 0; r < rows; ++r) {
      double v;
      std::memcpy(&v, base + r * row_stride + c * col_stride, sizeof v);
      if (!std::isfinite(v)) return fail_non_finite(name, static_cast<std::size_t>(c), static_cast<std::size_t>(r));
    }
  }
  return true;
}

bool validate_single_inputs(std::span<const double> y, PyArrayObject* exog) {
  for (double v : y) {
    if (!std::isfinite(v)) return fail("input time series contains NaN or Inf values");
  }
  if (exog == nullptr) return true;
  if (!validate_finite_array(exog, "exog")) return false;
  const auto rows = static_cast<std::size_t>(PyArray_DIM(exog, 0));
  if (rows != y.size()) {
    return fail("exog has " + std::to_string(rows) + " rows but endog has " + std::to_string(y.size()) +
                " observations; they must match");
  }
  return true;
}

bool parse_trend_object(PyObject* trend, Trend& out) {
  std::optional<std::string> text;
  if (trend != nullptr) {
    text = utf8_of(trend);
    if (!text) text = std::string("\xff");  // not encodable: unknown, reported from the object below
  }
  auto parsed = parse_trend(text ? std::optional<std::string_view>(*text) : std::nullopt);
  if (parsed) {
    out = *parsed;
    return true;
  }
  // Formatted from the object, so that embedded NULs and surrogates appear as given.
  PyErr_Format(PyExc_ValueError, "unknown trend '%U', expected one of: 'n', 'c', 't', 'ct'", trend);
  return false;
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
                            const std::size_t seasonal[4], const ModelFlags& flags, PyObject* trend,
                            SingleRequest& out) {
  if (!validate_single_inputs(y, exog)) return false;
  const std::size_t n_exog = exog ? static_cast<std::size_t>(PyArray_DIM(exog, 1)) : 0;
  if (auto ok = validate_order(order[0], order[1], order[2], seasonal[0], seasonal[1], seasonal[2],
                               seasonal[3], n_exog);
      !ok) {
    return fail(ok.error());
  }
  Trend parsed;
  if (!parse_trend_object(trend, parsed)) return false;
  SarimaxConfig& c = out.config;
  c.order = SarimaxOrder{order[0], order[1], order[2], seasonal[0], seasonal[1], seasonal[2], seasonal[3]};
  c.n_exog = n_exog;
  c.trend = parsed;
  c.enforce_stationarity = flags.enforce_stationarity;
  c.enforce_invertibility = flags.enforce_invertibility;
  c.concentrate_scale = flags.concentrate_scale;
  c.simple_differencing = flags.simple_differencing;
  out.exog.reset();
  if (exog != nullptr) return allocate_or_raise([&] { out.exog = numpy2d_to_cols(exog); });
  return true;
}

}  // namespace pelmora::py
