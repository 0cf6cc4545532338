// State-space construction, initial distribution, Lyapunov solvers, the Kalman filter and the
// simple-differencing pipeline.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "css/differencing.hpp"
#include "initialization/initialization.hpp"
#include "kalman/kalman.hpp"
#include "pipeline/pipeline.hpp"
#include "state_space/state_space.hpp"

namespace pelmora {
namespace {

SarimaxConfig make_config(SarimaxOrder order, Trend trend = Trend::None, bool stationary = true) {
  SarimaxConfig c;
  c.order = order;
  c.trend = trend;
  c.enforce_stationarity = stationary;
  return c;
}

SarimaxParams make_params(std::vector<double> ar, std::vector<double> ma, double sigma2,
                          std::vector<double> trend = {}) {
  SarimaxParams p;
  p.ar = std::move(ar);
  p.ma = std::move(ma);
  p.sigma2 = sigma2;
  p.trend = std::move(trend);
  return p;
}

std::vector<double> gaussian(std::size_t n, unsigned seed, double scale = 1.0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, scale);
  std::vector<double> y(n);
  for (double& v : y) v = normal(rng);
  return y;
}

TEST(StateSpace, Arma11Layout) {
  auto ss = StateSpace::build(make_config({1, 0, 1, 0, 0, 0, 0}), make_params({0.5}, {0.3}, 2.0), 10,
                              nullptr)
                .value();
  EXPECT_EQ(ss.k_states, 2u);
  EXPECT_EQ(ss.k_diff, 0u);
  Matrix T(2, 2);
  T << 0.5, 1, 0, 0;
  EXPECT_EQ(ss.transition, T);
  EXPECT_EQ(ss.design, Vector::Unit(2, 0));
  EXPECT_EQ(ss.selection(0, 0), 1.0);
  EXPECT_EQ(ss.selection(1, 0), 0.3);
  EXPECT_EQ(ss.state_cov(0, 0), 2.0);
}

TEST(StateSpace, RegularAndSeasonalDifferencingStates) {
  auto ss = StateSpace::build(make_config({0, 1, 0, 0, 1, 0, 4}), make_params({}, {}, 1.0), 20, nullptr)
                .value();
  ASSERT_EQ(ss.k_states, 6u);
  EXPECT_EQ(ss.k_diff, 5u);
  Vector Z(6);
  Z << 1, 0, 0, 0, 1, 1;
  EXPECT_EQ(ss.design, Z);
  Matrix T = Matrix::Zero(6, 6);
  T(0, 0) = T(0, 4) = T(0, 5) = 1;  // y_{t-1} level: itself, the seasonal sum and the ARMA link
  T(1, 4) = T(1, 5) = 1;            // first seasonal state
  T(2, 1) = T(3, 2) = T(4, 3) = 1;  // cyclic shift
  EXPECT_EQ(ss.transition, T);
  const KalmanInit init = KalmanInit::from_config_default(ss, make_config({0, 1, 0, 0, 1, 0, 4}));
  EXPECT_EQ(init.n_diffuse, 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(init.initial_cov(i, i), kApproxDiffuseVariance);

  SarimaxConfig simple = make_config({0, 1, 0, 0, 1, 0, 4});
  simple.simple_differencing = true;
  auto reduced = StateSpace::build(simple, make_params({}, {}, 1.0), 15, nullptr).value();
  EXPECT_EQ(reduced.k_states, 1u);
}

TEST(StateSpace, ConstructionErrors) {
  for (bool simple : {false, true}) {
    SarimaxConfig c = make_config({0, 0, 0, 0, 2, 0, 4});
    c.simple_differencing = simple;
    auto r = StateSpace::build(c, make_params({}, {}, 1.0), 20, nullptr);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(),
              "state space construction failed: Seasonal differencing D > 1 is not yet supported");
  }
  auto s1 = StateSpace::build(make_config({0, 0, 0, 0, 1, 0, 1}), make_params({}, {}, 1.0), 20, nullptr);
  ASSERT_FALSE(s1.has_value());
  EXPECT_EQ(s1.error().message(), "Seasonal differencing D=1 requires seasonal period s >= 2, got s=1");

  const Columns exog{std::vector<double>(20, 1.0), std::vector<double>(19, 1.0)};
  SarimaxConfig c = make_config({1, 0, 0, 0, 0, 0, 0});
  c.n_exog = 2;
  auto bad = StateSpace::build(c, make_params({0.5}, {}, 1.0), 20, &exog);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind(), SarimaxError::Kind::DataError);
  EXPECT_EQ(bad.error().display(), "data error: exog column 1 has 19 rows but y has 20 observations");
}

