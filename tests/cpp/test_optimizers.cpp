// L-BFGS-B driving, the Nelder-Mead, BFGS and L-BFGS methods, and the runners built on them.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "lbfgsb_wrapper/lbfgsb_wrapper.hpp"
#include "optimizer/minimizers.hpp"
#include "optimizer/runners.hpp"
#include "params/transforms.hpp"
#include "test_data.hpp"

namespace pelmora {
namespace {

std::vector<double> best(const MinimizerReport& r) {
  return r.best_x ? *r.best_x : std::vector<double>{};
}

double rosenbrock(std::span<const double> x) {
  return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
}
std::vector<double> rosenbrock_grad(std::span<const double> x) {
  return {-400.0 * x[0] * (x[1] - x[0] * x[0]) - 2.0 * (1.0 - x[0]), 200.0 * (x[1] - x[0] * x[0])};
}
// A convex quadratic with condition number 100 in 5 dimensions, minimum at (1, 2, 3, 4, 5).
double quadratic(std::span<const double> x) {
  double f = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) f += std::pow(10.0, static_cast<double>(i) / 2.0) * std::pow(x[i] - (i + 1.0), 2);
  return f;
}
std::vector<double> quadratic_grad(std::span<const double> x) {
  std::vector<double> g(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) g[i] = 2.0 * std::pow(10.0, static_cast<double>(i) / 2.0) * (x[i] - (i + 1.0));
  return g;
}

// An ill-conditioned quadratic in 12 dimensions with a coupling term, slow enough that
// L-BFGS needs more than ten iterations.
double quadratic_like(std::span<const double> x) {
  double f = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) f += (1.0 + 3.0 * static_cast<double>(i)) * std::pow(x[i] - 1.0, 2);
  for (std::size_t i = 0; i + 1 < x.size(); ++i) f += 0.5 * x[i] * x[i + 1];
  return f;
}
std::vector<double> quadratic_like_grad(std::span<const double> x) {
  std::vector<double> g(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) g[i] = 2.0 * (1.0 + 3.0 * static_cast<double>(i)) * (x[i] - 1.0);
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    g[i] += 0.5 * x[i + 1];
    g[i + 1] += 0.5 * x[i];
  }
  return g;
}

TEST(Facility, QuasiNewtonMethodsSolveTextbookFunctions) {
  QuasiNewtonSettings s;
  s.max_iter = 500;
  s.cost_tolerance = 0.0;  // stop on the gradient only
  const auto b = bfgs(rosenbrock, rosenbrock_grad, {-1.2, 1.0}, Matrix::Identity(2, 2), s).value();
  EXPECT_EQ(b.stop, StopReason::Converged);
  EXPECT_NEAR(best(b)[0], 1.0, 1e-5);
  EXPECT_NEAR(best(b)[1], 1.0, 1e-5);
  const auto l = lbfgs(rosenbrock, rosenbrock_grad, {-1.2, 1.0}, 10, s).value();
  EXPECT_EQ(l.stop, StopReason::Converged);
  EXPECT_NEAR(best(l)[0], 1.0, 1e-5);
  const auto q = lbfgs(quadratic, quadratic_grad, std::vector<double>(5, 0.0), 10, s).value();
  for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(best(q)[i], i + 1.0, 1e-6);
}

TEST(Facility, NelderMeadConvergesByTheSpreadOfCosts) {
  NelderMeadSettings s;
  s.max_iter = 5000;
  std::vector<std::vector<double>> simplex{{-1.2, 1.0}, {-1.14, 1.0}, {-1.2, 1.05}};
  const auto r = nelder_mead(rosenbrock, simplex, s).value();
  EXPECT_EQ(r.stop, StopReason::Converged);
  EXPECT_NEAR(best(r)[0], 1.0, 0.02);
  EXPECT_LT(r.best_f, 1e-4);
  s.max_iter = 7;
  const auto capped = nelder_mead(rosenbrock, simplex, s).value();
  EXPECT_EQ(capped.stop, StopReason::IterationCap);
  EXPECT_EQ(capped.n_iter, 7u);
  const auto nan = nelder_mead([](std::span<const double> x) { return x[0] > -1.15 ? std::nan("") : 1.0 + x[0]; },
                               simplex, s);
  ASSERT_FALSE(nan.has_value());
}

TEST(Facility, LbfgsKeepsTheTenMostRecentPairs) {
  // With ten or fewer iterations a larger memory changes nothing; from the eleventh on it does.
  QuasiNewtonSettings s;
  s.cost_tolerance = 0.0;
  s.grad_tolerance = 0.0;
  const std::vector<double> x0(12, 0.0);
  auto run = [&](std::size_t memory, std::uint64_t iters) {
    s.max_iter = iters;
    return best(lbfgs(quadratic_like, quadratic_like_grad, x0, memory, s).value());
  };
  EXPECT_EQ(run(10, 10), run(50, 10));
  EXPECT_NE(run(10, 13), run(50, 13));
}

