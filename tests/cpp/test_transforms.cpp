// Maps between constrained and unconstrained parameters, and the transposed Jacobian product.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include <Eigen/Dense>

#include "params/transforms.hpp"

namespace pelmora {
namespace {

// All roots of 1 - phi_1 z - ... - phi_k z^k outside the unit circle, checked through the
// companion matrix's eigenvalues (all inside the unit circle), an independent criterion.
bool is_stationary(const std::vector<double>& phi) {
  const int k = static_cast<int>(phi.size());
  if (k == 0) return true;
  Eigen::MatrixXd C = Eigen::MatrixXd::Zero(k, k);
  for (int i = 0; i < k; ++i) C(0, i) = phi[i];
  for (int i = 1; i < k; ++i) C(i, i - 1) = 1.0;
  return C.eigenvalues().cwiseAbs().maxCoeff() < 1.0;
}

TEST(Transforms, RoundTripStationaryAndInvertibleBlocks) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (std::size_t k = 1; k <= 6; ++k) {
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<double> u(k);
      for (double& x : u) x = 1.5 * normal(rng);
      const auto phi = constrain_stationary(u);
      EXPECT_TRUE(is_stationary(phi)) << "k=" << k;
      const auto back = unconstrain_stationary(phi);
      for (std::size_t i = 0; i < k; ++i) EXPECT_NEAR(back[i], u[i], 1e-8 * (1 + std::abs(u[i])));

      const auto theta = constrain_invertible(u);
      std::vector<double> neg(theta);
      for (double& x : neg) x = -x;  // 1 + theta(L) invertible <=> 1 - (-theta)(L) stationary
      EXPECT_TRUE(is_stationary(neg));
      const auto back_ma = unconstrain_invertible(theta);
      for (std::size_t i = 0; i < k; ++i) EXPECT_NEAR(back_ma[i], u[i], 1e-8 * (1 + std::abs(u[i])));
    }
  }
}

TEST(Transforms, ListedValues) {
  const auto zero = constrain_stationary(std::vector<double>{0.0});
  EXPECT_EQ(zero[0], 0.0);
  EXPECT_TRUE(std::signbit(zero[0]));
  const double big = constrain_stationary(std::vector<double>{1e6})[0];
  EXPECT_GT(big, -1.0);
  EXPECT_LT(big, -0.999999);
  EXPECT_DOUBLE_EQ(constrain_invertible(std::vector<double>{2.0})[0], 2.0 / std::sqrt(5.0));
  EXPECT_DOUBLE_EQ(unconstrain_stationary(std::vector<double>{0.5})[0], -0.5 / std::sqrt(0.75));
  EXPECT_DOUBLE_EQ(constrain_stationary(unconstrain_stationary(std::vector<double>{0.5}))[0], 0.5);
  const double edge = unconstrain_stationary(std::vector<double>{1.0})[0];
  EXPECT_TRUE(std::isfinite(edge));
  EXPECT_DOUBLE_EQ(edge, -1.0 / std::sqrt(1e-15));
  // k = 2: (-(r0 + r1 r0), -r1) with r = u / sqrt(u^2 + 1).
  const double r0 = 0.3 / std::sqrt(1.09), r1 = -2.0 / std::sqrt(5.0);
  const auto two = constrain_stationary(std::vector<double>{0.3, -2.0});
  EXPECT_DOUBLE_EQ(two[0], -(r0 + r1 * r0));
  EXPECT_DOUBLE_EQ(two[1], -r1);
  EXPECT_TRUE(constrain_stationary({}).empty());
  EXPECT_TRUE(unconstrain_invertible({}).empty());
}

SarimaxConfig seasonal_config() {
  SarimaxConfig c;
  c.order = SarimaxOrder{2, 1, 1, 1, 0, 2, 4};
  c.trend = Trend::Constant;
  c.n_exog = 1;
  return c;
}

