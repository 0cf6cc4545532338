#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "optimizer/multistart.hpp"
#include "optimizer/objective.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

struct TrustRegionStep {
  std::vector<double> p;
  double norm;
  double predicted;  // predicted decrease of the linear model, floored at 1e-30
};

// How many sweeps the polish of the regression coefficients makes at most.
std::size_t polish_sweep_limit(std::size_t n_exog);

// The quasi-Newton step -H g, clipped to the radius.
TrustRegionStep trust_region_step(const Matrix& H, std::span<const double> g, double delta);

struct TrustRegionResult {
  std::vector<double> x;
  double f;
  std::uint64_t n_iter;
  bool converged;
};

// The trust-region loop with a BFGS inverse Hessian, from (x, f, g) with a budget of B passes.
// `cost` returns +inf where it fails; `gradient` returns nothing where it fails.
TrustRegionResult trust_region_loop(const std::function<double(std::span<const double>)>& cost,
                                    const std::function<std::optional<std::vector<double>>(std::span<const double>)>& gradient,
                                    std::vector<double> x, double f, std::vector<double> g, std::uint64_t budget);

Result<StrategyOutcome> fit_trust_region_single(const SarimaxObjective& objective, std::span<const double> x0,
                                                const SarimaxConfig& config, std::uint64_t maxiter);
Result<StrategyOutcome> fit_profile_trust_region(const SarimaxObjective& objective, std::span<const double> x0,
                                                 const SarimaxConfig& config, std::uint64_t maxiter,
                                                 bool start_params_given);

}  // namespace pelmora