TEST(Facility, LineSearchNeedsADescentDirection) {
  const std::vector<double> x{0.0, 0.0};
  const auto g = rosenbrock_grad(x);
  const std::vector<double> uphill{g[0], g[1]};
  auto r = more_thuente(rosenbrock, rosenbrock_grad, x, rosenbrock(x), g, uphill, LineSearchSettings{});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "search direction must be a descent direction");
}

TEST(LbfgsbDriver, SolvesABoundedRosenbrock) {
  auto problem = LbfgsbProblem::build({-1.2, 1.0}, [](std::span<const double> x, std::span<double> g) {
    const auto gr = rosenbrock_grad(x);
    g[0] = gr[0];
    g[1] = gr[1];
    return rosenbrock(x);
  });
  const std::vector<Bound> bounds{{std::nullopt, 0.5}, {std::nullopt, std::nullopt}};
  problem.set_bounds(bounds);
  EXPECT_EQ(problem.nbd, (std::vector<std::int64_t>{3, 0}));
  LbfgsbState state(std::move(problem), LbfgsbSettings{10, 1e1, 1e-8, -1});
  const auto code = state.minimize().value();
  EXPECT_TRUE(lbfgsb_task::is_convergence(code)) << code;
  // Constrained minimum of Rosenbrock with x0 <= 0.5: x0 = 0.5, x1 = 0.25.
  EXPECT_NEAR(state.problem().x[0], 0.5, 1e-6);
  EXPECT_NEAR(state.problem().x[1], 0.25, 1e-6);
}

TEST(LbfgsbDriver, TaskCodes) {
  EXPECT_EQ(lbfgsb_task::code_of("FG_LNSRCH   "), 11);
  EXPECT_EQ(lbfgsb_task::code_of("FG_START "), 12);
  EXPECT_EQ(lbfgsb_task::code_of("NEW_X"), 2);
  EXPECT_EQ(lbfgsb_task::code_of("CONVERGENCE: NORM_OF_PROJECTED_GRADIENT_<=_PGTOL"), 21);
  EXPECT_EQ(lbfgsb_task::code_of("CONVERGENCE: REL_REDUCTION_OF_F_<=_FACTR*EPSMCH"), 22);
  EXPECT_EQ(lbfgsb_task::code_of("ABNORMAL_TERMINATION_IN_LNSRCH"), 3);
  EXPECT_TRUE(lbfgsb_task::is_error(lbfgsb_task::code_of("ERROR: INVALID NBD")));
  EXPECT_EQ(lbfgsb_task::code_of("WARNING: ROUNDING ERRORS PREVENT PROGRESS"), 100);
}

TEST(ComputeBounds, EachFlagCombination) {
  using B = Bound;
  const B free{std::nullopt, std::nullopt}, box{-0.999, 0.999}, var{-50.0, std::nullopt};
  for (bool stationary : {true, false}) {
    for (bool invertible : {true, false}) {
      for (bool concentrate : {true, false}) {
        SarimaxConfig c;
        c.order = SarimaxOrder{1, 0, 1, 1, 0, 1, 4};
        c.trend = Trend::Constant;
        c.n_exog = 1;
        c.enforce_stationarity = stationary;
        c.enforce_invertibility = invertible;
        c.concentrate_scale = concentrate;
        std::vector<B> expected{free, free, stationary ? free : box, invertible ? free : box,
                                stationary ? free : box, invertible ? free : box};
        if (!concentrate) expected.push_back(var);
        EXPECT_EQ(compute_bounds(c), expected);
      }
    }
  }
}

SarimaxConfig airline() {
  SarimaxConfig c;
  c.order = SarimaxOrder{0, 1, 1, 0, 1, 1, 12};
  return c;
}

std::vector<double> airline_start(const SarimaxConfig& c) {
  return transform_params_inner(std::vector<double>{-0.2, -0.2, 0.002}, c, false).value();
}

TEST(Runners, EachReachesTheAirlineOptimum) {
  const SarimaxConfig c = airline();
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  const auto x0 = airline_start(c);
  const auto lb = run_lbfgsb(objective, x0, compute_bounds(c), 200).value();
  EXPECT_TRUE(lb.converged);
  const auto bf = run_bfgs(objective, x0, 200).value();
  const auto lf = run_lbfgs(objective, x0, 200).value();
  const auto nm = run_nelder_mead(objective, x0, 2000).value();
  EXPECT_TRUE(bf.converged);
  EXPECT_TRUE(lf.converged);
  EXPECT_TRUE(nm.converged);
  // The airline maximum log-likelihood is 244.696 (Box and Jenkins' estimates).
  for (const RunOutcome* r : {&lb, &bf, &lf, &nm}) {
    EXPECT_LT(r->f, -244.69);
    EXPECT_NEAR(r->f, objective.cost(r->x), 1e-9 * std::abs(r->f));
  }
  const auto theta = transform_params_inner(lb.x, c, true).value();
  EXPECT_NEAR(theta[0], -0.40, 0.01);
  EXPECT_NEAR(theta[1], -0.56, 0.01);
}

