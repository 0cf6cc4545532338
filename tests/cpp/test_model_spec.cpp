// Model orders and limits, trend codes, the flat parameter layout, lag polynomials, error
// texts and number formatting.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "error/error.hpp"
#include "error/format.hpp"
#include "params/params.hpp"
#include "polynomial/polynomial.hpp"
#include "types/types.hpp"

namespace pelmora {
namespace {

struct OrderCase {
  std::size_t p, d, q, P, D, Q, s, n_exog;
  const char* message;  // nullptr: passes
};

TEST(ValidateOrder, ReportsTheFirstFailingLimit) {
  const OrderCase cases[] = {
      {20, 3, 20, 0, 0, 0, 0, 0, nullptr},
      {21, 0, 21, 0, 0, 0, 0, 0, "AR order p=21 exceeds maximum 20"},
      {0, 0, 21, 0, 0, 0, 0, 0, "MA order q=21 exceeds maximum 20"},
      {0, 4, 0, 0, 0, 0, 0, 0, "differencing order d=4 exceeds maximum 3"},
      {0, 0, 0, 5, 0, 0, 12, 0, "seasonal AR order P=5 exceeds maximum 4"},
      {0, 0, 0, 0, 0, 5, 12, 0, "seasonal MA order Q=5 exceeds maximum 4"},
      {0, 0, 0, 0, 3, 0, 12, 0, "seasonal differencing D=3 exceeds maximum 2"},
      {0, 0, 0, 1, 0, 0, 366, 0, "seasonal period s=366 exceeds maximum 365"},
      {0, 0, 0, 0, 0, 0, 0, 101, "n_exog=101 exceeds maximum 100"},
      {0, 0, 0, 0, 0, 0, 0, 100, nullptr},
      {0, 0, 0, 1, 0, 0, 1, 0, "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"},
      {0, 0, 0, 0, 0, 0, 1, 0, nullptr},
      {0, 0, 0, 4, 1, 4, 365, 0, "model too large: k_states=1826 exceeds limit 1024"},
      // 1024 exactly passes: d + D*s + max(p + P*s, q + Q*s + 1) = 3 + 0 + 1021.
      {1, 3, 1, 4, 0, 0, 255, 0, nullptr},
      {1, 3, 1, 4, 0, 0, 256, 0, "model too large: k_states=1028 exceeds limit 1024"},
  };
  for (const auto& c : cases) {
    auto result = validate_order(c.p, c.d, c.q, c.P, c.D, c.Q, c.s, c.n_exog);
    if (c.message == nullptr) {
      EXPECT_TRUE(result.has_value()) << result.error();
    } else {
      ASSERT_FALSE(result.has_value()) << c.message;
      EXPECT_EQ(result.error(), c.message);
    }
  }
  EXPECT_EQ((SarimaxOrder{20, 3, 20, 0, 0, 0, 0}.k_states()), 24u);
}

TEST(ParseTrend, AcceptsTheFourCanonicalTextsAndTc) {
  EXPECT_EQ(parse_trend(std::nullopt).value(), Trend::None);
  EXPECT_EQ(parse_trend("n").value(), Trend::None);
  EXPECT_EQ(parse_trend("c").value(), Trend::Constant);
  EXPECT_EQ(parse_trend("t").value(), Trend::Linear);
  EXPECT_EQ(parse_trend("ct").value(), Trend::ConstantLinear);
  EXPECT_EQ(parse_trend("tc").value(), Trend::ConstantLinear);
  EXPECT_EQ(k_trend(parse_trend("tc").value()), 2u);
  for (const char* bad : {"C", " c", "c ", "", "ctt", "nn", "cc"}) {
    auto parsed = parse_trend(bad);
    ASSERT_FALSE(parsed.has_value()) << bad;
    EXPECT_EQ(parsed.error(),
              std::string("unknown trend '") + bad + "', expected one of: 'n', 'c', 't', 'ct'");
  }
}

SarimaxConfig arma11_c_exog(bool concentrate) {
  SarimaxConfig c;
  c.order = SarimaxOrder{1, 0, 1, 0, 0, 0, 0};
  c.trend = Trend::Constant;
  c.n_exog = 1;
  c.concentrate_scale = concentrate;
  return c;
}

TEST(FromFlat, SplitsBlocksInLayoutOrder) {
  const std::vector<double> flat{10, 20, 0.5, 0.3, 2.0};
  auto p = SarimaxParams::from_flat(flat, arma11_c_exog(false)).value();
  EXPECT_EQ(p.trend, std::vector<double>{10});
  EXPECT_EQ(p.exog, std::vector<double>{20});
  EXPECT_EQ(p.ar, std::vector<double>{0.5});
  EXPECT_EQ(p.ma, std::vector<double>{0.3});
  EXPECT_TRUE(p.seasonal_ar.empty());
  EXPECT_TRUE(p.seasonal_ma.empty());
  EXPECT_EQ(p.sigma2, 2.0);

  SarimaxConfig seasonal;
  seasonal.order = SarimaxOrder{1, 0, 1, 2, 0, 1, 4};
  seasonal.trend = Trend::ConstantLinear;
  auto q = SarimaxParams::from_flat(std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}, seasonal).value();
  EXPECT_EQ(q.trend, (std::vector<double>{1, 2}));
  EXPECT_EQ(q.seasonal_ar, (std::vector<double>{5, 6}));
  EXPECT_EQ(q.seasonal_ma, std::vector<double>{7});
  EXPECT_EQ(q.sigma2, 8.0);
}

TEST(FromFlat, ConcentratedScaleHasNoSigma2AndChecksLength) {
  auto ok = SarimaxParams::from_flat(std::vector<double>{1, 2, 3, 4}, arma11_c_exog(true));
  ASSERT_TRUE(ok.has_value());
  EXPECT_FALSE(ok->sigma2.has_value());
  auto bad = SarimaxParams::from_flat(std::vector<double>{1, 2, 3, 4, 5}, arma11_c_exog(true));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind(), SarimaxError::Kind::ParamLengthMismatch);
  EXPECT_EQ(bad.error().display(), "parameter length mismatch: expected 4, got 5");

