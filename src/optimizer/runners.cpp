#include "optimizer/runners.hpp"

#include <cmath>

#include "optimizer/minimizers.hpp"

namespace pelmora {

namespace {

// The L-BFGS-B settings of every likelihood run.
constexpr LbfgsbSettings kLbfgsbSettings{10, 1e7, 1e-5, -1};
constexpr double kFiniteDifferenceStep = 1e-7;
// Bounds of AR and MA coefficients estimated without their transform, and of ln sigma2.
constexpr double kCoefficientBound = 0.999;
constexpr double kLogVarianceFloor = -50.0;

}  // namespace

std::expected<RunOutcome, std::string> runner_outcome(std::expected<MinimizerReport, std::string> report,
                                                      const char* name) {
  if (!report) return std::unexpected(std::string(name) + " failed: " + report.error());
  if (!report->best_x) return std::unexpected(std::string(name) + ": no best parameter found");
  RunOutcome out;
  out.x = std::move(*report->best_x);
  out.f = report->best_f;
  out.n_iter = report->n_iter;
  out.converged = report->stop != StopReason::IterationCap;
  return out;
}

std::expected<RunOutcome, std::string> run_lbfgsb(const SarimaxObjective& objective, std::vector<double> x0,
                                                  const std::vector<Bound>& bounds, std::uint64_t maxiter) {
  const SarimaxObjective own = objective.clone();
  std::uint64_t counter = 0;
  bool budget_exhausted = false;
  std::vector<double> scratch(x0.size());

  auto callback = [&](std::span<const double> x, std::span<double> g) -> double {
    if (counter >= maxiter) {
      // Budget mode: a zero gradient lets the library stop at its next projected-gradient test.
      budget_exhausted = true;
      std::fill(g.begin(), g.end(), 0.0);
      auto ll = own.eval_loglike(x);
      return ll ? -*ll : kPenalty;
    }
    ++counter;
    if (auto both = own.eval_negloglike_with_gradient(x); both && std::isfinite(both->first)) {
      bool finite = true;
      for (double v : both->second) finite = finite && std::isfinite(v);
      if (finite) {
        std::copy(both->second.begin(), both->second.end(), g.begin());
        return both->first;
      }
    }
    // Forward differences of -loglike.
    auto ll0 = own.eval_loglike(x);
    if (!ll0) {
      std::fill(g.begin(), g.end(), 0.0);
      return kPenalty;
    }
    const double f0 = -*ll0;
    scratch.assign(x.begin(), x.end());
    for (std::size_t i = 0; i < scratch.size(); ++i) {
      const double saved = scratch[i];
      const double h = (std::abs(saved) + 1.0) * kFiniteDifferenceStep;
      scratch[i] = saved + h;
      auto ll = own.eval_loglike(scratch);
      const double v = ll ? -*ll : f0;
      const double gi = (v - f0) / h;
      g[i] = std::isfinite(gi) ? gi : 0.0;
      scratch[i] = saved;
    }
    return f0;
  };

  LbfgsbProblem problem = LbfgsbProblem::build(std::move(x0), callback);
  problem.set_bounds(bounds);
  LbfgsbState state(std::move(problem), kLbfgsbSettings);
  auto code = state.minimize();
  if (!code) return std::unexpected("L-BFGS-B failed: " + code.error());
  RunOutcome out;
  out.x = state.problem().x;
  out.f = state.problem().f;
  out.n_iter = counter;
  out.converged = lbfgsb_task::is_convergence(*code) && !budget_exhausted;
  return out;
}

std::vector<Bound> compute_bounds(const SarimaxConfig& config) {
  const SarimaxOrder& o = config.order;
  std::vector<Bound> bounds;
  bounds.reserve(config.n_params());
  const Bound free{std::nullopt, std::nullopt};
  const Bound box{-kCoefficientBound, kCoefficientBound};
  bounds.insert(bounds.end(), config.k_trend() + config.n_exog, free);
  bounds.insert(bounds.end(), o.p, config.enforce_stationarity ? free : box);
  bounds.insert(bounds.end(), o.q, config.enforce_invertibility ? free : box);
  bounds.insert(bounds.end(), o.P, config.enforce_stationarity ? free : box);
  bounds.insert(bounds.end(), o.Q, config.enforce_invertibility ? free : box);
  if (!config.concentrate_scale) bounds.push_back({kLogVarianceFloor, std::nullopt});
  return bounds;
}

std::expected<RunOutcome, std::string> run_nelder_mead(const SarimaxObjective& objective, std::vector<double> x0,
                                                       std::uint64_t maxiter) {
  const SarimaxObjective own = objective.clone();
  // Initial simplex: x0 and one vertex per coordinate, moved by 5% (or 0.00025 near zero).
  std::vector<std::vector<double>> simplex{x0};
  for (std::size_t j = 0; j < x0.size(); ++j) {
    std::vector<double> v = x0;
    v[j] = std::abs(v[j]) > 1e-8 ? v[j] + 0.05 * v[j] : v[j] + 0.00025;
    simplex.push_back(std::move(v));
  }
  NelderMeadSettings settings;
  settings.max_iter = maxiter;
  const CostFunction cost = [&](std::span<const double> x) { return own.cost(x); };
  return runner_outcome(nelder_mead(cost, std::move(simplex), settings), "Nelder-Mead");
}

std::expected<RunOutcome, std::string> run_bfgs(const SarimaxObjective& objective, std::vector<double> x0,
                                                std::uint64_t maxiter) {
  const SarimaxObjective own = objective.clone();
  const Eigen::Index n = static_cast<Eigen::Index>(x0.size());
  // Diagonal start 0.1 / max(|g0_i|, 0.001): a first step of about 0.1 per coordinate.
  const std::vector<double> g0 = own.analytical_gradient_negloglike(x0).value_or(std::vector<double>(x0.size(), 1.0));
  Matrix H0 = Matrix::Zero(n, n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double mag = std::abs(g0[static_cast<std::size_t>(i)]);
    H0(i, i) = 0.1 / (std::isnan(mag) ? 0.001 : std::max(mag, 0.001));
  }
  QuasiNewtonSettings settings;
  settings.max_iter = maxiter;
  const CostFunction cost = [&](std::span<const double> x) { return own.cost(x); };
  const GradientFunction gradient = [&](std::span<const double> x) { return own.gradient(x); };
  return runner_outcome(bfgs(cost, gradient, std::move(x0), std::move(H0), settings), "BFGS");
}

std::expected<RunOutcome, std::string> run_lbfgs(const SarimaxObjective& objective, std::vector<double> x0,
                                                 std::uint64_t maxiter) {
  const SarimaxObjective own = objective.clone();
  QuasiNewtonSettings settings;
  settings.max_iter = maxiter;
  const CostFunction cost = [&](std::span<const double> x) { return own.cost(x); };
  const GradientFunction gradient = [&](std::span<const double> x) { return own.gradient(x); };
  return runner_outcome(lbfgs(cost, gradient, std::move(x0), 10, settings), "L-BFGS");
}

}  // namespace pelmora
