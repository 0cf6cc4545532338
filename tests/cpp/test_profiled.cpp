// The profiled objective: regression coefficients concentrated out by GLS.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "kalman/kalman.hpp"
#include "optimizer/objective.hpp"
#include "params/transforms.hpp"
#include "pipeline/pipeline.hpp"
#include "test_data.hpp"

namespace pelmora {
namespace {

std::vector<double> noise(std::size_t n, unsigned seed, double sd = 1.0) {
  return testing::gaussian_noise(n, seed, sd);
}

TEST(Profiled, WithoutRegressorsItIsTheFullObjective) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 1, 1, 0, 0, 0, 0};
  c.trend = Trend::Linear;
  auto y = noise(80, 1);
  for (std::size_t t = 1; t < y.size(); ++t) y[t] += y[t - 1];
  const std::vector<double> x = transform_params_inner(std::vector<double>{0.02, 0.4, -0.3, 1.1}, c, false).value();
  const ProfiledSarimaxObjective profiled(y, {}, c);
  const auto ev = profiled.eval_profiled(x).value();
  EXPECT_EQ(ev.x_full, x);
  const SarimaxObjective full(y, std::nullopt, c);
  EXPECT_DOUBLE_EQ(ev.neg_loglike, full.cost(x));
}

TEST(Profiled, OrdinaryLeastSquaresForWhiteNoiseWithOneRegressor) {
  const std::size_t n = 50;
  const auto xcol = noise(n, 2);
  auto y = noise(n, 3, 0.5);
  for (std::size_t t = 0; t < n; ++t) y[t] += 1.7 * xcol[t];
  double sxy = 0.0, sxx = 0.0;
  for (std::size_t t = 0; t < n; ++t) {
    sxy += xcol[t] * y[t];
    sxx += xcol[t] * xcol[t];
  }
  const double beta = sxy / sxx;
  double rss = 0.0;
  for (std::size_t t = 0; t < n; ++t) rss += (y[t] - beta * xcol[t]) * (y[t] - beta * xcol[t]);
  const double N = static_cast<double>(n);

  SarimaxConfig c;
  c.n_exog = 1;
  const double sigma2 = 0.3;
  const ProfiledSarimaxObjective profiled(y, Columns{xcol}, c);
  const auto ev = profiled.eval_profiled(std::vector<double>{std::log(sigma2)}).value();
  EXPECT_NEAR(ev.params.exog[0], beta, 1e-12);
  EXPECT_NEAR(ev.neg_loglike, 0.5 * N * std::log(sigma2) + 0.5 * N * kLog2Pi + 0.5 * rss / sigma2, 1e-9);

  c.concentrate_scale = true;
  const ProfiledSarimaxObjective concentrated(y, Columns{xcol}, c);
  const auto cev = concentrated.eval_profiled(std::vector<double>{}).value();
  const double s2 = rss / N;
  EXPECT_NEAR(cev.neg_loglike, 0.5 * N * kLog2Pi + 0.5 * N * std::log(s2) + 0.5 * N, 1e-9);
  EXPECT_TRUE(finite_diff_grad_profile_negll(concentrated, std::vector<double>{}, 1e-5)->empty());
  EXPECT_TRUE(concentrated.analytical_gradient_negloglike(std::vector<double>{})->empty());

  // All zeros: beta 0, a scale floored at 1e-300 and a finite value.
  const ProfiledSarimaxObjective zeros(std::vector<double>(n, 0.0), Columns{xcol}, c);
  const auto zev = zeros.eval_profiled(std::vector<double>{}).value();
  EXPECT_EQ(zev.params.exog[0], 0.0);
  EXPECT_TRUE(std::isfinite(zev.neg_loglike));
}

TEST(Profiled, ValueEqualsTheFullLikelihoodAtTheGlsCoefficients) {
  // ARMA(1,1) with a constant on data far from zero and two regressors: the trend enters the
  // profiled value, which must equal the full objective at the returned coefficients, and the
  // coefficients must maximise it.
  const std::size_t n = 120;
  const auto x1 = noise(n, 4), x2 = noise(n, 5);
  auto y = noise(n, 6, 0.7);
  for (std::size_t t = 1; t < n; ++t) y[t] += 0.6 * y[t - 1];
  for (std::size_t t = 0; t < n; ++t) y[t] += 300.0 + 2.0 * x1[t] - 1.0 * x2[t];
  for (bool concentrate : {false, true}) {
    SarimaxConfig c;
    c.order = SarimaxOrder{1, 0, 1, 0, 0, 0, 0};
    c.trend = Trend::Constant;
    c.n_exog = 2;
    c.concentrate_scale = concentrate;
    std::vector<double> reduced{120.0, 0.6, 0.2};
    if (!concentrate) reduced.push_back(0.5);
    const std::vector<double> xr = [&] {
      auto full = transform_params_inner(insert_exog_block(reduced, std::vector<double>{0.0, 0.0}, c.trend), c, false).value();
      return remove_exog_block(full, c);
    }();
    const ProfiledSarimaxObjective profiled(y, Columns{x1, x2}, c);
    const auto ev = profiled.eval_profiled(xr).value();
    const SarimaxObjective full(y, Columns{x1, x2}, c);
    EXPECT_NEAR(ev.neg_loglike, full.cost(ev.x_full), 1e-9 * std::abs(ev.neg_loglike));
    for (std::size_t j = 0; j < 2; ++j) {
      for (double step : {-1e-3, 1e-3}) {
        std::vector<double> moved = ev.x_full;
        moved[1 + j] += step;
        EXPECT_GT(full.cost(moved), ev.neg_loglike) << j;
      }
    }
    const auto analytic = profiled.analytical_gradient_negloglike(xr).value();
    const auto fd = finite_diff_grad_profile_negll(profiled, xr, 1e-5).value();
    ASSERT_EQ(analytic.size(), xr.size());
    for (std::size_t i = 0; i < xr.size(); ++i) {
      EXPECT_NEAR(analytic[i], fd[i], 1e-4 * std::max(1.0, std::abs(fd[i]))) << i;
    }
  }
}

TEST(Profiled, BlocksAndMessages) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 0, 0, 0, 0, 0, 0};
  c.trend = Trend::ConstantLinear;
  c.n_exog = 2;
  const std::vector<double> z{1.0, 2.0, 3.0, 4.0};
  const std::vector<double> beta{7.0, 8.0};
  EXPECT_EQ(insert_exog_block(z, beta, c.trend), (std::vector<double>{1, 2, 7, 8, 3, 4}));
  EXPECT_EQ(remove_exog_block(insert_exog_block(z, beta, c.trend), c), z);

  const auto y = noise(30, 7);
  const ProfiledSarimaxObjective profiled(y, Columns{noise(30, 8)}, c);
  EXPECT_EQ(profiled.eval_profiled(std::vector<double>(6, 0.1)).error(),
            "profiled parameter length mismatch: expected 4, got 6");
  EXPECT_EQ(profiled.eval_profiled(std::vector<double>{0.0, 0.0, 0.1, 0.0}).error(), "missing exog column 1");
  EXPECT_EQ(finite_diff_grad_profile_negll(profiled, std::vector<double>{0.0, 0.0, 0.1, 0.0}, 1e-5).error(),
            "missing exog column 1");
}

}  // namespace
}  // namespace pelmora
