#pragma once

#include <string>

namespace pelmora {

// Doubles inside user-facing messages: the shortest plain decimal that reads back to the same
// value, never exponent form (1e-6 -> "0.000001", 2.0 -> "2"); inf, -inf and NaN spelled out.
std::string format_double(double value);

}  // namespace pelmora
