// The batched filter shares one covariance recursion across series of one model.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kalman/batched.hpp"
#include "kalman/kalman.hpp"
#include "state_space/state_space.hpp"
#include "test_data.hpp"

namespace pelmora {
namespace {

std::vector<double> noise(std::size_t n, unsigned seed) { return testing::gaussian_noise(n, seed); }

SarimaxParams params_of(std::vector<double> ar, std::vector<double> ma, std::vector<double> sma, double sigma2,
                        std::vector<double> trend = {}) {
  SarimaxParams p;
  p.ar = std::move(ar);
  p.ma = std::move(ma);
  p.seasonal_ma = std::move(sma);
  p.sigma2 = sigma2;
  p.trend = std::move(trend);
  return p;
}

TEST(BatchedFilter, OneSeriesMatchesTheSingleFilter) {
  struct Case {
    SarimaxOrder order;
    SarimaxParams params;
    Trend trend;
    bool stationary;
    std::size_t n;
  };
  const Case cases[] = {
      {{1, 0, 1, 0, 0, 0, 0}, params_of({0.5}, {0.3}, {}, 1.2, {0.4}), Trend::Constant, true, 60},
      {{0, 1, 1, 0, 1, 1, 12}, params_of({}, {-0.4}, {-0.6}, 0.8), Trend::None, true, 150},
      {{2, 1, 0, 0, 0, 0, 0}, params_of({0.3, -0.2}, {}, {}, 1.0), Trend::Linear, false, 40},
      {{1, 0, 0, 0, 0, 0, 0}, params_of({0.2}, {}, {}, 1.0), Trend::None, true, 2000},  // reaches steady state
  };
  for (const Case& c : cases) {
    SarimaxConfig config;
    config.order = c.order;
    config.trend = c.trend;
    config.enforce_stationarity = c.stationary;
    SarimaxParams p = c.params;
    if (c.trend == Trend::Linear) p.trend = {0.1};
    const std::vector<double> y = noise(c.n, 3);
    const auto ss = StateSpace::build(config, p, y.size(), nullptr).value();
    const KalmanInit init = KalmanInit::from_config_default(ss, config);
    const auto single = kalman_core(y, ss, init, false, true, nullptr).value();
    const std::vector<std::span<const double>> one{y};
    const auto batched = kalman_filter_batched(one, ss, init).value();
    ASSERT_EQ(batched.residuals.size(), 1u);
    ASSERT_EQ(batched.residuals[0].size(), y.size());
    EXPECT_EQ(batched.nobs, single.nobs);
    // The single filter, keeping its filtered covariance, updates P apart from the prediction
    // where the batched one folds the two together: they agree to rounding, amplified by the
    // 1e6 variance of the diffuse states.
    for (std::size_t t = 0; t < y.size(); ++t) {
      EXPECT_NEAR(batched.residuals[0][t], single.residuals[t], 1e-9 * (1 + std::abs(single.residuals[t]))) << t;
      EXPECT_NEAR(batched.innovation_variances[t], single.innovation_variances[t],
                  1e-9 * std::abs(single.innovation_variances[t]))
          << t;
    }
  }
}

TEST(BatchedFilter, NonPositiveVariancesAndIdenticalSeries) {
  // sigma2 = 0 from a known zero start: every F_t is 0 and the states never update.
  SarimaxConfig config;
  const auto ss = StateSpace::build(config, params_of({}, {}, {}, 0.0), 3, nullptr).value();
  KalmanInit init;
  init.initial_state = Vector::Zero(1);
  init.initial_cov = Matrix::Zero(1, 1);
  const std::vector<double> y{1.0, -2.0, 3.0};
  const std::vector<std::span<const double>> two{y, y};
  const auto out = kalman_filter_batched(two, ss, init).value();
  EXPECT_EQ(out.innovation_variances, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(out.residuals[0], y);
  EXPECT_EQ(out.residuals[1], out.residuals[0]);
  EXPECT_EQ(out.nobs, 3u);
}

TEST(BatchedFilter, Messages) {
  SarimaxConfig config;
  const auto ss = StateSpace::build(config, params_of({}, {}, {}, 1.0), 10, nullptr).value();
  const KalmanInit init = KalmanInit::approximate_diffuse(1);
  EXPECT_EQ(kalman_filter_batched({}, ss, init).error().display(),
            "data error: kalman_filter_batched: observations must contain at least one series");
  const std::vector<double> ten(10, 1.0), nine(9, 1.0);
  const std::vector<std::span<const double>> uneven{ten, ten, nine};
  EXPECT_EQ(kalman_filter_batched(uneven, ss, init).error().message(),
            "kalman_filter_batched: series 2 has length 9 but series 0 has length 10");
  const std::vector<double> one(1, 1.0);
  const std::vector<std::span<const double>> short_series{one};
  EXPECT_EQ(kalman_filter_batched(short_series, ss, init).error().message(), "Not enough observations: n=1 <= burn=1");
}

}  // namespace
}  // namespace pelmora