TEST(StateSpace, InterceptsCarryTrendAndRegression) {
  const auto linear = build_state_intercept(4, 3, 1, Trend::Linear, std::vector<double>{2.0});
  EXPECT_EQ(linear, (std::vector<double>{0, 0, 0, 0, 2, 0, 0, 4, 0, 0, 6, 0}));
  const auto ct = build_state_intercept(3, 1, 0, Trend::ConstantLinear, std::vector<double>{1.0, 0.5});
  EXPECT_EQ(ct, (std::vector<double>{1.0, 1.5, 2.0}));
  const Columns exog{{1, 2, 3}, {10, 20, 30}};
  EXPECT_EQ(build_obs_intercept(3, &exog, std::vector<double>{2.0, -1.0}),
            (std::vector<double>{-8, -16, -24}));
  EXPECT_EQ(build_obs_intercept(3, &exog, {}), (std::vector<double>{0, 0, 0}));
}

TEST(Lyapunov, MatchesTheKroneckerSolution) {
  Matrix A(2, 2);
  A << 0.5, 1.0, -0.3, 0.2;
  Matrix B(2, 2);
  B << 1.0, 0.4, 0.4, 0.16;
  // vec(P) = (I - A (x) A)^{-1} vec(B), an independent direct solve.
  Matrix kron(4, 4);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) kron.block(2 * i, 2 * j, 2, 2) = A(i, j) * A;
  const Vector vecB = Eigen::Map<const Vector>(B.data(), 4);
  const Vector vecP = (Matrix::Identity(4, 4) - kron).lu().solve(vecB);
  const Matrix expected = Eigen::Map<const Matrix>(vecP.data(), 2, 2);
  const auto P = solve_lyapunov_general(A, B);
  ASSERT_TRUE(P.has_value());
  EXPECT_LT((*P - expected).norm(), 1e-12);
  EXPECT_EQ(*P, P->transpose());
}

TEST(Lyapunov, ShiftMatricesOfMovingAverageModels) {
  // A nilpotent shift (the companion of a pure MA model) and a sparse companion with one AR
  // coefficient: both against the direct Kronecker solve.
  for (double phi : {0.0, 0.7}) {
    const Eigen::Index r = 6;
    Matrix A = Matrix::Zero(r, r);
    for (Eigen::Index j = 0; j + 1 < r; ++j) A(j, j + 1) = 1.0;
    A(0, 0) = phi;
    Vector R(r);
    R << 1.0, 0.4, 0.0, 0.0, 0.0, -0.3;
    const Matrix B = R * R.transpose();
    Matrix kron(r * r, r * r);
    for (Eigen::Index i = 0; i < r; ++i)
      for (Eigen::Index j = 0; j < r; ++j) kron.block(r * i, r * j, r, r) = A(i, j) * A;
    const Vector vecB = Eigen::Map<const Vector>(B.data(), r * r);
    const Vector vecP = (Matrix::Identity(r * r, r * r) - kron).lu().solve(vecB);
    const Matrix expected = Eigen::Map<const Matrix>(vecP.data(), r, r);
    const auto P = solve_lyapunov_general(A, B);
    ASSERT_TRUE(P.has_value());
    EXPECT_LT((*P - expected).norm(), 1e-12 * expected.norm()) << phi;
  }
}