TEST(Runners, LbfgsbBudgetOfOneEvaluation) {
  const SarimaxConfig c = airline();
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  const auto r = run_lbfgsb(objective, airline_start(c), compute_bounds(c), 1).value();
  EXPECT_EQ(r.n_iter, 1u);
  EXPECT_FALSE(r.converged);
}

TEST(Runners, StartWhereNothingCanBeEvaluated) {
  // Squared errors overflow at every point: each run keeps its start.
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 0, 0, 0, 0, 0, 0};
  const SarimaxObjective objective(std::vector<double>(40, 1e200), std::nullopt, c);
  const std::vector<double> x0{0.3, 0.1};
  const auto lb = run_lbfgsb(objective, x0, compute_bounds(c), 100).value();
  EXPECT_EQ(lb.x, x0);
  EXPECT_EQ(lb.f, kPenalty);
  EXPECT_EQ(lb.n_iter, 1u);
  EXPECT_TRUE(lb.converged);
  const auto nm = run_nelder_mead(objective, x0, 100).value();
  EXPECT_EQ(nm.x, x0);
  EXPECT_EQ(nm.n_iter, 0u);
  EXPECT_TRUE(nm.converged);
}

TEST(Facility, StoppingRules) {
  QuasiNewtonSettings s;
  s.max_iter = 100;
  // At the minimum the gradient test stops both methods before any iteration.
  const std::vector<double> at_min{1.0, 2.0, 3.0, 4.0, 5.0};
  for (const auto& r : {bfgs(quadratic, quadratic_grad, at_min, Matrix::Identity(5, 5), s).value(),
                        lbfgs(quadratic, quadratic_grad, at_min, 10, s).value()}) {
    EXPECT_EQ(r.n_iter, 0u);
    EXPECT_EQ(r.stop, StopReason::Converged);
    EXPECT_EQ(best(r), at_min);
  }
  // A cost tolerance larger than any first improvement stops after one iteration.
  s.cost_tolerance = 1e9;
  const auto one = lbfgs(quadratic, quadratic_grad, std::vector<double>(5, 0.0), 10, s).value();
  EXPECT_EQ(one.n_iter, 1u);
  EXPECT_EQ(one.stop, StopReason::Converged);
  // The iteration cap is not convergence.
  s.cost_tolerance = 0.0;
  s.max_iter = 2;
  EXPECT_EQ(bfgs(rosenbrock, rosenbrock_grad, {-1.2, 1.0}, Matrix::Identity(2, 2), s).value().stop,
            StopReason::IterationCap);
}

TEST(Runners, FailureMessages) {
  EXPECT_EQ(runner_outcome(std::unexpected(std::string("boom")), "Nelder-Mead").error(), "Nelder-Mead failed: boom");
  EXPECT_EQ(runner_outcome(MinimizerReport{}, "BFGS").error(), "BFGS: no best parameter found");
  // A direction that is not downhill fails the whole quasi-Newton run.
  QuasiNewtonSettings s;
  s.max_iter = 10;
  const Matrix negative = -Matrix::Identity(2, 2);  // d = +g: uphill
  EXPECT_EQ(runner_outcome(bfgs(rosenbrock, rosenbrock_grad, {-1.2, 1.0}, negative, s), "BFGS").error(),
            "BFGS failed: search direction must be a descent direction");
  MinimizerReport capped;
  capped.best_x = std::vector<double>{1.0};
  capped.best_f = 2.0;
  capped.n_iter = 7;
  const auto out = runner_outcome(capped, "L-BFGS").value();
  EXPECT_FALSE(out.converged);
  EXPECT_EQ(out.n_iter, 7u);
}

TEST(Runners, NelderMeadIterationCap) {
  const SarimaxConfig c = airline();
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  const auto capped = run_nelder_mead(objective, airline_start(c), 5).value();
  EXPECT_EQ(capped.n_iter, 5u);
  EXPECT_FALSE(capped.converged);
  EXPECT_LT(capped.f, objective.cost(airline_start(c)));
}

TEST(Runners, LbfgsbRunsOnThreadsMatchSerialRuns) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 1, 1, 0, 1, 1, 12};
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  std::vector<std::vector<double>> starts;
  for (int i = 0; i < 4; ++i) {
    starts.push_back(transform_params_inner(std::vector<double>{0.1 * i - 0.1, -0.3, -0.4 + 0.05 * i, 0.002}, c, false).value());
  }
  std::vector<RunOutcome> serial, parallel(starts.size());
  for (const auto& x0 : starts) serial.push_back(run_lbfgsb(objective, x0, compute_bounds(c), 300).value());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    threads.emplace_back([&, i] { parallel[i] = run_lbfgsb(objective.clone(), starts[i], compute_bounds(c), 300).value(); });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < starts.size(); ++i) {
    EXPECT_EQ(parallel[i].x, serial[i].x);
    EXPECT_EQ(parallel[i].f, serial[i].f);
    EXPECT_EQ(parallel[i].n_iter, serial[i].n_iter);
  }
}

}  // namespace
}  // namespace pelmora
