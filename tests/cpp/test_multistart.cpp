// Multi-start strategies: budget, restart generator, best-so-far rules, labels and determinism.
#include <gtest/gtest.h>

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