TEST(Lyapunov, ZeroTransitionReturnsBAndDivergenceFails) {
  Matrix B(2, 2);
  B << 2.0, 0.5, 0.5, 1.0;
  EXPECT_EQ(lyapunov_doubling(Matrix::Zero(2, 2), B).value(), B);
  EXPECT_EQ(lyapunov_doubling(Matrix(0, 0), Matrix(0, 0))->size(), 0);
  EXPECT_FALSE(lyapunov_doubling(Matrix::Constant(1, 1, 1.5), Matrix::Constant(1, 1, 1.0)).has_value());
  EXPECT_FALSE(lyapunov_doubling(Matrix::Constant(1, 1, 1.0), Matrix::Constant(1, 1, 1.0)).has_value());
  EXPECT_FALSE(lyapunov_doubling(Matrix::Constant(1, 1, std::nan("")), Matrix::Constant(1, 1, 1.0))
                   .has_value());
}

TEST(KalmanInit, StationaryArmaBlockStartsAtItsMean) {
  // AR(2) with a constant: a1 = c / (1 - phi1 - phi2) and, in companion form, a2 = phi2 * a1.
  const SarimaxConfig config = make_config({2, 0, 0, 0, 0, 0, 0}, Trend::Constant);
  const auto ss = StateSpace::build(config, make_params({0.5, 0.2}, {}, 1.0, {3.0}), 10, nullptr).value();
  const KalmanInit init = KalmanInit::from_config_default(ss, config);
  ASSERT_TRUE(init.stationary_block.has_value());
  EXPECT_EQ(init.n_diffuse, 0u);
  EXPECT_NEAR(init.initial_state[0], 3.0 / 0.3, 1e-12);
  EXPECT_NEAR(init.initial_state[1], 0.2 * 3.0 / 0.3, 1e-12);
  // Var of a stationary AR(1) state: sigma2 / (1 - phi^2).
  const SarimaxConfig ar1 = make_config({1, 0, 0, 0, 0, 0, 0});
  const auto ss1 = StateSpace::build(ar1, make_params({0.6}, {}, 2.0), 10, nullptr).value();
  EXPECT_NEAR(KalmanInit::from_config_default(ss1, ar1).initial_cov(0, 0), 2.0 / (1 - 0.36), 1e-12);
}

TEST(KalmanInit, DifferencingStatesAndDiffuseModeStartAtZero) {
  const SarimaxConfig config = make_config({1, 1, 0, 0, 0, 0, 0}, Trend::Constant);
  const auto ss = StateSpace::build(config, make_params({0.5}, {}, 1.0, {3.0}), 10, nullptr).value();
  const KalmanInit init = KalmanInit::from_config_default(ss, config);
  EXPECT_EQ(init.initial_state[0], 0.0);
  EXPECT_NEAR(init.initial_state[1], 6.0, 1e-12);

  SarimaxConfig diffuse = config;
  diffuse.enforce_stationarity = false;
  const KalmanInit d = KalmanInit::from_config_default(ss, diffuse);
  EXPECT_TRUE(d.initial_state.isZero(0.0));
  EXPECT_EQ(d.initial_cov, Matrix::Identity(2, 2) * 1e6);
  EXPECT_EQ(d.n_diffuse, 2u);
  EXPECT_FALSE(d.stationary_block.has_value());
}

TEST(KalmanInit, NonStationaryArFallsBackToApproximateDiffuse) {
  const SarimaxConfig config = make_config({1, 0, 0, 0, 0, 0, 0}, Trend::Constant);
  const auto ss = StateSpace::build(config, make_params({1.2}, {}, 1.0, {3.0}), 10, nullptr).value();
  const KalmanInit init = KalmanInit::from_config_default(ss, config);
  EXPECT_FALSE(init.stationary_block.has_value());
  EXPECT_EQ(init.n_diffuse, 1u);
  EXPECT_EQ(init.initial_state[0], 0.0);
}

