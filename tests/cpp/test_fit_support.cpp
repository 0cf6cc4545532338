// Start validation, the likelihood probe, restart counts, polynomial roots and the
// near-cancellation checks, and the conditional-sum-of-squares pre-estimation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "css/css.hpp"
#include "optimizer/mod.hpp"
#include "optimizer/objective.hpp"
#include "params/transforms.hpp"
#include "pipeline/pipeline.hpp"
#include "start_params/start_params.hpp"
#include "test_data.hpp"

namespace pelmora {
namespace {

std::vector<double> noise(std::size_t n, unsigned seed) { return testing::gaussian_noise(n, seed); }

TEST(StartValidation, MinimumLengthAndCallerStarts) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 1, 1, 0, 1, 0, 4};  // 1 + 4 + max(1, 2) + 1 = 8
  const auto y = noise(9, 1);
  const std::vector<double> eight(y.begin(), y.begin() + 8);
  EXPECT_EQ(validate_and_get_start_params(eight, c, std::nullopt, nullptr).error().display(),
            "data error: Not enough observations: n=8 <= minimum required 8 for model order");
  EXPECT_TRUE(validate_and_get_start_params(y, c, std::nullopt, nullptr).has_value());
  EXPECT_EQ(validate_and_get_start_params(y, c, std::vector<double>{0.1, 0.2}, nullptr).error().display(),
            "parameter length mismatch: expected 3, got 2");
  EXPECT_EQ(validate_and_get_start_params(y, c, std::vector<double>{0.1, 0.2, 1.5}, nullptr).value(),
            (std::vector<double>{0.1, 0.2, 1.5}));
  // The parameter count also bounds the length: an exog-heavy model needs more than its orders.
  SarimaxConfig many;
  many.n_exog = 5;
  const Columns exog(5, std::vector<double>(6, 1.0));
  EXPECT_EQ(validate_and_get_start_params(noise(6, 2), many, std::nullopt, &exog).error().message(),
            "Not enough observations: n=6 <= minimum required 6 for model order");
}

TEST(StartValidation, LikelihoodProbeNeverFails) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 0, 0, 0, 0, 0, 0};
  const auto y = noise(50, 3);
  const std::vector<double> params{0.3, 1.2};
  const auto split = SarimaxParams::from_flat(params, c).value();
  EXPECT_EQ(eval_kf_loglike_constrained(y, c, params, nullptr), kalman_eval(y, split, c, nullptr)->loglike);
  EXPECT_EQ(eval_kf_loglike_constrained(y, c, std::vector<double>{0.3}, nullptr),
            -std::numeric_limits<double>::infinity());
  EXPECT_EQ(eval_kf_loglike_constrained(std::vector<double>(5, 1e200), c, params, nullptr),
            -std::numeric_limits<double>::infinity());
}

TEST(RestartCount, Table) {
  struct Row {
    std::size_t m, P, Q;
    std::uint32_t expected;
  };
  for (const Row r : {Row{1, 0, 0, 0}, Row{1, 0, 1, 2}, Row{2, 0, 0, 1}, Row{2, 0, 1, 2}, Row{3, 0, 0, 2},
                      Row{4, 0, 0, 3}, Row{9, 0, 2, 3}, Row{1, 1, 0, 2}, Row{3, 1, 0, 2}, Row{4, 1, 0, 3}}) {
    EXPECT_EQ(n_starts(r.m, r.P, r.Q), r.expected) << r.m << " " << r.P << " " << r.Q;
  }
}

