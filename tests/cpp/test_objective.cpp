// The likelihood objective: evaluation cache, penalty, gradients and clones.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "optimizer/objective.hpp"
#include "params/transforms.hpp"
#include "pipeline/pipeline.hpp"
#include "test_data.hpp"

namespace pelmora {
namespace {

SarimaxConfig airline_config() {
  SarimaxConfig c;
  c.order = SarimaxOrder{0, 1, 1, 0, 1, 1, 12};
  return c;
}

// Unconstrained point of the textbook airline estimates.
std::vector<double> airline_point(const SarimaxConfig& c) {
  return transform_params_inner(std::vector<double>{-0.4, -0.55, 0.00135}, c, false).value();
}

TEST(Objective, CostIsTheNegativeLogLikelihood) {
  const SarimaxConfig c = airline_config();
  const auto y = testing::log_airline();
  const SarimaxObjective objective(y, std::nullopt, c);
  const auto params = SarimaxParams::from_flat(std::vector<double>{-0.4, -0.55, 0.00135}, c).value();
  const double ll = kalman_eval(y, params, c, nullptr).value().loglike;
  EXPECT_NEAR(objective.cost(airline_point(c)), -ll, 1e-10 * std::abs(ll));
}

TEST(Objective, CacheHitsOnlyOnTheExactPoint) {
  const SarimaxConfig c = airline_config();
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  std::vector<double> x = airline_point(c);
  const auto g = objective.gradient(x);
  const auto runs = objective.pipeline_runs();
  const double cached = objective.cost(x);
  EXPECT_EQ(objective.pipeline_runs(), runs);  // served from the cache
  EXPECT_EQ(objective.gradient(x), g);
  EXPECT_EQ(objective.pipeline_runs(), runs);

  std::vector<double> nudged = x;
  nudged[0] = std::nextafter(nudged[0], 1.0);
  const double moved = objective.cost(nudged);
  EXPECT_EQ(objective.pipeline_runs(), runs + 1);  // one ulp off misses
  EXPECT_NEAR(moved, cached, 1e-9 * std::abs(cached));

  std::vector<double> with_nan = x;
  with_nan[1] = std::nan("");
  objective.cost(with_nan);
  EXPECT_EQ(objective.pipeline_runs(), runs + 2);  // NaN never hits
  EXPECT_EQ(objective.cost(with_nan), kPenalty);
  // cost alone does not write the cache.
  objective.cost(nudged);
  EXPECT_EQ(objective.pipeline_runs(), runs + 4);
}

TEST(Objective, PenaltyWhereTheLikelihoodFails) {
  EXPECT_EQ(kPenalty, std::numeric_limits<double>::max() / 2);
  const SarimaxConfig c = airline_config();
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  // A vector of the wrong length fails every evaluation: penalty and a zero gradient.
  const std::vector<double> wrong{0.1, 0.2};
  EXPECT_EQ(objective.cost(wrong), kPenalty);
  EXPECT_EQ(objective.gradient(wrong), (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(objective.eval_loglike(wrong).error(), "parameter length mismatch: expected 3, got 2");

  // A series whose squared errors overflow: the filter fails at every point.
  const SarimaxObjective overflowing(std::vector<double>(30, 1e200), std::nullopt, SarimaxConfig{});
  const std::vector<double> x{0.0};
  EXPECT_EQ(overflowing.cost(x), kPenalty);
  EXPECT_EQ(overflowing.eval_loglike(x).error(),
            "data error: non-finite Kalman statistics encountered (possible NaN/Inf in inputs)");
  EXPECT_EQ(finite_diff_grad_negll(overflowing, x, 1e-5).error(),
            "data error: non-finite Kalman statistics encountered (possible NaN/Inf in inputs)");
  EXPECT_TRUE(finite_diff_grad_negll(overflowing, std::vector<double>{}, 1e-5)->empty());
}

TEST(Objective, GradientsAgreeWithFiniteDifferences) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 1, 1, 0, 1, 1, 12};
  c.trend = Trend::None;
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  const std::vector<double> x = transform_params_inner(std::vector<double>{0.2, -0.5, -0.5, 0.0014}, c, false).value();
  // The likelihood carries rounding-level steps (where the filter turns steady moves with the
  // parameters), so the difference step must stay well above them; the score itself is
  // checked tightly elsewhere, this checks the sign and the pull-back to unconstrained space.
  const auto fd = finite_diff_grad_negll(objective, x, 1e-4).value();
  const auto combined = objective.eval_negloglike_with_gradient(x).value().second;
  const auto analytic = objective.analytical_gradient_negloglike(x).value();
  const auto served = objective.gradient(x);
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR(combined[i], fd[i], 1e-3 * std::max(1.0, std::abs(fd[i]))) << i;
    EXPECT_EQ(analytic[i], combined[i]);
    EXPECT_EQ(served[i], combined[i]);
  }
}

TEST(Objective, CloneEvaluatesIdenticallyWithEmptyCaches) {
  const SarimaxConfig c = airline_config();
  const SarimaxObjective objective(testing::log_airline(), std::nullopt, c);
  const auto x = airline_point(c);
  const auto g = objective.gradient(x);
  const SarimaxObjective copy = objective.clone();
  EXPECT_EQ(copy.pipeline_runs(), 0u);
  EXPECT_EQ(copy.cost(x), objective.cost(x));
  EXPECT_EQ(copy.pipeline_runs(), 1u);  // its cache started empty
  EXPECT_EQ(copy.gradient(x), g);
}

}  // namespace
}  // namespace pelmora
