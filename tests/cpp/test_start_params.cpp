// Regression start values.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "pipeline/pipeline.hpp"
#include "start_params/start_params.hpp"
#include "test_data.hpp"

namespace pelmora {
namespace {

std::vector<double> noise(std::size_t n, unsigned seed, double sd = 1.0) {
  return testing::gaussian_noise(n, seed, sd);
}

double population_variance(const std::vector<double>& x) {
  double mean = 0.0;
  for (double v : x) mean += v / static_cast<double>(x.size());
  double ss = 0.0;
  for (double v : x) ss += (v - mean) * (v - mean);
  return ss / static_cast<double>(x.size());
}

SarimaxConfig config_of(SarimaxOrder order, Trend trend = Trend::None, bool concentrate = false) {
  SarimaxConfig c;
  c.order = order;
  c.trend = trend;
  c.concentrate_scale = concentrate;
  return c;
}

TEST(StartParams, WhiteNoiseIsTheVarianceOfTheDifferencedSeries) {
  const auto y = noise(80, 1, 2.0);
  EXPECT_EQ(compute_start_params(y, config_of({0, 0, 0, 0, 0, 0, 0}), nullptr).value(),
            std::vector<double>{population_variance(y)});
  const auto dy = difference(y, 1);
  ASSERT_EQ(dy.size(), 79u);
  EXPECT_DOUBLE_EQ(compute_start_params(y, config_of({0, 1, 0, 0, 0, 0, 0}), nullptr).value()[0],
                   population_variance(dy));
  EXPECT_TRUE(compute_start_params(y, config_of({0, 0, 0, 0, 0, 0, 0}, Trend::None, true), nullptr)->empty());
  // A constant series has variance 0, floored at 1e-6.
  EXPECT_EQ(compute_start_params(std::vector<double>(10, 3.0), config_of({0, 0, 0, 0, 0, 0, 0}), nullptr).value(),
            std::vector<double>{1e-6});
}

TEST(StartParams, ShortSeriesGivesZeros) {
  const std::vector<double> y{1.0, 2.0, 4.0, 7.0};
  const SarimaxConfig c = config_of({1, 2, 1, 0, 0, 0, 0}, Trend::Constant);  // two values after differencing
  EXPECT_EQ(compute_start_params(y, c, nullptr).value(), std::vector<double>(4, 0.0));
}

TEST(StartParams, RecoversAnArmaProcess) {
  // AR(1) phi = 0.6 with MA(1) theta = 0.3 on 2000 values: two-stage regression lands close.
  const auto e = noise(2000, 2);
  std::vector<double> y(2000, 0.0);
  for (std::size_t t = 1; t < y.size(); ++t) y[t] = 0.6 * y[t - 1] + e[t] + 0.3 * e[t - 1];
  const auto start = compute_start_params(y, config_of({1, 0, 1, 0, 0, 0, 0}), nullptr).value();
  ASSERT_EQ(start.size(), 3u);
  EXPECT_NEAR(start[0], 0.6, 0.08);
  EXPECT_NEAR(start[1], 0.3, 0.08);
  EXPECT_NEAR(start[2], 1.0, 0.1);
}

TEST(StartParams, BlockNearTheUnitCircleStartsAtZeroButKeepsItsVariance) {
  // A random walk fitted as AR(1): the regression gives phi close to 1.
  auto y = noise(400, 3);
  for (std::size_t t = 1; t < y.size(); ++t) y[t] += y[t - 1];
  const auto est = css_two_stage(y, std::vector<std::size_t>{1}, {}).value();
  ASSERT_GT(std::abs(est.ar[0]), 0.99);
  const auto start = compute_start_params(y, config_of({1, 0, 0, 0, 0, 0, 0}), nullptr).value();
  EXPECT_EQ(start[0], 0.0);
  EXPECT_EQ(start[1], est.sigma2);
}

TEST(StartParams, MaBlockWithTooFewObservations) {
  // MA(3) needs more than 2q + 2 = 8 values for its long autoregression.
  const auto y = noise(8, 4);
  const auto start = compute_start_params(y, config_of({0, 0, 3, 0, 0, 0, 0}), nullptr).value();
  EXPECT_EQ(start, (std::vector<double>{0.0, 0.0, 0.0, population_variance(y)}));
}

TEST(StartParams, TimeTrendUsesPositionsInTheUndifferencedSeries) {
  // y_t = 0.5 t (t + 1) / 2 differences to 0.5 t for t = 1 .. n-1: the slope on the time values
  // 1 .. n-1 is exactly 0.5 (on 0 .. n-2 it would not be).
  std::vector<double> y(30);
  for (std::size_t t = 0; t < y.size(); ++t) y[t] = 0.25 * static_cast<double>(t * (t + 1));
  const auto start = compute_start_params(y, config_of({0, 1, 0, 0, 0, 0, 0}, Trend::Linear), nullptr).value();
  EXPECT_NEAR(start[0], 0.5, 1e-12);
  EXPECT_EQ(start[1], 1e-6);  // nothing left after the trend
}

TEST(StartParams, SeasonalMaNeedsFortyEightValuesAtPeriodTwelve) {
  // The long autoregression has 24 columns. With 47 values it has 23 rows and no solution, so
  // sigma2 is the variance of the series; with 48 it is solved (exactly: the residuals vanish),
  // the MA column is zero, and sigma2 comes from the second stage: the mean square of
  // y[37..47], the first of the 12 residuals being skipped.
  const SarimaxConfig c = config_of({0, 0, 0, 0, 0, 1, 12});
  const auto y = noise(48, 5);
  const std::vector<double> short_y(y.begin(), y.begin() + 47);
  const auto s47 = compute_start_params(short_y, c, nullptr).value();
  EXPECT_EQ(s47[0], 0.0);
  EXPECT_DOUBLE_EQ(s47[1], population_variance(short_y));
  const auto s48 = compute_start_params(y, c, nullptr).value();
  double ms = 0.0;
  for (std::size_t t = 37; t < 48; ++t) ms += y[t] * y[t] / 11.0;
  EXPECT_EQ(s48[0], 0.0);
  EXPECT_NEAR(s48[1], ms, 1e-12 * ms);
}

TEST(StartParams, RegressorsAndTheirCountCheck) {
  const auto x = noise(100, 6);
  auto y = noise(100, 7, 0.1);
  for (std::size_t t = 0; t < y.size(); ++t) y[t] += 3.0 * x[t] + 1.0;
  SarimaxConfig c = config_of({0, 0, 0, 0, 0, 0, 0}, Trend::Constant);
  c.n_exog = 1;
  const Columns exog{x};
  const auto start = compute_start_params(y, c, &exog).value();
  // The trend comes off first, on its own (the mean), then the regressor, without intercept.
  double mean = 0.0;
  for (double v : y) mean += v / static_cast<double>(y.size());
  double sxy = 0.0, sxx = 0.0;
  for (std::size_t t = 0; t < y.size(); ++t) {
    sxy += x[t] * (y[t] - mean);
    sxx += x[t] * x[t];
  }
  EXPECT_NEAR(start[0], mean, 1e-12);
  EXPECT_NEAR(start[1], sxy / sxx, 1e-12);
  c.n_exog = 2;
  EXPECT_EQ(compute_start_params(y, c, &exog).error().display(),
            "data error: failed to build start params: expected length 4, got 3");
}

TEST(StartParams, AirlineStartHasAFiniteLikelihood) {
  const auto y = testing::log_airline();
  for (const SarimaxOrder order : {SarimaxOrder{0, 1, 1, 0, 1, 1, 12}, SarimaxOrder{2, 1, 1, 1, 1, 1, 12},
                                   SarimaxOrder{1, 1, 0, 0, 0, 0, 0}}) {
    const SarimaxConfig c = config_of(order);
    const auto start = compute_start_params(y, c, nullptr).value();
    for (double v : start) EXPECT_TRUE(std::isfinite(v));
    const auto params = SarimaxParams::from_flat(start, c).value();
    const auto out = kalman_eval(y, params, c, nullptr);
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(std::isfinite(out->loglike));
  }
}

TEST(LeastSquares, PseudoInverseAndItsLimits) {
  // Exact fit of y = 2 a - b; a duplicated column is rank-deficient and gets the minimum-norm split.
  const Columns cols{{1, 2, 3, 4}, {1, 0, 1, 0}};
  const auto b = ols_pinv(cols, std::vector<double>{1, 4, 5, 8}).value();
  EXPECT_NEAR(b[0], 2.0, 1e-12);
  EXPECT_NEAR(b[1], -1.0, 1e-12);
  const auto dup = ols_pinv(Columns{{1, 2, 3}, {1, 2, 3}}, std::vector<double>{2, 4, 6}).value();
  EXPECT_NEAR(dup[0], 1.0, 1e-12);
  EXPECT_NEAR(dup[1], 1.0, 1e-12);
  EXPECT_FALSE(ols_pinv(Columns{{1}, {2}}, std::vector<double>{1}).has_value());
  EXPECT_EQ(ols_pinv(Columns{}, std::vector<double>{1, 2}).value().size(), 0u);
  EXPECT_EQ(ar_residuals(std::vector<double>{1, 2, 4}, std::vector<double>{0.5}), (std::vector<double>{1.5, 3.0}));
  EXPECT_EQ(seasonal_ar_residuals(std::vector<double>{1, 2, 3, 5}, std::vector<double>{1.0}, 2),
            (std::vector<double>{2.0, 3.0}));
  EXPECT_TRUE(seasonal_difference(std::vector<double>{1, 2}, 1, 2).empty());
  EXPECT_EQ(seasonal_difference(std::vector<double>{1, 2}, 1, 0), (std::vector<double>{1, 2}));
}

}  // namespace
}  // namespace pelmora
