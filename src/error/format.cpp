#include "error/format.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace pelmora {

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Fixed notation without a precision is the shortest fixed form that round-trips; the
  // largest doubles need a little over 300 digits.
  char buffer[400];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc{}) return "NaN";  // unreachable: the buffer holds any finite double
  return std::string(buffer, end);
}

}  // namespace pelmora
