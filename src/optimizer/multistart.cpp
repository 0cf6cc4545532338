#include "optimizer/multistart.hpp"

#include <tbb/parallel_for.h>

#include <cmath>
#include <limits>

#include "batch/fork_guard.hpp"
#include "optimizer/mod.hpp"
#include "params/transforms.hpp"

namespace pelmora {

namespace {

constexpr std::uint64_t kLcgMultiplier = 6364136223846793005ULL;
constexpr std::uint64_t kLcgIncrement = 1442695040888963407ULL;
constexpr std::uint64_t kLcgSeed = 12345;
constexpr double kMaGrid[] = {-0.3, -0.6, -0.9};
// An escalated multi-start result must beat the single run by more than this.
constexpr double kEscalationMargin = 0.1;

StrategyOutcome from_best(const BestSoFar& best, std::uint64_t n_iter) {
  return {best.x, best.f, n_iter, best.converged, best.method};
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// The ending shared by the multi-start plans: Nelder-Mead from x0 when nothing succeeded, else
// the polish of the best point.
Result<StrategyOutcome> finish(const SarimaxObjective& objective, std::span<const double> x0,
                               const std::optional<BestSoFar>& best, Budget& budget) {
  if (!best) {
    auto nm = run_nelder_mead(objective, std::vector<double>(x0.begin(), x0.end()), budget.remaining);
    if (!nm) return std::unexpected(SarimaxError::optimization_failed(nm.error()));
    const std::uint64_t n_iter = saturating_add(budget.used, std::min(budget.remaining, nm->n_iter));
    return StrategyOutcome{nm->x, nm->f, n_iter, nm->converged, "nelder-mead (fallback)"};
  }
  return nm_refinement(objective, *best, x0.size(), budget);
}

// The plan of the multi-start strategies; `run` is the single-start runner, `parallel` whether
// perturbed starts may go to the worker pool.
template <typename Run>
Result<StrategyOutcome> multi_start(const SarimaxObjective& objective, std::span<const double> x0,
                                    const SarimaxConfig& config, std::uint64_t maxiter, std::uint32_t n_starts,
                                    const std::string& label, const std::string& grid_label, bool parallel, Run run) {
  Budget budget{maxiter, 0};
  std::optional<BestSoFar> best;
  const std::vector<double> start(x0.begin(), x0.end());
  if (auto r = run(objective, start, maxiter)) {
    budget.charge(r->n_iter);
    try_update_best(best, *r, label);
  }
  if (n_starts > 0 && budget.remaining > 0) {
    if (auto r = run(objective, std::vector<double>(x0.size(), 0.0), budget.remaining)) {
      budget.charge(r->n_iter);
      try_update_best(best, *r, label);
    }
    grid_ma_initialization(objective, config, x0, budget, best, grid_label);
    std::vector<std::vector<double>> starts;
    for (auto& s : lcg_perturbed_starts(x0, n_starts, budget.remaining)) {
      if (passes_cancellation_filter(s, config)) starts.push_back(std::move(s));
    }
    const bool pooled = parallel && starts.size() >= 2 && budget.remaining > 0 && guard_worker_pool_fork().has_value();
    if (pooled) {
      const std::uint64_t per_start = budget.remaining / starts.size();
      if (per_start > 0) {
        std::vector<std::optional<RunOutcome>> results(starts.size());
        tbb::parallel_for(std::size_t{0}, starts.size(), [&](std::size_t i) {
          // Each task owns its objective: the caches are not shared between threads.
          const SarimaxObjective own = objective.clone();
          if (auto r = run(own, starts[i], per_start)) results[i] = std::move(*r);
        });
        std::uint64_t total = 0;
        for (const auto& r : results) {
          if (r) total = saturating_add(total, r->n_iter);
        }
        budget.used = saturating_add(budget.used, total);
        budget.remaining -= std::min(budget.remaining, total);
        for (const auto& r : results) {
          if (r) try_update_best(best, *r, label);
        }
      }
    } else {
      for (const auto& s : starts) {
        if (budget.remaining == 0) break;
        if (auto r = run(objective, s, budget.remaining)) {
          budget.charge(r->n_iter);
          try_update_best(best, *r, label);
        }
      }
    }
  }
  return finish(objective, x0, best, budget);
}

}  // namespace

void Budget::charge(std::uint64_t c) {
  const std::uint64_t taken = std::min(remaining, c);
  used = saturating_add(used, taken);
  remaining -= taken;
}

void try_update_best(std::optional<BestSoFar>& best, const RunOutcome& candidate, const std::string& label) {
  if (!best) {
    best = BestSoFar{candidate.x, candidate.f, candidate.converged, label};
  } else if (candidate.f < best->f) {
    *best = BestSoFar{candidate.x, candidate.f, candidate.converged, label};
  }
}

std::vector<std::vector<double>> lcg_perturbed_starts(std::span<const double> center, std::size_t count,
                                                      std::uint64_t remaining) {
  if (remaining == 0) return {};
  std::uint64_t state = kLcgSeed;
  std::vector<std::vector<double>> starts;
  starts.reserve(count);
  for (std::size_t s = 0; s < count; ++s) {
    std::vector<double> v(center.begin(), center.end());
    for (std::size_t j = 0; j < v.size(); ++j) {
      state = state * kLcgMultiplier + kLcgIncrement;
      const double u = static_cast<double>(state >> 33) * 0x1p-31 - 0.5;
      const double scale = std::abs(center[j]) > 0.1 ? 0.5 * std::abs(center[j]) : 0.1;
      v[j] = center[j] + scale * u;
    }
    starts.push_back(std::move(v));
  }
  return starts;
}

void grid_ma_initialization(const SarimaxObjective& objective, const SarimaxConfig& config,
                            std::span<const double> x0, Budget& budget, std::optional<BestSoFar>& best,
                            const std::string& label) {
  const SarimaxOrder& o = config.order;
  if (!config.enforce_invertibility || o.Q == 0 || budget.remaining == 0) return;
  const std::size_t n = x0.size();
  const std::size_t ma_at = config.k_trend() + config.n_exog + o.p;
  const std::size_t sma_at = ma_at + o.q + o.P;
  for (double v : kMaGrid) {
    if (budget.remaining == 0) break;
    std::vector<double> constrained(n, 0.0);
    for (std::size_t i = 0; i < o.q; ++i) constrained[ma_at + i] = v;
    for (std::size_t i = 0; i < o.Q; ++i) constrained[sma_at + i] = v;
    // The innovation variance of the strategy's own start: a zero variance cannot be unconstrained.
    if (!config.concentrate_scale && n > 0) constrained[n - 1] = std::exp(x0[n - 1]);
    auto start = transform_params_inner(constrained, config, false);
    if (!start) continue;
    if (auto r = run_nelder_mead(objective, std::move(*start), budget.remaining)) {
      budget.charge(r->n_iter);
      try_update_best(best, *r, label);
    }
  }
}

StrategyOutcome nm_refinement(const SarimaxObjective& objective, const BestSoFar& best, std::size_t n, Budget& budget) {
  if (n >= 2 && budget.remaining > 0) {
    auto nm = run_nelder_mead(objective, best.x, budget.remaining);
    if (!nm) return from_best(best, budget.used);
    budget.charge(nm->n_iter);
    if (nm->f < best.f) return {nm->x, nm->f, budget.used, nm->converged, best.method + "+nm"};
  }
  return from_best(best, budget.used);
}

Result<StrategyOutcome> fit_lbfgsb_multi(const SarimaxObjective& objective, std::span<const double> x0,
                                         const SarimaxConfig& config, std::uint64_t maxiter, std::uint32_t n_starts) {
  const std::vector<Bound> bounds = compute_bounds(config);
  auto run = [&](const SarimaxObjective& obj, std::vector<double> start, std::uint64_t budget) {
    return run_lbfgsb(obj, std::move(start), bounds, budget);
  };
  return multi_start(objective, x0, config, maxiter, n_starts, "lbfgsb-multi", "lbfgsb-multi+nm", true, run);
}

Result<StrategyOutcome> fit_lbfgs_multi(const SarimaxObjective& objective, std::span<const double> x0,
                                        const SarimaxConfig& config, std::uint64_t maxiter, std::uint32_t n_starts) {
  auto run = [](const SarimaxObjective& obj, std::vector<double> start, std::uint64_t budget) {
    return run_lbfgs(obj, std::move(start), budget);
  };
  return multi_start(objective, x0, config, maxiter, n_starts, "lbfgs", "lbfgs", false, run);
}

Result<StrategyOutcome> fit_lbfgsb_single(const SarimaxObjective& objective, std::span<const double> x0,
                                          const SarimaxConfig& config, std::uint64_t maxiter) {
  const std::vector<double> start(x0.begin(), x0.end());
  auto r = run_lbfgsb(objective, start, compute_bounds(config), maxiter);
  const std::uint32_t starts = n_starts(x0.size(), config.order.P, config.order.Q);
  if (!r) {
    if (auto m = fit_lbfgsb_multi(objective, x0, config, maxiter, starts)) {
      m->method += " (fallback)";
      return std::move(*m);
    }
    auto nm = run_nelder_mead(objective, start, maxiter);
    if (!nm) return std::unexpected(SarimaxError::optimization_failed(nm.error()));
    return StrategyOutcome{nm->x, nm->f, nm->n_iter, nm->converged, "nelder-mead (fallback)"};
  }
  if (on_cancellation_ridge(r->x, config)) {
    auto m = fit_lbfgsb_multi(objective, x0, config, maxiter, starts);
    if (m && m->f < r->f - kEscalationMargin) {
      return StrategyOutcome{m->x, m->f, std::max(r->n_iter, m->n_iter), m->converged,
                             m->method + " (cancellation escalation)"};
    }
  }
  return StrategyOutcome{r->x, r->f, r->n_iter, r->converged, "lbfgsb"};
}

Result<StrategyOutcome> fit_bfgs_single(const SarimaxObjective& objective, std::span<const double> x0,
                                        const SarimaxConfig& /*config*/, std::uint64_t maxiter) {
  const std::vector<double> start(x0.begin(), x0.end());
  if (auto r = run_bfgs(objective, start, maxiter)) return StrategyOutcome{r->x, r->f, r->n_iter, r->converged, "bfgs"};
  auto nm = run_nelder_mead(objective, start, maxiter);
  if (!nm) return std::unexpected(SarimaxError::optimization_failed(nm.error()));
  return StrategyOutcome{nm->x, nm->f, nm->n_iter, nm->converged, "nelder-mead (fallback)"};
}

std::size_t restart_candidate_count(std::uint32_t n_starts) { return std::max<std::size_t>(3, n_starts); }

double RestartGenerator::draw() {
  state_ = state_ * kLcgMultiplier + kLcgIncrement;
  const double u = static_cast<double>(state_ >> 32) / 4294967295.0;
  return 2.0 * u - 1.0;
}

std::vector<double> direction_weights(const SarimaxObjective& objective, std::span<const double> x0) {
  std::vector<double> g(x0.size(), 1.0);
  if (auto analytic = objective.analytical_gradient_negloglike(x0); analytic && analytic->size() == x0.size()) {
    g = std::move(*analytic);
  }
  double G = 0.0;
  for (double v : g) {
    if (!std::isnan(v)) G = std::max(G, std::abs(v));
  }
  G = std::max(G, 1e-12);
  std::vector<double> w(g.size());
  for (std::size_t i = 0; i < g.size(); ++i) {
    const double q = std::abs(g[i]) / G;
    w[i] = std::isnan(q) ? 0.1 : std::max(q, 0.1);
  }
  return w;
}

std::vector<double> restart_spreads(std::span<const double> x0, std::span<const double> centre) {
  std::vector<double> s(x0.size());
  for (std::size_t i = 0; i < x0.size(); ++i) {
    double m = std::max(std::abs(x0[i]), std::abs(centre[i]));
    if (std::isnan(m)) m = std::abs(x0[i]);
    s[i] = std::max(0.6 * m, 0.5);
  }
  return s;
}

namespace {

// b_j + a s_j w_j r_j, one draw per coordinate in order.
std::vector<double> weighted_candidate(std::span<const double> base, double factor, const std::vector<double>& spreads,
                                       const std::vector<double>& weights, RestartGenerator& gen) {
  std::vector<double> c(base.begin(), base.end());
  for (std::size_t j = 0; j < c.size(); ++j) c[j] += factor * spreads[j] * weights[j] * gen.draw();
  return c;
}

// L-BFGS-B from every candidate on the pool (each task with its own objective and bounds),
// merged in candidate order; nothing runs in a forked child.
void pooled_restarts(const SarimaxObjective& objective, const std::vector<std::vector<double>>& candidates,
                     const std::vector<Bound>& bounds, std::uint64_t budget, std::optional<BestSoFar>& best,
                     const std::string& label) {
  if (candidates.empty() || !guard_worker_pool_fork()) return;
  std::vector<std::optional<RunOutcome>> results(candidates.size());
  tbb::parallel_for(std::size_t{0}, candidates.size(), [&](std::size_t i) {
    const SarimaxObjective own = objective.clone();
    const std::vector<Bound> own_bounds = bounds;
    if (auto r = run_lbfgsb(own, candidates[i], own_bounds, budget)) results[i] = std::move(*r);
  });
  for (const auto& r : results) {
    if (r) try_update_best(best, *r, label);
  }
}

constexpr std::uint64_t kHybridSeed = 0xa7f35b2e1290c84bULL;
constexpr std::uint64_t kAdaptiveSeed = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t kMinRestartBudget = 50;

}  // namespace

Result<StrategyOutcome> fit_lbfgsb_hybrid(const SarimaxObjective& objective, std::span<const double> x0,
                                          const SarimaxConfig& config, std::uint64_t maxiter, std::uint32_t n_starts) {
  auto m = fit_lbfgsb_multi(objective, x0, config, maxiter, n_starts);
  if (!m) return std::unexpected(std::move(m.error()));
  const std::vector<Bound> bounds = compute_bounds(config);
  const std::vector<double> w = direction_weights(objective, x0);
  const std::vector<double> s = restart_spreads(x0, m->x);
  RestartGenerator gen(kHybridSeed);
  std::vector<std::vector<double>> candidates;
  const std::size_t K = restart_candidate_count(n_starts);
  for (std::size_t i = 0; i < K; ++i) {
    auto c = weighted_candidate(m->x, 1.5, s, w, gen);
    if (passes_cancellation_filter(c, config)) candidates.push_back(std::move(c));
  }
  std::optional<BestSoFar> best = BestSoFar{m->x, m->f, m->converged, "lbfgsb-hybrid"};
  pooled_restarts(objective, candidates, bounds, std::max(kMinRestartBudget, maxiter / 2), best, "lbfgsb-hybrid");
  return StrategyOutcome{best->x, best->f, m->n_iter, best->converged, "lbfgsb-hybrid"};
}

Result<StrategyOutcome> fit_lbfgsb_adaptive_restart(const SarimaxObjective& objective, std::span<const double> x0,
                                                    const SarimaxConfig& config, std::uint64_t maxiter,
                                                    std::uint32_t n_starts) {
  const std::vector<Bound> bounds = compute_bounds(config);
  std::optional<BestSoFar> best;
  std::vector<double> centre(x0.begin(), x0.end());
  if (auto r = fit_lbfgsb_single(objective, x0, config, maxiter)) {
    best = BestSoFar{r->x, r->f, r->converged, r->method};
    centre = r->x;
  }
  const std::vector<double> w = direction_weights(objective, x0);
  const std::vector<double> s = restart_spreads(x0, centre);
  RestartGenerator gen(kAdaptiveSeed);
  std::vector<std::vector<double>> candidates;
  const std::size_t K = restart_candidate_count(n_starts);
  for (std::size_t i = 0; i < K; ++i) {
    auto c = weighted_candidate(centre, 1.0, s, w, gen);
    if (passes_cancellation_filter(c, config)) candidates.push_back(std::move(c));
  }
  if (passes_cancellation_filter(x0, config)) candidates.emplace_back(x0.begin(), x0.end());
  std::vector<double> jitter(x0.begin(), x0.end());
  for (std::size_t j = 0; j < jitter.size(); ++j) jitter[j] += 0.1 * s[j] * gen.draw();
  if (passes_cancellation_filter(jitter, config)) candidates.push_back(std::move(jitter));
  pooled_restarts(objective, candidates, bounds, std::max(kMinRestartBudget, maxiter), best, "lbfgsb-adaptive");
  if (best) return StrategyOutcome{best->x, best->f, maxiter, best->converged, best->method};
  return fit_lbfgsb_single(objective, x0, config, maxiter);
}

}  // namespace pelmora