TEST(Transforms, FlatVectorBlocks) {
  SarimaxConfig c = seasonal_config();
  // trend, exog, ar(2), ma(1), sar(1), sma(2), sigma2
  const std::vector<double> x{5.0, -2.0, 0.4, 0.3, -0.7, 0.8, 0.2, -0.5, 0.0};
  const auto con = transform_params_inner(x, c, true).value();
  EXPECT_EQ(con[0], 5.0);
  EXPECT_EQ(con[1], -2.0);
  const auto ar = constrain_stationary(std::vector<double>{0.4, 0.3});
  EXPECT_EQ(con[2], ar[0]);
  EXPECT_EQ(con[3], ar[1]);
  EXPECT_EQ(con[4], constrain_invertible(std::vector<double>{-0.7})[0]);
  EXPECT_EQ(con[5], constrain_stationary(std::vector<double>{0.8})[0]);
  const auto sma = constrain_invertible(std::vector<double>{0.2, -0.5});
  EXPECT_EQ(con[6], sma[0]);
  EXPECT_EQ(con[7], sma[1]);
  EXPECT_EQ(con[8], 1.0);
  const auto back = transform_params_inner(con, c, false).value();
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(back[i], x[i], 1e-12);

  c.enforce_stationarity = false;
  c.enforce_invertibility = false;
  for (bool dir : {true, false}) {
    const auto same = transform_params_inner(con, c, dir).value();
    for (std::size_t i = 2; i < 8; ++i) EXPECT_EQ(same[i], con[i]);
  }
}

TEST(Transforms, Errors) {
  SarimaxConfig c = seasonal_config();
  auto shorter = transform_params_inner(std::vector<double>(8, 0.1), c, true);
  EXPECT_EQ(shorter.error().display(), "parameter length mismatch: expected 9, got 8");
  std::vector<double> x{5.0, -2.0, 0.4, 0.3, -0.7, 0.8, 0.2, -0.5, 0.0};
  auto zero_var = transform_params_inner(x, c, false);
  EXPECT_EQ(zero_var.error().display(), "data error: variance sigma2 must be positive, got 0");
  x.back() = -0.25;
  EXPECT_EQ(transform_params_inner(x, c, false).error().message(), "variance sigma2 must be positive, got -0.25");
  x.back() = std::nan("");
  EXPECT_EQ(transform_params_inner(x, c, false).error().message(), "variance sigma2 must be positive, got NaN");
  EXPECT_EQ(apply_transform_jacobian(std::vector<double>(8, 1.0), std::vector<double>(8, 0.1), c).error(),
            "parameter length mismatch: expected 9, got 8");

  c.concentrate_scale = true;
  x.pop_back();
  EXPECT_TRUE(transform_params_inner(x, c, false).has_value());
}

TEST(Transforms, JacobianProductMatchesCentralDifferences) {
  const SarimaxConfig c = seasonal_config();
  const std::vector<double> x{5.0, -2.0, 0.4, 0.3, -0.7, 0.8, 0.2, -0.5, -1.2};
  const std::vector<double> v{0.3, -1.0, 2.0, 0.5, -0.4, 1.5, 0.7, -2.0, 0.9};
  const auto jtv = transform_jacobian_t_vec(x, c, v).value();
  const double h = 1e-6;
  for (std::size_t i = 0; i < x.size(); ++i) {
    std::vector<double> up = x, down = x;
    up[i] += h;
    down[i] -= h;
    const auto cu = transform_params_inner(up, c, true).value();
    const auto cd = transform_params_inner(down, c, true).value();
    double expected = 0.0;
    for (std::size_t j = 0; j < x.size(); ++j) expected += (cu[j] - cd[j]) / (2 * h) * v[j];
    // Forward differences with h = 1e-7 carry an O(h) error.
    EXPECT_NEAR(jtv[i], expected, 1e-5 * (1 + std::abs(expected))) << i;
  }
}

}  // namespace
}  // namespace pelmora
