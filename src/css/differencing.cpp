#include "css/differencing.hpp"

namespace pelmora {

std::vector<double> apply_differencing(std::span<const double> y, const SarimaxConfig& config) {
  const SarimaxOrder& o = config.order;
  std::vector<double> x(y.begin(), y.end());
  for (std::size_t i = 0; i < o.D; ++i) {
    if (o.s == 0 || o.s >= x.size()) break;
    std::vector<double> next(x.size() - o.s);
    for (std::size_t t = o.s; t < x.size(); ++t) next[t - o.s] = x[t] - x[t - o.s];
    x.swap(next);
  }
  for (std::size_t i = 0; i < o.d && x.size() > 1; ++i) {
    std::vector<double> next(x.size() - 1);
    for (std::size_t t = 1; t < x.size(); ++t) next[t - 1] = x[t] - x[t - 1];
    x.swap(next);
  }
  return x;
}

}  // namespace pelmora
