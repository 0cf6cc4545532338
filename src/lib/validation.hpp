#pragma once

#include <optional>
#include <span>
#include <string>

#include "lib/numpy_api.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora::py {

// What the Python caller passed for the four model flags.
struct ModelFlags {
  bool concentrate_scale = false;
  bool enforce_stationarity = true;
  bool enforce_invertibility = true;
  bool simple_differencing = false;
};

struct SingleRequest {
  SarimaxConfig config;
  std::optional<Columns> exog;
};

// Each validator returns false with a ValueError set.
bool validate_finite_cols(const Columns& columns, const char* name);
// Reads the 2-D array in place (no copy before its values and shape have been checked).
bool validate_finite_array(PyArrayObject* array, const char* name);
bool validate_single_inputs(std::span<const double> y, PyArrayObject* exog);
bool validate_alpha(double alpha);
bool validate_steps(std::size_t steps);

// Finiteness of y, then exog (values, then rows), then order limits, then the trend text.
// `trend` is a str object or null. The exog columns are copied last, once everything passed.
bool prepare_single_request(std::span<const double> y, PyArrayObject* exog, const std::size_t order[3],
                            const std::size_t seasonal[4], const ModelFlags& flags, PyObject* trend,
                            SingleRequest& out);
// The trend code of a str object or null, or ValueError quoting the text as given.
bool parse_trend_object(PyObject* trend, Trend& out);

}  // namespace pelmora::py
