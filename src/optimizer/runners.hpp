#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "lbfgsb_wrapper/lbfgsb_wrapper.hpp"
#include "optimizer/minimizers.hpp"
#include "optimizer/objective.hpp"
#include "types/types.hpp"

namespace pelmora {

// One optimiser run from one start (unconstrained space).
struct RunOutcome {
  std::vector<double> x;
  double f = 0.0;
  std::uint64_t n_iter = 0;
  bool converged = false;
};

// A facility report as a runner outcome: "{name} failed: {e}" for an error, "{name}: no best
// parameter found" without a best point; converged unless the iteration cap stopped the run.
std::expected<RunOutcome, std::string> runner_outcome(std::expected<MinimizerReport, std::string> report,
                                                      const char* name);

// L-BFGS-B on the negative log-likelihood, with an evaluation budget of `maxiter`.
std::expected<RunOutcome, std::string> run_lbfgsb(const SarimaxObjective& objective, std::vector<double> x0,
                                                  const std::vector<Bound>& bounds, std::uint64_t maxiter);

// Box on the unconstrained parameters: AR/MA blocks in [-0.999, 0.999] when their transform is
// off, ln sigma2 >= -50, everything else free.
std::vector<Bound> compute_bounds(const SarimaxConfig& config);

std::expected<RunOutcome, std::string> run_nelder_mead(const SarimaxObjective& objective, std::vector<double> x0,
                                                       std::uint64_t maxiter);
std::expected<RunOutcome, std::string> run_bfgs(const SarimaxObjective& objective, std::vector<double> x0,
                                                std::uint64_t maxiter);
std::expected<RunOutcome, std::string> run_lbfgs(const SarimaxObjective& objective, std::vector<double> x0,
                                                 std::uint64_t maxiter);

}  // namespace pelmora