TEST(KalmanInit, SingularCovarianceGetsTheFirstJitterStep) {
  // MA(1) with theta = 0: the second state never moves, so its stationary variance is 0 and the
  // covariance is singular; one jitter of 1e-12 * max(1, max |P_ii|) makes it factorise.
  const SarimaxConfig config = make_config({0, 0, 1, 0, 0, 0, 0});
  const auto ss = StateSpace::build(config, make_params({}, {0.0}, 4.0), 10, nullptr).value();
  const KalmanInit init = KalmanInit::from_config_default(ss, config);
  ASSERT_TRUE(init.stationary_block.has_value());
  EXPECT_EQ(init.initial_cov(1, 1), 4e-12);
  EXPECT_EQ(init.initial_cov(0, 0), 4.0 + 4e-12);
}

// A plain Kalman filter written from the textbook recursions, without the steady-state switch.
double reference_loglike(const std::vector<double>& y, const StateSpace& ss, const KalmanInit& init) {
  Vector a = init.initial_state;
  Matrix P = init.initial_cov;
  const Matrix RQR = ss.selection * ss.state_cov * ss.selection.transpose();
  double ll = 0.0;
  for (std::size_t t = 0; t < y.size(); ++t) {
    const double v = y[t] - ss.design.dot(a);
    const double F = ss.design.dot(P * ss.design);
    const Vector K = P * ss.design / F;
    a = ss.transition * (a + K * v);
    P = ss.transition * (P - K * ss.design.transpose() * P) * ss.transition.transpose() + RQR;
    if (t >= init.n_diffuse) ll += -0.5 * (kLog2Pi + std::log(F) + v * v / F);
  }
  return ll;
}

TEST(KalmanCore, SteadyStateSwitchKeepsTheExactLikelihood) {
  const SarimaxConfig config = make_config({2, 0, 1, 0, 0, 0, 0});
  const std::vector<double> y = gaussian(3000, 11);
  const auto ss = StateSpace::build(config, make_params({0.5, -0.3}, {0.4}, 1.3), y.size(), nullptr).value();
  const KalmanInit init = KalmanInit::from_config_default(ss, config);
  const auto out = kalman_core(y, ss, init, false, true, nullptr).value();
  EXPECT_NEAR(out.loglike, reference_loglike(y, ss, init), 1e-9 * std::abs(out.loglike));
  EXPECT_EQ(out.residuals.size(), y.size());
  EXPECT_EQ(out.innovation_variances.size(), y.size());
  EXPECT_EQ(out.nobs, y.size());
}

TEST(KalmanCore, NotEnoughObservations) {
  const SarimaxConfig config = make_config({0, 0, 0, 0, 0, 0, 0}, Trend::None, false);
  const auto ss = StateSpace::build(config, make_params({}, {}, 1.0), 1, nullptr).value();
  const std::vector<double> one{1.0};
  auto r = kalman_core(one, ss, KalmanInit::approximate_diffuse(1), false, false, nullptr);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "data error: Not enough observations: n=1 <= burn=1");
  auto empty = kalman_core({}, ss, KalmanInit::approximate_diffuse(0), false, false, nullptr);
  EXPECT_EQ(empty.error().display(), "data error: Not enough observations: n=0 <= burn=0");
  // n = burn + 1 uses exactly one observation.
  const std::vector<double> two{1.0, 2.0};
  EXPECT_EQ(kalman_core(two, ss, KalmanInit::approximate_diffuse(1), false, false, nullptr)->nobs, 1u);
}

