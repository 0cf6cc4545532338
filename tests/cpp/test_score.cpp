// The tangent-linear score against central differences of the exact log-likelihood.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "initialization/initialization.hpp"
#include "pipeline/pipeline.hpp"
#include "score/score.hpp"
#include "state_space/state_space.hpp"

namespace pelmora {
namespace {

// Simulated ARMA(1,1) around `level` (plus an integrated part when `integrate` > 0).
std::vector<double> simulate(std::size_t n, unsigned seed, double phi, double theta, double level,
                             int integrate = 0, double sd = 1.0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, sd);
  std::vector<double> x(n);
  double prev = 0.0, prev_e = 0.0;
  for (std::size_t t = 0; t < n; ++t) {
    const double e = normal(rng);
    prev = phi * prev + e + theta * prev_e;
    prev_e = e;
    x[t] = prev;
  }
  for (int i = 0; i < integrate; ++i)
    for (std::size_t t = 1; t < n; ++t) x[t] += x[t - 1];
  for (double& v : x) v += level;
  return x;
}

struct Prepared {
  std::vector<double> y;
  std::optional<Columns> exog;
  StateSpace ss;
  KalmanInit init;
  SarimaxParams params;
};

Prepared prepare(const SarimaxConfig& config, const std::vector<double>& flat, const std::vector<double>& y,
            const Columns* exog) {
  auto prepared = prepare_endog(y, config, exog).value();
  auto params = SarimaxParams::from_flat(flat, config).value();
  const Columns* used = prepared.exog ? &*prepared.exog : nullptr;
  auto ss = StateSpace::build(config, params, prepared.y.size(), used).value();
  auto init = KalmanInit::from_config_default(ss, config);
  return {std::move(prepared.y), std::move(prepared.exog), std::move(ss), std::move(init), std::move(params)};
}

double loglike(const SarimaxConfig& config, const std::vector<double>& flat, const std::vector<double>& y,
               const Columns* exog) {
  auto params = SarimaxParams::from_flat(flat, config).value();
  return kalman_eval(y, params, config, exog).value().loglike;
}

// Ridders' extrapolation of central differences (Numerical Recipes, 3rd ed., 5.7): shrinks the
// step until the Richardson tableau stops improving, so it copes both with sharply bending
// likelihoods (which need small steps) and with rounding noise from the 1e6 diffuse variance
// (which needs large ones).
template <typename F>
double ridders_derivative(F f, double h) {
  constexpr int kTable = 20;
  constexpr double kShrink = 1.4, kShrink2 = kShrink * kShrink;
  double a[kTable][kTable];
  a[0][0] = (f(h) - f(-h)) / (2.0 * h);
  double best = a[0][0], err = 1e300;
  for (int i = 1; i < kTable; ++i) {
    h /= kShrink;
    a[0][i] = (f(h) - f(-h)) / (2.0 * h);
    double fac = kShrink2;
    for (int j = 1; j <= i; ++j) {
      a[j][i] = (a[j - 1][i] * fac - a[j - 1][i - 1]) / (fac - 1.0);
      fac *= kShrink2;
      const double e = std::max(std::abs(a[j][i] - a[j - 1][i]), std::abs(a[j][i] - a[j - 1][i - 1]));
      if (e <= err) {
        err = e;
        best = a[j][i];
      }
    }
    if (std::abs(a[i][i] - a[i - 1][i - 1]) >= 2.0 * err) break;
  }
  return best;
}

struct ScoreCase {
  std::string name;
  SarimaxOrder order;
  Trend trend;
  std::size_t n_exog;
  std::vector<double> flat;  // with sigma2 last; dropped when concentrated
  std::vector<double> y;
};

std::vector<ScoreCase> score_cases() {
  const auto arma = simulate(150, 1, 0.6, 0.3, 0.0);
  const auto far = simulate(120, 2, 0.8, 0.0, 580.0, 0, 0.7);  // a lake level: far from zero
  const auto walk = simulate(150, 3, 0.3, -0.4, 10.0, 1);
  const auto walk2 = simulate(100, 4, 0.2, 0.0, 0.0, 2, 0.5);
  std::vector<double> seasonal4(120), seasonal12(180);
  {
    const auto noise = simulate(180, 5, 0.4, -0.3, 0.0, 0, 0.3);
    for (std::size_t t = 0; t < 180; ++t) {
      const double wave = std::sin(2 * M_PI * static_cast<double>(t) / 12.0) * 3.0;
      seasonal12[t] = wave + noise[t] + 0.02 * static_cast<double>(t);
      if (t < 120) seasonal4[t] = std::cos(M_PI * static_cast<double>(t) / 2.0) * 2.0 + noise[t];
    }
  }
  const auto long_series = simulate(3000, 6, 0.5, 0.4, 0.0);
  return {
      {"white noise", {0, 0, 0, 0, 0, 0, 0}, Trend::None, 0, {1.3}, arma},
      {"AR(2)", {2, 0, 0, 0, 0, 0, 0}, Trend::None, 0, {0.5, 0.2, 1.1}, arma},
      {"MA(2)", {0, 0, 2, 0, 0, 0, 0}, Trend::None, 0, {0.3, -0.2, 1.2}, arma},
      {"ARMA(1,1) constant far from zero", {1, 0, 1, 0, 0, 0, 0}, Trend::Constant, 0, {116.0, 0.8, 0.1, 0.5}, far},
      {"ARMA(1,1) ct far from zero", {1, 0, 1, 0, 0, 0, 0}, Trend::ConstantLinear, 0, {100.0, 0.01, 0.8, 0.1, 0.5}, far},
      {"ARIMA(1,1,1) t", {1, 1, 1, 0, 0, 0, 0}, Trend::Linear, 0, {0.01, 0.3, -0.4, 1.0}, walk},
      {"ARIMA(1,2,0)", {1, 2, 0, 0, 0, 0, 0}, Trend::None, 0, {0.2, 0.25}, walk2},
      {"seasonal s=4 D=1", {1, 0, 1, 1, 1, 1, 4}, Trend::None, 0, {0.4, -0.3, 0.2, -0.5, 0.1}, seasonal4},
      {"airline-like s=12", {0, 1, 1, 0, 1, 1, 12}, Trend::None, 0, {-0.4, -0.6, 0.09}, seasonal12},
      {"seasonal AR s=12 const", {1, 0, 0, 1, 0, 0, 12}, Trend::Constant, 0, {0.5, 0.3, 0.4, 2.0}, seasonal12},
      {"one exog", {1, 0, 0, 0, 0, 0, 0}, Trend::Constant, 1, {0.5, 1.5, 0.6, 1.0}, arma},
      {"two exog d=1", {1, 1, 0, 0, 0, 0, 0}, Trend::None, 2, {1.5, -0.7, 0.3, 1.0}, walk},
      {"long ARMA(1,1) steady state", {1, 0, 1, 0, 0, 0, 0}, Trend::None, 0, {0.5, 0.4, 1.0}, long_series},
  };
}

Columns make_exog(std::size_t n, std::size_t n_exog) {
  Columns cols(n_exog, std::vector<double>(n));
  std::mt19937_64 rng(99);
  std::normal_distribution<double> normal;
  for (auto& c : cols)
    for (double& v : c) v = normal(rng);
  return cols;
}

TEST(Score, MatchesCentralDifferencesOfTheLogLikelihood) {
  for (const auto& base : score_cases()) {
    for (bool concentrate : {false, true}) {
      for (bool simple : {false, true}) {
        for (bool stationary : {true, false}) {
          SarimaxConfig config;
          config.order = base.order;
          config.trend = base.trend;
          config.n_exog = base.n_exog;
          config.concentrate_scale = concentrate;
          config.simple_differencing = simple;
          config.enforce_stationarity = stationary;
          std::vector<double> flat = base.flat;
          if (concentrate) flat.pop_back();
          Columns exog_cols = make_exog(base.y.size(), base.n_exog);
          std::vector<double> y = base.y;
          // Regressors must move the series for their coefficients to matter.
          for (std::size_t j = 0; j < base.n_exog; ++j)
            for (std::size_t t = 0; t < y.size(); ++t) y[t] += 2.0 * exog_cols[j][t];
          const Columns* exog = base.n_exog ? &exog_cols : nullptr;

          const Prepared s = prepare(config, flat, y, exog);
          const Columns* used = s.exog ? &*s.exog : nullptr;
          const auto grad = score(s.y, s.ss, s.init, config, s.params, concentrate, used);
          ASSERT_TRUE(grad.has_value()) << base.name;
          ASSERT_EQ(grad->size(), flat.size());
          const auto per_obs = score_obs(s.y, s.ss, s.init, config, s.params, concentrate, used).value();
          ASSERT_EQ(per_obs.size(), s.y.size() - s.init.n_diffuse);

          const std::string label = base.name + (concentrate ? " concentrated" : "") + (simple ? " simple-diff" : "") +
                                    (stationary ? "" : " diffuse");
          double norm = 0.0;
          std::vector<double> fd(flat.size());
          for (std::size_t i = 0; i < flat.size(); ++i) {
            fd[i] = ridders_derivative(
                [&](double step) {
                  std::vector<double> x = flat;
                  x[i] += step;
                  return loglike(config, x, y, exog);
                },
                1e-3 * std::max(std::abs(flat[i]), 1e-2));
            norm = std::max(norm, std::abs(fd[i]));
          }
          for (std::size_t i = 0; i < flat.size(); ++i) {
            EXPECT_NEAR((*grad)[i], fd[i], 1e-5 * std::max(std::abs(fd[i]), 1e-3 * norm)) << label << " param " << i;
            double summed = 0.0;
            for (const auto& row : per_obs) summed += row[i];
            EXPECT_NEAR(summed, (*grad)[i], 1e-9 * std::max(std::abs((*grad)[i]), 1.0)) << label << " param " << i;
          }
        }
      }
    }
  }
}

TEST(Score, EmptyParameterSetAndErrors) {
  SarimaxConfig config;
  config.concentrate_scale = true;
  const std::vector<double> y = simulate(20, 7, 0.0, 0.0, 0.0);
  const Prepared s = prepare(config, {}, y, nullptr);
  EXPECT_TRUE(score(s.y, s.ss, s.init, config, s.params, true, nullptr)->empty());
  const auto rows = score_obs(s.y, s.ss, s.init, config, s.params, true, nullptr).value();
  EXPECT_EQ(rows.size(), 20u);
  EXPECT_TRUE(rows[0].empty());

  SarimaxConfig diffuse;
  diffuse.order = SarimaxOrder{1, 1, 0, 0, 0, 0, 0};
  diffuse.enforce_stationarity = false;
  const std::vector<double> two{1.0, 2.0};
  const Prepared d = prepare(diffuse, {0.5, 1.0}, two, nullptr);
  EXPECT_EQ(score(d.y, d.ss, d.init, diffuse, d.params, false, nullptr).error().display(),
            "data error: Not enough observations: n=2 <= burn=2");

  // Regressor columns must cover the series.
  SarimaxConfig with_exog;
  with_exog.order = SarimaxOrder{1, 0, 0, 0, 0, 0, 0};
  with_exog.n_exog = 1;
  const std::vector<double> y30 = simulate(30, 8, 0.5, 0.0, 0.0);
  const Columns full{std::vector<double>(30, 1.0)}, short_col{std::vector<double>(10, 1.0)};
  const Prepared e = prepare(with_exog, {0.5, 0.3, 1.0}, y30, &full);
  EXPECT_EQ(score(e.y, e.ss, e.init, with_exog, e.params, false, &short_col).error().message(),
            "exog column 0 has 10 rows but y has 30 observations");

  // A series of zeros has a concentrated scale of 0.
  const std::vector<double> zeros(10, 0.0);
  SarimaxConfig ar;
  ar.order = SarimaxOrder{1, 0, 0, 0, 0, 0, 0};
  ar.concentrate_scale = true;
  const Prepared z = prepare(ar, {0.5}, zeros, nullptr);
  EXPECT_EQ(score(z.y, z.ss, z.init, ar, z.params, true, nullptr).error().message(),
            "concentrated sigma^2 <= 0 in score computation");
  EXPECT_EQ(score_obs(z.y, z.ss, z.init, ar, z.params, true, nullptr).error().message(),
            "concentrated sigma^2 <= 0 in score_obs computation");
}

}  // namespace
}  // namespace pelmora
