#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error/error.hpp"
#include "optimizer/objective.hpp"
#include "optimizer/runners.hpp"
#include "types/types.hpp"

namespace pelmora {

// What every fit strategy returns: the optimum (unconstrained), its cost, the iterations
// charged, the convergence flag and the label of the path that produced it.
struct StrategyOutcome {
  std::vector<double> x;
  double f = 0.0;
  std::uint64_t n_iter = 0;
  bool converged = false;
  std::string method;
};

// The best result so far of a strategy, and the shared iteration budget.
struct BestSoFar {
  std::vector<double> x;
  double f = 0.0;
  bool converged = false;
  std::string method;
};

struct Budget {
  std::uint64_t remaining = 0;
  std::uint64_t used = 0;
  // Charges c iterations: at most what remains; `used` saturates.
  void charge(std::uint64_t c);
};

// Replaces best only on a strictly lower cost (ties and NaN keep the earlier one).
void try_update_best(std::optional<BestSoFar>& best, const RunOutcome& candidate, const std::string& label);

// `count` deterministic perturbations of center from a 64-bit LCG seeded with 12345: coordinate j
// becomes c_j + scale_j u with u in [-0.5, 0.5) and scale_j = 0.5 |c_j| (or 0.1 when |c_j| <= 0.1).
std::vector<std::vector<double>> lcg_perturbed_starts(std::span<const double> center, std::size_t count,
                                                      std::uint64_t remaining);

// Nelder-Mead from MA starts -0.3, -0.6, -0.9 (every MA coefficient at the value, the other
// parameters at 0 and the innovation variance at that of x0).
void grid_ma_initialization(const SarimaxObjective& objective, const SarimaxConfig& config,
                            std::span<const double> x0, Budget& budget, std::optional<BestSoFar>& best,
                            const std::string& label);

// A Nelder-Mead polish of the best point with what remains of the budget.
StrategyOutcome nm_refinement(const SarimaxObjective& objective, const BestSoFar& best, std::size_t n, Budget& budget);

Result<StrategyOutcome> fit_lbfgsb_single(const SarimaxObjective& objective, std::span<const double> x0,
                                          const SarimaxConfig& config, std::uint64_t maxiter);
Result<StrategyOutcome> fit_lbfgsb_multi(const SarimaxObjective& objective, std::span<const double> x0,
                                         const SarimaxConfig& config, std::uint64_t maxiter, std::uint32_t n_starts);
Result<StrategyOutcome> fit_lbfgs_multi(const SarimaxObjective& objective, std::span<const double> x0,
                                        const SarimaxConfig& config, std::uint64_t maxiter, std::uint32_t n_starts);
Result<StrategyOutcome> fit_bfgs_single(const SarimaxObjective& objective, std::span<const double> x0,
                                        const SarimaxConfig& config, std::uint64_t maxiter);

// Gradient-weighted restarts around a first answer, on the worker pool: around the multi-start
// answer ("lbfgsb-hybrid") or the single-start one ("lbfgsb-adaptive"). Each coordinate's spread
// grows with its size and with the steepness of the likelihood along it at the start.
Result<StrategyOutcome> fit_lbfgsb_hybrid(const SarimaxObjective& objective, std::span<const double> x0,
                                          const SarimaxConfig& config, std::uint64_t maxiter, std::uint32_t n_starts);
Result<StrategyOutcome> fit_lbfgsb_adaptive_restart(const SarimaxObjective& objective, std::span<const double> x0,
                                                    const SarimaxConfig& config, std::uint64_t maxiter,
                                                    std::uint32_t n_starts);

// Weighted restart candidates the two strategies form: at least 3, whatever n_starts says.
std::size_t restart_candidate_count(std::uint32_t n_starts);

// Direction weights max(|g_i| / max|g|, 0.1) from the analytic gradient at x0 (all ones when it fails).
std::vector<double> direction_weights(const SarimaxObjective& objective, std::span<const double> x0);
// Spreads max(0.6 max(|x0_i|, |c_i|), 0.5).
std::vector<double> restart_spreads(std::span<const double> x0, std::span<const double> centre);

// The restart generator: the LCG above, one draw giving r = 2 u - 1 with u the upper 32 bits / (2^32 - 1).
class RestartGenerator {
 public:
  explicit RestartGenerator(std::uint64_t seed) : state_(seed) {}
  double draw();

 private:
  std::uint64_t state_;
};

}  // namespace pelmora
