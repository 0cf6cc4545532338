#pragma once

#include <span>
#include <vector>

#include "types/types.hpp"

namespace pelmora {

// Seasonal differences (D times, lag s), then regular ones (d times). Shorter by d + s*D, less
// when the series runs out first.
std::vector<double> apply_differencing(std::span<const double> y, const SarimaxConfig& config);

}  // namespace pelmora
