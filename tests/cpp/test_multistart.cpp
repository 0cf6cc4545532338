// Multi-start strategies: budget, restart generator, best-so-far rules, labels and determinism.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "optimizer/mod.hpp"
#include "optimizer/multistart.hpp"
#include "params/transforms.hpp"
#include "test_data.hpp"

namespace pelmora {
namespace {

TEST(Multistart, BudgetNeverWraps) {
  Budget b{10, std::numeric_limits<std::uint64_t>::max() - 3};
  b.charge(25);
  EXPECT_EQ(b.remaining, 0u);
  EXPECT_EQ(b.used, std::numeric_limits<std::uint64_t>::max());
  Budget c{10, 0};
  c.charge(4);
  EXPECT_EQ(c.remaining, 6u);
  EXPECT_EQ(c.used, 4u);
}

TEST(Multistart, BestChangesOnlyOnStrictImprovement) {
  std::optional<BestSoFar> best;
  try_update_best(best, RunOutcome{{1.0}, 5.0, 3, true}, "first");
  try_update_best(best, RunOutcome{{2.0}, 5.0, 3, false}, "tie");
  EXPECT_EQ(best->method, "first");
  try_update_best(best, RunOutcome{{3.0}, std::nan(""), 3, false}, "nan");
  EXPECT_EQ(best->method, "first");
  try_update_best(best, RunOutcome{{4.0}, 4.0, 3, false}, "better");
  EXPECT_EQ(best->method, "better");
  EXPECT_EQ(best->x, std::vector<double>{4.0});
  EXPECT_FALSE(best->converged);
}

TEST(Multistart, PerturbedStartsAreDeterministicAndScaled) {
  const std::vector<double> center{0.0, 2.0};
  const auto starts = lcg_perturbed_starts(center, 50, 100);
  ASSERT_EQ(starts.size(), 50u);
  for (const auto& s : starts) {
    EXPECT_LE(std::abs(s[0] - 0.0), 0.05);
    EXPECT_LE(std::abs(s[1] - 2.0), 0.5);
  }
  EXPECT_EQ(starts, lcg_perturbed_starts(center, 50, 1));
  EXPECT_TRUE(lcg_perturbed_starts(center, 3, 0).empty());
  // First draw by hand: state = 12345 a + c (mod 2^64), u = (state >> 33) 2^-31 - 0.5.
  const std::uint64_t state = 12345ULL * 6364136223846793005ULL + 1442695040888963407ULL;
  const double u = static_cast<double>(state >> 33) / 2147483648.0 - 0.5;
  EXPECT_EQ(starts[0][0], 0.1 * u);
}

SarimaxConfig airline() {
  SarimaxConfig c;
  c.order = SarimaxOrder{0, 1, 1, 0, 1, 1, 12};
  return c;
}

TEST(Multistart, DefaultStrategyOnTheAirlineModel) {
  const SarimaxConfig c = airline();
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  const auto x0 = transform_params_inner(std::vector<double>{-0.2, -0.2, 0.002}, c, false).value();
  const auto single = fit_lbfgsb_single(objective, x0, c, 500).value();
  EXPECT_EQ(single.method, "lbfgsb");
  EXPECT_LT(single.f, -244.69);
  const auto multi = fit_lbfgsb_multi(objective, x0, c, 500, n_starts(x0.size(), 0, 1)).value();
  EXPECT_LE(multi.f, single.f + 1e-6);
  EXPECT_TRUE(multi.method == "lbfgsb-multi" || multi.method == "lbfgsb-multi+nm" ||
              multi.method == "lbfgsb-multi+nm+nm")
      << multi.method;
  // Same inputs, same answer bit for bit, whatever the pool's scheduling.
  const auto again = fit_lbfgsb_multi(objective, x0, c, 500, n_starts(x0.size(), 0, 1)).value();
  EXPECT_EQ(again.x, multi.x);
  EXPECT_EQ(again.n_iter, multi.n_iter);
  const auto lbfgs = fit_lbfgs_multi(objective, x0, c, 500, 3).value();
  EXPECT_LT(lbfgs.f, -244.69);
  const auto bfgs = fit_bfgs_single(objective, x0, c, 500).value();
  EXPECT_EQ(bfgs.method, "bfgs");
}

TEST(Multistart, SingleParameterMakesOneRunAndNoPolish) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 0, 0, 0, 0, 0, 0};
  c.concentrate_scale = true;
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  const std::vector<double> x0{0.3};
  ASSERT_EQ(n_starts(1, 0, 0), 0u);
  const auto r = run_lbfgsb(objective, x0, compute_bounds(c), 500).value();
  const auto multi = fit_lbfgsb_multi(objective, x0, c, 500, 0).value();
  EXPECT_EQ(multi.method, "lbfgsb-multi");
  EXPECT_EQ(multi.x, r.x);
  EXPECT_EQ(multi.n_iter, r.n_iter);
}

