// The chain ordering of copy rows, the sliding covariance against the textbook recursion, and the
// filter through it against the dense filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "initialization/initialization.hpp"
#include "kalman/kalman.hpp"
#include "kalman/sliding_covariance.hpp"
#include "state_space/state_space.hpp"
#include "test_data.hpp"

namespace pelmora {
namespace {

StateSpace model(SarimaxOrder order, std::size_t n, Trend trend = Trend::None) {
  SarimaxConfig config;
  config.order = order;
  config.trend = trend;
  SarimaxParams params;
  params.ar.assign(order.p, 0.3);
  params.ma.assign(order.q, -0.4);
  params.seasonal_ar.assign(order.P, 0.5);
  params.seasonal_ma.assign(order.Q, -0.6);
  params.sigma2 = 0.7;
  if (trend == Trend::Constant) params.trend = {0.2};
  return StateSpace::build(config, params, n, nullptr).value();
}

const std::vector<SarimaxOrder> kOrders = {
    SarimaxOrder{0, 1, 1, 0, 1, 1, 12},   // airline: two opposite shift chains, MA only
    SarimaxOrder{2, 1, 1, 1, 0, 1, 4},    // AR coefficients break the ARMA chain into pieces
    SarimaxOrder{3, 2, 0, 0, 0, 0, 0},    // two differencing rows, a full companion
    SarimaxOrder{1, 0, 1, 1, 1, 1, 52},   // a long seasonal chain
};

// Equal within `tol` times the largest entry of b (at least 1), entry by entry.
void expect_close(const Matrix& a, const Matrix& b, double tol) {
  ASSERT_EQ(a.rows(), b.rows());
  ASSERT_EQ(a.cols(), b.cols());
  const double scale = std::max(1.0, b.cwiseAbs().maxCoeff());
  for (Eigen::Index i = 0; i < a.size(); ++i) EXPECT_NEAR(a.data()[i], b.data()[i], tol * scale) << i;
}

TEST(ChainOrder, EveryCopyRowFollowsItsSource) {
  for (const SarimaxOrder& order : kOrders) {
    const StateSpace ss = model(order, 1);
    const std::size_t k = ss.k_states;
    const auto chain = ChainOrder::find(SparseT::from_dense(ss.transition, k));
    ASSERT_TRUE(chain.has_value());
    std::vector<std::size_t> sorted = chain->position;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < k; ++i) EXPECT_EQ(sorted[i], i);  // a permutation
    for (std::size_t i = 0; i < k; ++i) {
      // A copy row: one entry, equal to 1.
      std::size_t count = 0, source = k;
      for (std::size_t j = 0; j < k; ++j) {
        const double v = ss.transition(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j));
        if (v != 0.0) {
          ++count;
          source = j;
        }
      }
      const bool copy = count == 1 && ss.transition(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(source)) == 1.0;
      EXPECT_EQ(chain->copies_previous[chain->position[i]] == 1, copy) << i;
      if (copy) {
        EXPECT_EQ(chain->position[i], chain->position[source] + 1) << i;
      }
    }
  }
}

TEST(ChainOrder, RefusedForASharedSourceOrACycle) {
  Matrix shared = Matrix::Zero(3, 3);
  shared(0, 0) = 0.5;
  shared(1, 0) = 1.0;
  shared(2, 0) = 1.0;  // state 0 copied into rows 1 and 2
  EXPECT_FALSE(ChainOrder::find(SparseT::from_dense(shared, 3)).has_value());
  Matrix cycle = Matrix::Zero(3, 3);
  cycle(0, 2) = 1.0;
  cycle(1, 0) = 1.0;
  cycle(2, 1) = 1.0;  // every row a copy: no head to start a chain
  EXPECT_FALSE(ChainOrder::find(SparseT::from_dense(cycle, 3)).has_value());
  Matrix fine = cycle;
  fine(0, 2) = 0.9;  // row 0 is no longer a copy
  EXPECT_TRUE(ChainOrder::find(SparseT::from_dense(fine, 3)).has_value());
}

