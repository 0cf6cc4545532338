#include "params/params.hpp"

namespace pelmora {

Result<SarimaxParams> SarimaxParams::from_flat(std::span<const double> flat,
                                               const SarimaxConfig& config) {
  const std::size_t expected = config.n_params();
  if (flat.size() != expected) {
    return std::unexpected(SarimaxError::param_length_mismatch(expected, flat.size()));
  }
  const SarimaxOrder& o = config.order;
  SarimaxParams params;
  std::size_t at = 0;
  auto take = [&](std::size_t count) {
    std::vector<double> block(flat.begin() + at, flat.begin() + at + count);
    at += count;
    return block;
  };
  params.trend = take(config.k_trend());
  params.exog = take(config.n_exog);
  params.ar = take(o.p);
  params.ma = take(o.q);
  params.seasonal_ar = take(o.P);
  params.seasonal_ma = take(o.Q);
  if (!config.concentrate_scale) params.sigma2 = flat[at];
  return params;
}

}  // namespace pelmora
