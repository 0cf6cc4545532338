#pragma once

#include <span>
#include <string>
#include <vector>

#include "error/error.hpp"
#include "types/types.hpp"

namespace pelmora {

// Maps between the unconstrained space the optimisers search and the constrained space the
// model uses. Autoregressive blocks go through partial autocorrelations (Monahan 1984; the
// Durbin-Levinson recursion), moving-average blocks through the same map negated, and sigma2
// through exp/log. Seasonal blocks are transformed in their own coefficients.

std::vector<double> constrain_stationary(std::span<const double> u);
// Total: partial autocorrelations of modulus >= 1 are floored (1e-15) into large finite values.
std::vector<double> unconstrain_stationary(std::span<const double> phi);
std::vector<double> constrain_invertible(std::span<const double> u);
std::vector<double> unconstrain_invertible(std::span<const double> theta);

// The whole flat vector in either direction; ParamLengthMismatch on a wrong length, DataError
// for a non-positive sigma2 towards unconstrained.
Result<std::vector<double>> transform_params_inner(std::span<const double> x, const SarimaxConfig& config,
                                                   bool to_constrained);

// J' v with J the Jacobian of the map towards constrained at x (forward differences, h = 1e-7).
Result<std::vector<double>> transform_jacobian_t_vec(std::span<const double> x, const SarimaxConfig& config,
                                                     std::span<const double> v);

// Pulls a constrained-space gradient back to the unconstrained point x; the error is the
// display text of the failure.
std::expected<std::vector<double>, std::string> apply_transform_jacobian(std::span<const double> grad,
                                                                         std::span<const double> x,
                                                                         const SarimaxConfig& config);

}  // namespace pelmora