TEST(SlidingCovariance, FollowsTheCovarianceRecursion) {
  // P <- T (P - s PZ PZ') T' + RQR' by dense products in the original order and in long double,
  // against the sliding form, for 80 steps (the buffer is moved back several times), with the
  // update skipped on some steps; P Z, T x and the separate downdate are checked on the way.
  // (The same recursion in double drifts away from both on the twice-differenced model: its
  // rounding loses symmetry, and the unit roots amplify that.)
  using LongMatrix = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;
  using LongVector = Eigen::Matrix<long double, Eigen::Dynamic, 1>;
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (const SarimaxOrder& order : kOrders) {
    const StateSpace ss = model(order, 1);
    const std::size_t k = ss.k_states;
    const Eigen::Index kk = static_cast<Eigen::Index>(k);
    const SparseT Ts = SparseT::from_dense(ss.transition, k);
    const auto chain = ChainOrder::find(Ts).value();
    const SparseZ Zs = chain.permute(SparseZ::from_dense(ss.design, k));
    const LongMatrix T = ss.transition.cast<long double>();
    const LongMatrix RQR = (ss.selection * ss.state_cov * ss.selection.transpose()).cast<long double>();
    const LongVector Z = ss.design.cast<long double>();
    const Matrix B = Matrix::NullaryExpr(kk, kk, [&] { return u(rng); });
    const Matrix P0 = B * B.transpose() + Matrix::Identity(kk, kk);
    const double scale = P0.norm();
    LongMatrix P = P0.cast<long double>();
    SlidingCovariance cov(chain.permute(Ts), Zs, chain, ss.selection, ss.state_cov, P0);
    Vector PZ(kk), restored(kk);
    Matrix got_original;
    for (int step = 0; step < 80; ++step) {
      const LongVector expected_pz = P * Z;
      const double F = cov.pz_and_f(Zs, PZ);
      chain.restore(PZ, restored);
      ASSERT_LT((restored.cast<long double>() - expected_pz).norm(), 1e-13L * scale) << step;
      EXPECT_NEAR(F, static_cast<double>(Z.dot(expected_pz)), 1e-13 * scale);
      // Each side divides by its own F: the update is only self-correcting when s = 1 / (Z' P Z).
      const bool skip = step % 5 == 3;
      const long double s_expected = skip ? 0.0L : 1.0L / Z.dot(expected_pz);
      P = T * (P - s_expected * expected_pz * expected_pz.transpose()) * T.transpose() + RQR;
      cov.predict(PZ, skip ? 0.0 : 1.0 / F);
      cov.copy_to(got_original, &chain);
      expect_close(got_original, P.cast<double>(), 1e-13 * scale);
    }
    const Vector x = Vector::NullaryExpr(kk, [&] { return u(rng); });
    const Vector tx_expected = ss.transition * x;
    Vector tx(kk);
    cov.apply_transition(chain.permute(x), tx);
    chain.restore(tx, restored);
    EXPECT_LT((restored - tx_expected).norm(), 1e-14 * (1 + tx_expected.norm()));

    cov.pz_and_f(Zs, PZ);
    const LongVector pz = P * Z;
    cov.downdate(PZ, 0.25);
    cov.copy_to(got_original, &chain);
    expect_close(got_original, (P - 0.25L * pz * pz.transpose()).cast<double>(), 1e-13 * scale);
  }
}

TEST(KalmanCore, SlidingAndDenseFiltersAgree) {
  // The whole filter through the chain order against the dense one, per-step results and
  // snapshots included (they come back in the original state order), with a trend intercept.
  const std::vector<double> y = testing::log_airline();
  for (const SarimaxOrder& order : {SarimaxOrder{0, 1, 1, 0, 1, 1, 12}, SarimaxOrder{2, 1, 1, 1, 0, 1, 4}}) {
    const StateSpace ss = model(order, y.size(), Trend::Constant);
    SarimaxConfig config;
    config.order = order;
    config.trend = Trend::Constant;
    const KalmanInit init = KalmanInit::from_config_default(ss, config);
    SnapshotRequest dense_snaps{{0, 20, 144}, {}}, sliding_snaps{{0, 20, 144}, {}};
    const auto dense = kalman_core(y, ss, init, false, true, &dense_snaps, KalmanStrategy::Kind::Dense).value();
    const auto sliding = kalman_core(y, ss, init, false, true, &sliding_snaps, KalmanStrategy::Kind::Sparse).value();
    EXPECT_NEAR(sliding.loglike, dense.loglike, 1e-9 * std::abs(dense.loglike));
    ASSERT_EQ(sliding.residuals.size(), y.size());
    for (std::size_t t = 0; t < y.size(); ++t) {
      EXPECT_NEAR(sliding.residuals[t], dense.residuals[t], 1e-8) << t;
      EXPECT_NEAR(sliding.innovation_variances[t], dense.innovation_variances[t],
                  1e-9 * dense.innovation_variances[t]) << t;
    }
    expect_close(sliding.filtered_cov, dense.filtered_cov, 1e-9);
    expect_close(sliding.predicted_cov, dense.predicted_cov, 1e-9);
    EXPECT_LT((sliding.filtered_state - dense.filtered_state).norm(), 1e-8 * (1 + dense.filtered_state.norm()));
    EXPECT_LT((sliding.predicted_state - dense.predicted_state).norm(), 1e-8 * (1 + dense.predicted_state.norm()));
    ASSERT_EQ(sliding_snaps.snapshots.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(sliding_snaps.snapshots[i].origin, dense_snaps.snapshots[i].origin);
      expect_close(sliding_snaps.snapshots[i].cov, dense_snaps.snapshots[i].cov, 1e-9);
      EXPECT_LT((sliding_snaps.snapshots[i].state - dense_snaps.snapshots[i].state).norm(),
                1e-8 * (1 + dense_snaps.snapshots[i].state.norm()));
    }
    EXPECT_EQ(sliding_snaps.snapshots[0].cov, init.initial_cov);
  }
}