TEST(KalmanCore, ZeroVarianceStepsCountWithTheSubstituteVariance) {
  // sigma2 = 0 and a known zero start: every F_t is exactly 0, so each observation contributes
  // ln(1e10) and y^2 / 1e10 and the state never updates.
  const SarimaxConfig config = make_config({0, 0, 0, 0, 0, 0, 0});
  const std::vector<double> y{1.0, -2.0, 3.0};
  const auto ss = StateSpace::build(config, make_params({}, {}, 0.0), y.size(), nullptr).value();
  KalmanInit init;
  init.initial_state = Vector::Zero(1);
  init.initial_cov = Matrix::Zero(1, 1);
  init.n_diffuse = 0;
  const auto out = kalman_core(y, ss, init, false, true, nullptr).value();
  const double expected = -0.5 * 3 * kLog2Pi - 0.5 * 3 * std::log(1e10) - 0.5 * (1 + 4 + 9) / 1e10;
  EXPECT_DOUBLE_EQ(out.loglike, expected);
  EXPECT_EQ(out.innovation_variances, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(out.residuals, y);
}

TEST(KalmanCore, ConcentratedScaleIsTheMeanScaledSquare) {
  const SarimaxConfig config = make_config({0, 0, 0, 0, 0, 0, 0});
  const std::vector<double> y = gaussian(30, 3, 2.0);
  const auto ss = StateSpace::build(config, make_params({}, {}, 1.0), y.size(), nullptr).value();
  const auto out = kalman_core(y, ss, KalmanInit::from_config_default(ss, config), true, false, nullptr).value();
  double mean_sq = 0.0;
  for (double v : y) mean_sq += v * v / y.size();
  EXPECT_NEAR(out.scale, mean_sq, 1e-13 * mean_sq);
}

TEST(KalmanCore, OverflowingObservationIsADataError) {
  const SarimaxConfig config = make_config({0, 0, 0, 0, 0, 0, 0});
  const std::vector<double> y{1.0, 1e200, 2.0};
  const auto ss = StateSpace::build(config, make_params({}, {}, 1.0), y.size(), nullptr).value();
  auto r = kalman_core(y, ss, KalmanInit::from_config_default(ss, config), false, false, nullptr);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "non-finite Kalman statistics encountered (possible NaN/Inf in inputs)");
}

TEST(KalmanCore, SnapshotsRecordThePredictedDistribution) {
  const SarimaxConfig config = make_config({1, 0, 1, 0, 0, 0, 0}, Trend::Constant);
  const std::vector<double> y = gaussian(40, 5);
  const auto ss = StateSpace::build(config, make_params({0.5}, {0.2}, 1.0, {0.1}), y.size(), nullptr).value();
  const KalmanInit init = KalmanInit::from_config_default(ss, config);
  const std::vector<std::size_t> origins{0, 3, 3, 40};
  const auto [out, snaps] = kalman_filter_with_snapshots(y, ss, init, false, origins).value();
  ASSERT_EQ(snaps.size(), 4u);
  EXPECT_EQ(snaps[0].state, init.initial_state);
  EXPECT_EQ(snaps[0].cov, init.initial_cov);
  EXPECT_EQ(snaps[1].state, snaps[2].state);
  EXPECT_EQ(snaps[1].origin, 3u);
  EXPECT_EQ(snaps[3].state, out.predicted_state);
  EXPECT_EQ(snaps[3].cov, out.predicted_cov);

  for (const std::vector<std::size_t>& bad : {std::vector<std::size_t>{5, 3}, std::vector<std::size_t>{41}}) {
    auto r = kalman_filter_with_snapshots(y, ss, init, false, bad);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), SarimaxError::Kind::InvalidInput);
    const std::string list = bad.size() == 2 ? "[5, 3]" : "[41]";
    EXPECT_EQ(r.error().message(), "snapshot origins must be sorted ascending and <= n=40, got " + list);
  }
}

TEST(SimpleDifferencing, SeasonalThenRegular) {
  SarimaxConfig c = make_config({0, 1, 0, 0, 1, 0, 4});
  std::vector<double> y(12);
  for (std::size_t t = 0; t < y.size(); ++t) y[t] = static_cast<double>(t * t);
  // (1 - L)(1 - L^4) t^2 = 8 for every t.
  EXPECT_EQ(apply_differencing(y, c), std::vector<double>(7, 8.0));
  // A period as long as the series stops the seasonal step; the regular step still runs.
  EXPECT_EQ(apply_differencing(std::vector<double>{1, 4, 9}, make_config({0, 1, 0, 0, 1, 0, 3})),
            (std::vector<double>{3, 5}));

  c.simple_differencing = true;
  const Columns exog{std::vector<double>(10, 1.0)};
  auto r = prepare_endog(y, c, &exog);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(),
            "invalid input: exog column 0 has 5 rows after simple_differencing, but y has 7 observations");
}

}  // namespace
}  // namespace pelmora