TEST(PolynomialRoots, CompanionEigenvalues) {
  EXPECT_TRUE(polynomial_roots({}).empty());
  EXPECT_EQ(polynomial_roots(std::vector<double>{0.7}), (std::vector<std::complex<double>>{{0.7, 0.0}}));
  // z^2 - z + 0.5 = 0: 0.5 +- 0.5i, the positive imaginary part first.
  const auto pair = polynomial_roots(std::vector<double>{1.0, -0.5});
  ASSERT_EQ(pair.size(), 2u);
  EXPECT_NEAR(pair[0].real(), 0.5, 1e-12);
  EXPECT_NEAR(pair[0].imag(), 0.5, 1e-12);
  EXPECT_NEAR(pair[1].imag(), -0.5, 1e-12);
  // z^3 - 0.5 z^2 - 0.06 z = z (z - 0.6)(z + 0.1).
  auto real = polynomial_roots(std::vector<double>{0.5, 0.06, 0.0});
  ASSERT_EQ(real.size(), 3u);
  std::vector<double> re;
  for (const auto& r : real) {
    EXPECT_EQ(r.imag(), 0.0);
    re.push_back(r.real());
  }
  std::sort(re.begin(), re.end());
  EXPECT_NEAR(re[0], -0.1, 1e-12);
  EXPECT_NEAR(re[1], 0.0, 1e-12);
  EXPECT_NEAR(re[2], 0.6, 1e-12);
}

TEST(NearCancellation, InvertedRootsTwoHundredthsApart) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 0, 1, 0, 0, 0, 0};
  SarimaxParams close;
  close.ar = {0.5};
  close.ma = {-0.48};
  EXPECT_FALSE(validate_no_near_cancellation(close, 1, 1, 0.05));
  EXPECT_TRUE(validate_no_near_cancellation(close, 1, 1, 0.01));
  SarimaxParams apart = close;
  apart.ma = {-0.4};
  EXPECT_TRUE(validate_no_near_cancellation(apart, 1, 1, 0.05));
  EXPECT_TRUE(validate_no_near_cancellation(close, 1, 0, 0.05));  // AR only: nothing to cancel

  const auto x = transform_params_inner(std::vector<double>{0.5, -0.48, 1.0}, c, false).value();
  EXPECT_TRUE(on_cancellation_ridge(x, c));
  EXPECT_TRUE(passes_cancellation_filter(x, c));
  const auto y = transform_params_inner(std::vector<double>{0.5, -0.495, 1.0}, c, false).value();
  EXPECT_FALSE(passes_cancellation_filter(y, c));
  EXPECT_FALSE(on_cancellation_ridge(std::vector<double>{0.1}, c));       // cannot be constrained
  EXPECT_FALSE(passes_cancellation_filter(std::vector<double>{0.1}, c));
}