TEST(KalmanCore, InfiniteStateVarianceAsInTheDenseFilter) {
  // R Q R' with Q = Inf has NaN where R is zero (0 * Inf), in the dense product; the sliding
  // path must see the same matrix, so both filters end alike.
  const std::vector<double> y = testing::log_airline();
  for (const SarimaxOrder& order : {SarimaxOrder{0, 1, 1, 0, 0, 0, 0}, SarimaxOrder{0, 1, 1, 0, 1, 1, 12}}) {
    StateSpace ss = model(order, y.size());
    ss.state_cov(0, 0) = std::numeric_limits<double>::infinity();
    SarimaxConfig config;
    config.order = order;
    const KalmanInit init = KalmanInit::from_config_default(model(order, y.size()), config);
    const auto dense = kalman_core(y, ss, init, true, false, nullptr, KalmanStrategy::Kind::Dense);
    const auto sliding = kalman_core(y, ss, init, true, false, nullptr, KalmanStrategy::Kind::Sparse);
    ASSERT_EQ(dense.has_value(), sliding.has_value());
    if (dense) {
      EXPECT_NEAR(sliding->loglike, dense->loglike, 1e-9 * std::abs(dense->loglike));
    }
  }
}

TEST(KalmanCore, SkippedUpdateKeepsPZOutOfThePrediction) {
  // x0' = 0.5 x1 + eta, x1' = x0, x2' = x1; y = x1 + x2. P0 = I but for cov(x1, x2) = NaN, so
  // F_0 is NaN and the first update is skipped; no entry of T P0 T' reads the NaN, so none may
  // reach P_1. A fourth state x3' = x0, never observed, feeds a second copy of x0: with it no
  // chain order exists and the other sparse predictor runs, to the same values.
  for (const std::size_t k : {3, 4}) {
    const Eigen::Index kk = static_cast<Eigen::Index>(k);
    StateSpace ss;
    ss.k_states = k;
    ss.transition = Matrix::Zero(kk, kk);
    ss.transition(0, 1) = 0.5;
    ss.transition(1, 0) = 1.0;
    ss.transition(2, 1) = 1.0;
    if (k == 4) ss.transition(3, 0) = 1.0;
    ss.design = Vector::Zero(kk);
    ss.design(1) = ss.design(2) = 1.0;
    ss.selection = Matrix::Zero(kk, 1);
    ss.selection(0, 0) = 1.0;
    ss.state_cov = Matrix::Identity(1, 1);
    KalmanInit init;
    init.initial_state = Vector::Zero(kk);
    init.initial_cov = Matrix::Identity(kk, kk);
    init.initial_cov(1, 2) = init.initial_cov(2, 1) = std::nan("");
    init.n_diffuse = 0;
    EXPECT_EQ(ChainOrder::find(SparseT::from_dense(ss.transition, k)).has_value(), k == 3);

    // By hand, P_1 = T P0 T' + RQR' on the observed block.
    Matrix P1(3, 3);
    P1 << 1.25, 0.0, 0.5, 0.0, 1.0, 0.0, 0.5, 0.0, 1.0;
    const std::vector<double> y1{1.0};
    const auto one = kalman_core(y1, ss, init, false, true, nullptr, KalmanStrategy::Kind::Sparse).value();
    EXPECT_TRUE(std::isnan(one.innovation_variances[0]));
    EXPECT_EQ(Matrix(one.predicted_cov.topLeftCorner(3, 3)), P1) << k;

    // Then F_1 = 2 with v_1 = 2, and F_2 = 1.125 with v_2 = 1.5; the skipped step counts with
    // the substitute variance 1e10.
    const std::vector<double> y{1.0, 2.0, 3.0};
    const double expected =
        -1.5 * kLog2Pi - 0.5 * (std::log(1e10) + 1.0 / 1e10 + std::log(2.0) + 2.0 + std::log(1.125) + 2.0);
    for (const bool keep : {false, true}) {
      const auto out = kalman_core(y, ss, init, false, keep, nullptr, KalmanStrategy::Kind::Sparse);
      ASSERT_TRUE(out.has_value()) << k << keep << ": " << out.error().message();
      EXPECT_NEAR(out->loglike, expected, 1e-12 * std::abs(expected)) << k << keep;
    }
  }
}

}  // namespace
}  // namespace pelmora
