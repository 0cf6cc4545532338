// The trust-region step and loop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "optimizer/trust_region.hpp"

namespace pelmora {
namespace {

TEST(TrustRegion, StepIsClippedToTheRadius) {
  const Matrix H = Matrix::Identity(2, 2) * 2.0;
  const std::vector<double> g{3.0, 4.0};  // -H g = (-6, -8), length 10
  const auto full = trust_region_step(H, g, 20.0);
  EXPECT_EQ(full.p, (std::vector<double>{-6.0, -8.0}));
  EXPECT_DOUBLE_EQ(full.norm, 10.0);
  EXPECT_DOUBLE_EQ(full.predicted, 3.0 * 6.0 + 4.0 * 8.0);
  const auto clipped = trust_region_step(H, g, 0.5);
  EXPECT_NEAR(clipped.norm, 0.5, 1e-15);
  EXPECT_NEAR(clipped.p[0], -0.3, 1e-15);
  EXPECT_NEAR(clipped.predicted, 0.3 * 3.0 + 0.4 * 4.0, 1e-15);
  const auto zero = trust_region_step(H, std::vector<double>{0.0, 0.0}, 1.0);
  EXPECT_EQ(zero.predicted, 1e-30);
}

TEST(TrustRegion, MinimisesAQuadratic) {
  // f = sum (i + 1) (x_i - 1)^2 in 9 dimensions.
  auto cost = [](std::span<const double> x) {
    double f = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) f += (i + 1.0) * (x[i] - 1.0) * (x[i] - 1.0);
    return f;
  };
  auto grad = [](std::span<const double> x) -> std::optional<std::vector<double>> {
    std::vector<double> g(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = 2.0 * (i + 1.0) * (x[i] - 1.0);
    return g;
  };
  const std::vector<double> x0(9, 0.0);
  const auto r = trust_region_loop(cost, grad, x0, cost(x0), *grad(x0), 500);
  EXPECT_TRUE(r.converged);
  for (double v : r.x) EXPECT_NEAR(v, 1.0, 1e-5);
  EXPECT_LT(r.n_iter, 500u);
}

TEST(TrustRegion, CollapsingRadiusIsResetTwiceThenStops) {
  // Every trial fails (+inf): each pass shrinks the radius, which is reset to delta0 twice.
  auto cost = [](std::span<const double>) { return std::numeric_limits<double>::infinity(); };
  auto grad = [](std::span<const double> x) -> std::optional<std::vector<double>> {
    return std::vector<double>(x.size(), 1.0);
  };
  const std::vector<double> x0{0.5, -0.5};
  const auto r = trust_region_loop(cost, grad, x0, 3.0, std::vector<double>{1.0, 1.0}, 10000);
  EXPECT_TRUE(r.converged);
  EXPECT_EQ(r.x, x0);
  EXPECT_EQ(r.f, 3.0);
  // From delta0 = 0.2 sqrt(2), the radius falls by 0.25 per pass (and by half again from the
  // sixth rejection on) to below 1e-8 three times: a few dozen passes, far from the budget.
  EXPECT_GT(r.n_iter, 20u);
  EXPECT_LT(r.n_iter, 100u);
  // An exhausted budget reports the last gradient test instead.
  const auto short_run = trust_region_loop(cost, grad, x0, 3.0, std::vector<double>{1.0, 1.0}, 5);
  EXPECT_EQ(short_run.n_iter, 5u);
  EXPECT_FALSE(short_run.converged);
}

// Passes until an always-failing run stops, from the published rules: each rejected pass cuts
// the radius by 4 (and by 2 more from the sixth rejection on); below 1e-8 it is reset to
// delta0 = 0.2 sqrt(m) twice, the third collapse stops the run.
std::uint64_t passes_until_collapse(std::size_t m) {
  const double delta0 = 0.2 * std::sqrt(static_cast<double>(m));
  double delta = delta0;
  int resets = 0, rejections = 0;
  for (std::uint64_t pass = 0;; ++pass) {
    if (delta < 1e-8) {
      if (resets == 2) return pass;
      ++resets;
      rejections = 0;
      delta = delta0;
    }
    delta *= 0.25;
    if (++rejections >= 6) delta *= 0.5;
  }
}

TEST(TrustRegion, InitialRadiusGrowsWithTheSquareRootOfTheDimension) {
  auto cost = [](std::span<const double>) { return std::numeric_limits<double>::infinity(); };
  auto grad = [](std::span<const double> x) -> std::optional<std::vector<double>> {
    return std::vector<double>(x.size(), 1.0);
  };
  for (std::size_t m : {2u, 9u, 400u}) {
    const std::vector<double> x0(m, 0.0), g0(m, 1.0);
    EXPECT_EQ(trust_region_loop(cost, grad, x0, 1.0, g0, 100000).n_iter, passes_until_collapse(m)) << m;
  }
  // The cycle length depends on delta0: 0.2 sqrt(400) = 4 takes more passes than 0.6.
  EXPECT_GT(passes_until_collapse(400), passes_until_collapse(9));
}

TEST(TrustRegion, PolishSweepCap) {
  EXPECT_EQ(polish_sweep_limit(1), 2u);
  EXPECT_EQ(polish_sweep_limit(4), 5u);
  EXPECT_EQ(polish_sweep_limit(9), 6u);
}

}  // namespace
}  // namespace pelmora