TEST(Css, ClosedFormsOfTheCriterion) {
  SarimaxConfig ar;
  ar.order = SarimaxOrder{1, 0, 0, 0, 0, 0, 0};
  SarimaxParams p;
  p.ar = {0.4};
  const double e1 = 2 - 0.4, e2 = 3 - 0.8;
  const double S = e1 * e1 + e2 * e2;
  EXPECT_NEAR(css_loglike_with_exog(std::vector<double>{1, 2, 3}, ar, p, nullptr), -(std::log(S / 2) + 1), 1e-14);

  SarimaxConfig ma;
  ma.order = SarimaxOrder{0, 0, 1, 0, 0, 0, 0};
  SarimaxParams m;
  m.ma = {0.5};
  const double f1 = 2, f2 = 3 - 0.5 * f1, f3 = -1 - 0.5 * f2;
  const double Sm = f1 * f1 + f2 * f2 + f3 * f3;
  EXPECT_NEAR(css_loglike_with_exog(std::vector<double>{7, 2, 3, -1}, ma, m, nullptr), -1.5 * (std::log(Sm / 3) + 1),
              1e-14);

  // A perfect fit and a series no longer than the recursion's start are unusable.
  SarimaxParams unit;
  unit.ar = {1.0};
  EXPECT_EQ(css_loglike_with_exog(std::vector<double>{5, 5, 5}, ar, unit, nullptr), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(css_loglike_with_exog(std::vector<double>{5}, ar, p, nullptr), -std::numeric_limits<double>::infinity());
  // A series of zeros is fitted perfectly by any coefficient: the cost is the penalty.
  const CssObjective zeros(std::vector<double>(6, 0.0), std::nullopt, ar);
  EXPECT_EQ(zeros.cost(std::vector<double>{0.3, 0.0}), kPenalty);
  const CssObjective objective(std::vector<double>{1, 2, 3}, std::nullopt, ar);
  const double u = unconstrain_stationary(std::vector<double>{0.4})[0];
  EXPECT_NEAR(objective.cost(std::vector<double>{u, 0.0}), std::log(S / 2) + 1, 1e-12);
  EXPECT_EQ(objective.cost(std::vector<double>{0.1}), kPenalty);  // wrong length
}

TEST(Css, RegressionIsRemovedAlignedAtTheEnd) {
  // After one difference, y - 2 x is white; with beta = 2 the criterion sees only that noise.
  SarimaxConfig c;
  c.order = SarimaxOrder{0, 1, 0, 0, 0, 0, 0};
  c.n_exog = 1;
  const auto x = noise(30, 4);
  auto y = noise(30, 5);
  for (std::size_t t = 0; t < y.size(); ++t) y[t] += 2.0 * x[t];
  SarimaxParams p;
  p.exog = {2.0};
  const Columns exog{x};
  std::vector<double> resid(29);
  for (std::size_t t = 1; t < 30; ++t) resid[t - 1] = (y[t] - 2 * x[t]) - (y[t - 1] - 2 * x[t - 1]);
  double S = 0.0;
  for (double v : resid) S += v * v;
  EXPECT_NEAR(css_loglike_with_exog(y, c, p, &exog), -14.5 * (std::log(S / 29) + 1), 1e-12);
}

TEST(Css, PreEstimationImprovesTheCriterion) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 1, 1, 0, 1, 1, 12};
  const auto y = testing::log_airline();
  const auto start = compute_start_params(y, c, nullptr).value();
  const auto improved = run_css_optimization(y, c, start, 300, nullptr);
  ASSERT_TRUE(improved.has_value());
  ASSERT_EQ(improved->size(), start.size());
  const CssObjective objective(y, std::nullopt, c);
  const auto cost_at = [&](const std::vector<double>& v) {
    return objective.cost(transform_params_inner(v, c, false).value());
  };
  EXPECT_LE(cost_at(*improved), cost_at(start));

  SarimaxConfig none;
  none.concentrate_scale = true;
  EXPECT_FALSE(run_css_optimization(y, none, {}, 300, nullptr).has_value());
  const std::vector<double> bad_variance{0.1, -0.2, -0.3, 0.0};
  EXPECT_FALSE(run_css_optimization(y, c, bad_variance, 300, nullptr).has_value());
}

TEST(WarmStart, FitsTheSimplyDifferencedModel) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 1, 1, 0, 1, 1, 12};
  const auto y = testing::log_airline();
  const auto warm = run_sd_warm_start(y, c, nullptr);
  ASSERT_TRUE(warm.has_value());
  ASSERT_EQ(warm->size(), c.n_params());  // the full model's layout
  SarimaxConfig sd = c;
  sd.simple_differencing = true;
  const auto start = compute_start_params(y, sd, nullptr).value();
  EXPECT_GT(eval_kf_loglike_constrained(y, sd, *warm, nullptr), eval_kf_loglike_constrained(y, sd, start, nullptr));
  // Without ARMA terms the CSS step is skipped and the fit starts from the regression values.
  SarimaxConfig plain;
  plain.order = SarimaxOrder{0, 1, 0, 0, 1, 0, 12};
  const auto only_variance = run_sd_warm_start(y, plain, nullptr);
  ASSERT_TRUE(only_variance.has_value());
  EXPECT_EQ(only_variance->size(), 1u);
  // Too short for the model: nothing.
  EXPECT_FALSE(run_sd_warm_start(std::vector<double>(y.begin(), y.begin() + 20), c, nullptr).has_value());
}

}  // namespace
}  // namespace pelmora