TEST(Multistart, ExhaustedBudgetEndsTheStrategy) {
  const SarimaxConfig c = airline();
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  const auto x0 = transform_params_inner(std::vector<double>{0.5, 0.5, 0.01}, c, false).value();
  const auto first = run_lbfgsb(objective, x0, compute_bounds(c), 10).value();
  ASSERT_EQ(first.n_iter, 10u);
  const auto multi = fit_lbfgsb_multi(objective, x0, c, 10, 3).value();
  EXPECT_EQ(multi.n_iter, 10u);
  EXPECT_EQ(multi.x, first.x);
  EXPECT_EQ(multi.method, "lbfgsb-multi");
}

}  // namespace
}  // namespace pelmora

namespace pelmora {
namespace {

TEST(Restarts, WeightsSpreadsAndGenerator) {
  // A failing gradient (wrong length) gives weights of one everywhere.
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, airline());
  EXPECT_EQ(direction_weights(objective, std::vector<double>{0.1, 0.2}), (std::vector<double>{1.0, 1.0}));
  // A real gradient: its largest entry gets 1, flat ones are floored at 0.1.
  const auto x0 = transform_params_inner(std::vector<double>{-0.2, -0.2, 0.002}, airline(), false).value();
  const auto g = objective.analytical_gradient_negloglike(x0).value();
  const auto w = direction_weights(objective, x0);
  double G = 0.0;
  for (double v : g) G = std::max(G, std::abs(v));
  for (std::size_t i = 0; i < g.size(); ++i) EXPECT_DOUBLE_EQ(w[i], std::max(std::abs(g[i]) / G, 0.1));
  EXPECT_EQ(*std::max_element(w.begin(), w.end()), 1.0);

  EXPECT_EQ(restart_spreads(std::vector<double>{0.2, -3.0}, std::vector<double>{-0.2, 1.0}),
            (std::vector<double>{0.5, 0.6 * 3.0}));

  RestartGenerator gen(0xa7f35b2e1290c84bULL);
  const std::uint64_t state = 0xa7f35b2e1290c84bULL * 6364136223846793005ULL + 1442695040888963407ULL;
  EXPECT_EQ(gen.draw(), 2.0 * (static_cast<double>(state >> 32) / 4294967295.0) - 1.0);
  for (int i = 0; i < 1000; ++i) {
    const double r = gen.draw();
    EXPECT_GE(r, -1.0);
    EXPECT_LE(r, 1.0);
  }
}

TEST(Restarts, AtLeastThreeCandidates) {
  EXPECT_EQ(restart_candidate_count(0), 3u);
  EXPECT_EQ(restart_candidate_count(2), 3u);
  EXPECT_EQ(restart_candidate_count(3), 3u);
  EXPECT_EQ(restart_candidate_count(7), 7u);
}

TEST(Restarts, LabelsAndCountsWhenNothingImproves) {
  // From the optimum itself no restart can do strictly better than the first answer.
  const SarimaxConfig c = airline();
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  const auto x0 = transform_params_inner(std::vector<double>{-0.2, -0.2, 0.002}, c, false).value();
  const auto multi = fit_lbfgsb_multi(objective, x0, c, 200, 0).value();
  const auto hybrid = fit_lbfgsb_hybrid(objective, x0, c, 200, 0).value();
  EXPECT_EQ(hybrid.method, "lbfgsb-hybrid");
  EXPECT_EQ(hybrid.n_iter, multi.n_iter);
  EXPECT_LE(hybrid.f, multi.f);
  const auto single = fit_lbfgsb_single(objective, x0, c, 200).value();
  const auto adaptive = fit_lbfgsb_adaptive_restart(objective, x0, c, 200, 0).value();
  EXPECT_EQ(adaptive.n_iter, 200u);
  EXPECT_LE(adaptive.f, single.f);
  EXPECT_TRUE(adaptive.method == "lbfgsb-adaptive" || adaptive.method == single.method) << adaptive.method;
}

}  // namespace
}  // namespace pelmora
