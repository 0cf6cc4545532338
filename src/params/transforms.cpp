#include "params/transforms.hpp"

#include <algorithm>
#include <cmath>

#include "error/format.hpp"

namespace pelmora {

namespace {

// Keeps 1 - r^2 away from zero so that the inverse map stays finite for non-stationary input.
constexpr double kPacfFloor = 1e-15;
// Absolute forward-difference step of the Jacobian product.
constexpr double kJacobianStep = 1e-7;

}  // namespace

std::vector<double> constrain_stationary(std::span<const double> u) {
  const std::size_t k = u.size();
  if (k == 0) return {};
  std::vector<double> prev(k, 0.0), cur(k, 0.0);
  for (std::size_t m = 0; m < k; ++m) {
    const double r = u[m] / std::sqrt(u[m] * u[m] + 1.0);
    for (std::size_t i = 0; i < m; ++i) cur[i] = prev[i] + r * prev[m - 1 - i];
    cur[m] = r;
    prev = cur;
  }
  std::vector<double> out(k);
  for (std::size_t i = 0; i < k; ++i) out[i] = -prev[i];
  return out;
}

std::vector<double> unconstrain_stationary(std::span<const double> phi) {
  const std::size_t k = phi.size();
  if (k == 0) return {};
  // Row m of the Durbin-Levinson table holds the AR(m+1) coefficients; walk it backwards.
  std::vector<std::vector<double>> y(k, std::vector<double>(k, 0.0));
  for (std::size_t i = 0; i < k; ++i) y[k - 1][i] = -phi[i];
  for (std::size_t m = k - 1; m >= 1; --m) {
    const double x = y[m][m];
    const double den = std::max(1.0 - x * x, kPacfFloor);
    for (std::size_t i = 0; i < m; ++i) y[m - 1][i] = (y[m][i] - y[m][m - 1 - i] * x) / den;
  }
  std::vector<double> out(k);
  for (std::size_t j = 0; j < k; ++j) {
    const double r = y[j][j];
    out[j] = r / std::sqrt(std::max(1.0 - r * r, kPacfFloor));
  }
  return out;
}

std::vector<double> constrain_invertible(std::span<const double> u) {
  std::vector<double> out = constrain_stationary(u);
  for (double& v : out) v = -v;
  return out;
}

std::vector<double> unconstrain_invertible(std::span<const double> theta) {
  std::vector<double> negated(theta.begin(), theta.end());
  for (double& v : negated) v = -v;
  return unconstrain_stationary(negated);
}

Result<std::vector<double>> transform_params_inner(std::span<const double> x, const SarimaxConfig& config,
                                                   bool to_constrained) {
  const std::size_t expected = config.n_params();
  if (x.size() != expected) {
    return std::unexpected(SarimaxError::param_length_mismatch(expected, x.size()));
  }
  const SarimaxOrder& o = config.order;
  std::vector<double> out;
  out.reserve(expected);
  std::size_t at = config.k_trend() + config.n_exog;
  out.insert(out.end(), x.begin(), x.begin() + at);
  auto block = [&](std::size_t len, bool transformed, bool stationary) {
    const auto in = x.subspan(at, len);
    at += len;
    if (!transformed || len == 0) {
      out.insert(out.end(), in.begin(), in.end());
      return;
    }
    const std::vector<double> mapped =
        stationary ? (to_constrained ? constrain_stationary(in) : unconstrain_stationary(in))
                   : (to_constrained ? constrain_invertible(in) : unconstrain_invertible(in));
    out.insert(out.end(), mapped.begin(), mapped.end());
  };
  block(o.p, config.enforce_stationarity, true);
  block(o.q, config.enforce_invertibility, false);
  block(o.P, config.enforce_stationarity, true);
  block(o.Q, config.enforce_invertibility, false);
  if (!config.concentrate_scale) {
    const double v = x[at];
    if (to_constrained) {
      out.push_back(std::exp(v));
    } else {
      if (!(v > 0.0)) {
        return std::unexpected(
            SarimaxError::data_error("variance sigma2 must be positive, got " + format_double(v)));
      }
      out.push_back(std::log(v));
    }
  }
  return out;
}

Result<std::vector<double>> transform_jacobian_t_vec(std::span<const double> x, const SarimaxConfig& config,
                                                     std::span<const double> v) {
  auto base = transform_params_inner(x, config, true);
  if (!base) return std::unexpected(std::move(base.error()));
  std::vector<double> point(x.begin(), x.end());
  std::vector<double> out(x.size(), 0.0);
  for (std::size_t i = 0; i < point.size(); ++i) {
    const double saved = point[i];
    point[i] = saved + kJacobianStep;
    auto shifted = transform_params_inner(point, config, true);
    point[i] = saved;
    if (!shifted) return std::unexpected(std::move(shifted.error()));
    for (std::size_t j = 0; j < shifted->size() && j < v.size(); ++j) {
      out[i] += (((*shifted)[j] - (*base)[j]) * v[j]) / kJacobianStep;
    }
  }
  return out;
}

std::expected<std::vector<double>, std::string> apply_transform_jacobian(std::span<const double> grad,
                                                                         std::span<const double> x,
                                                                         const SarimaxConfig& config) {
  auto pulled = transform_jacobian_t_vec(x, config, grad);
  if (!pulled) return std::unexpected(pulled.error().display());
  return std::move(*pulled);
}

}  // namespace pelmora