  SarimaxConfig ct;
  ct.trend = Trend::ConstantLinear;
  EXPECT_EQ(ct.n_params(), 3u);
}

TEST(LagPolynomials, ReducedPolynomialsMultiplyRegularAndSeasonalFactors) {
  SarimaxParams p;
  p.ar = {0.5};
  p.seasonal_ar = {0.3};
  const SarimaxOrder o{1, 0, 0, 1, 0, 0, 4};
  const std::vector<double> expected{1, -0.5, 0, 0, -0.3, 0.15};
  const auto ar = reduced_ar(p, o);
  ASSERT_EQ(ar.size(), expected.size());
  for (std::size_t i = 0; i < ar.size(); ++i) EXPECT_DOUBLE_EQ(ar[i], expected[i]) << i;
  EXPECT_EQ(reduced_ma(p, o), std::vector<double>{1.0});
  EXPECT_EQ(make_seasonal_ar_poly({}, 12), std::vector<double>{1.0});
  EXPECT_EQ(make_ma_poly(std::vector<double>{0.2}, 3), (std::vector<double>{1, 0.2, 0, 0}));
  EXPECT_EQ(make_seasonal_ma_poly(std::vector<double>{0.4, 0.1}, 2),
            (std::vector<double>{1, 0, 0.4, 0, 0.1}));
  EXPECT_TRUE(polymul({}, std::vector<double>{1.0}).empty());
}

TEST(SarimaxError, DisplayTextsOfEveryKind) {
  EXPECT_EQ(SarimaxError::state_space_construction("x").display(), "state space construction failed: x");
  EXPECT_EQ(SarimaxError::cholesky_failed().display(),
            "Cholesky decomposition failed: covariance matrix is not positive-definite");
  EXPECT_EQ(SarimaxError::optimization_failed("x").display(), "optimization failed: x");
  EXPECT_EQ(SarimaxError::non_stationary_ar().display(), "non-stationary AR polynomial");
  EXPECT_EQ(SarimaxError::non_invertible_ma().display(), "non-invertible MA polynomial");
  EXPECT_EQ(SarimaxError::data_error("x").display(), "data error: x");
  EXPECT_EQ(SarimaxError::invalid_input("x").display(), "invalid input: x");
  EXPECT_EQ(SarimaxError::inference_failed("x").display(), "inference computation failed: x");
}

TEST(FormatDouble, ShortestPlainDecimal) {
  EXPECT_EQ(format_double(2.0), "2");
  EXPECT_EQ(format_double(0.05), "0.05");
  EXPECT_EQ(format_double(-0.5), "-0.5");
  EXPECT_EQ(format_double(1e-6), "0.000001");
  EXPECT_EQ(format_double(1e21), "1000000000000000000000");
  EXPECT_EQ(format_double(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(format_double(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(format_double(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(format_double(std::nan("")), "NaN");
  // Round trip of a tiny value written without an exponent.
  const std::string tiny = format_double(5e-324);
  EXPECT_EQ(tiny.find('e'), std::string::npos);
  double back = 0.0;
  std::from_chars(tiny.data(), tiny.data() + tiny.size(), back);
  EXPECT_EQ(back, 5e-324);
}

}  // namespace
}  // namespace pelmora
