#include "css/css.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "css/differencing.hpp"
#include "optimizer/objective.hpp"
#include "params/transforms.hpp"
#include "polynomial/polynomial.hpp"

namespace pelmora {

double css_loglike_with_exog(std::span<const double> y, const SarimaxConfig& config, const SarimaxParams& params,
                             const Columns* exog) {
  constexpr double kUnusable = -std::numeric_limits<double>::infinity();
  const std::vector<double> phi = reduced_ar(params, config.order);
  const std::vector<double> theta = reduced_ma(params, config.order);
  std::vector<double> w = apply_differencing(y, config);
  if (exog != nullptr && !params.exog.empty() && exog->size() == params.exog.size()) {
    for (std::size_t j = 0; j < exog->size(); ++j) {
      const std::vector<double> x = apply_differencing((*exog)[j], config);
      const std::size_t m = std::min(x.size(), w.size());
      // Aligned at the end: both series lost their first values to the differencing.
      for (std::size_t i = 0; i < m; ++i) w[w.size() - m + i] -= params.exog[j] * x[x.size() - m + i];
    }
  }
  const std::size_t p = phi.size() - 1, q = theta.size() - 1;
  const std::size_t t0 = std::max(p, q);
  const std::size_t N = w.size();
  if (t0 >= N) return kUnusable;
  std::vector<double> e(N, 0.0);
  double S = 0.0;
  for (std::size_t t = t0; t < N; ++t) {
    double v = w[t];
    for (std::size_t i = 1; i <= p; ++i) v += phi[i] * w[t - i];  // phi holds -phi*_i
    for (std::size_t j = 1; j <= q; ++j) v -= theta[j] * e[t - j];
    e[t] = v;
    S += v * v;
  }
  if (!(std::isfinite(S) && S > 0.0)) return kUnusable;
  const double Ne = static_cast<double>(N - t0);
  return -(Ne / 2.0) * (std::log(S / Ne) + 1.0);
}

double CssObjective::cost(std::span<const double> x) const {
  auto constrained = transform_params_inner(x, config_, true);
  if (!constrained) return kPenalty;
  auto params = SarimaxParams::from_flat(*constrained, config_);
  if (!params) return kPenalty;
  const double ll = css_loglike_with_exog(endog_, config_, *params, exog_ ? &*exog_ : nullptr);
  return std::isfinite(ll) ? -ll : kPenalty;
}

}  // namespace pelmora
