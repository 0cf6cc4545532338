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
bool validate_single_inputs(std::span<const double> y, PyArrayObject* exog,
                            std::optional<Columns>& columns);
bool validate_alpha(double alpha);
bool validate_steps(std::size_t steps);

// Finiteness of y, then exog (values, then rows), then order limits, then the trend text.
bool prepare_single_request(std::span<const double> y, PyArrayObject* exog, const std::size_t order[3],
                            const std::size_t seasonal[4], const ModelFlags& flags,
                            const std::optional<std::string>& trend, SingleRequest& out);

}  // namespace pelmora::py
