// Dense and sparse products agree, the choice follows the nonzero count, and the filter's
// per-step loop allocates nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <vector>

#include "initialization/initialization.hpp"
#include "kalman/kalman.hpp"
#include "kalman/strategy.hpp"
#include "state_space/state_space.hpp"

// Counts heap allocations while enabled; everything else goes straight to glibc.
extern "C" void* __libc_malloc(std::size_t size);
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace
extern "C" void* malloc(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

namespace pelmora {
namespace {

Matrix sparse_random(std::size_t k, double density, std::mt19937_64& rng, bool with_nan) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::bernoulli_distribution keep(density);
  Matrix M = Matrix::Zero(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k));
  for (Eigen::Index i = 0; i < M.rows(); ++i)
    for (Eigen::Index j = 0; j < M.cols(); ++j)
      if (keep(rng)) M(i, j) = u(rng);
  // Every row keeps an entry: a NaN that reaches a row of T without entries is multiplied by
  // zero in the dense product only, the one place where the two ways can differ.
  for (Eigen::Index i = 0; i < M.rows(); ++i) M(i, (i + 1) % M.cols()) = u(rng);
  if (with_nan) M(0, static_cast<Eigen::Index>(k) - 1) = std::nan("");
  M(1, 1) = -0.0;  // must count as zero
  return M;
}

// Equal to rounding, with NaN in the same places.
void expect_same(const Matrix& a, const Matrix& b) {
  ASSERT_EQ(a.rows(), b.rows());
  ASSERT_EQ(a.cols(), b.cols());
  for (Eigen::Index i = 0; i < a.size(); ++i) {
    const double x = a.data()[i], y = b.data()[i];
    if (std::isnan(x) || std::isnan(y)) {
      EXPECT_TRUE(std::isnan(x) && std::isnan(y)) << i;
    } else {
      EXPECT_NEAR(x, y, 1e-12 * (1 + std::abs(x))) << i;
    }
  }
}

TEST(KalmanStrategy, DenseAndSparseProductsAgree) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (bool with_nan : {false, true}) {
    for (std::size_t k : {3u, 8u, 27u}) {
      const Matrix T = sparse_random(k, 0.2, rng, with_nan);
      const Eigen::Index kk = static_cast<Eigen::Index>(k);
      Vector Z = Vector::Zero(kk);
      Z[0] = 1.0;
      Z[kk - 1] = 0.5;
      Z[1] = -0.0;
      if (with_nan) Z[2] = std::nan("");
      Matrix B = Matrix::NullaryExpr(kk, kk, [&] { return u(rng); });
      const Matrix P0 = B * B.transpose();
      const Matrix RQR = Matrix::Identity(kk, kk) * 0.3;
      const Vector a = Vector::NullaryExpr(kk, [&] { return u(rng); });
      std::vector<double> c(3 * k);
      for (double& x : c) x = u(rng);

      const SparseT Ts = SparseT::from_dense(T, k);
      const SparseZ Zs = SparseZ::from_dense(Z, k);
      const KalmanStrategy dense{KalmanStrategy::Kind::Dense}, sparse{KalmanStrategy::Kind::Sparse};
      Vector pz_d(kk), pz_s(kk), an_d(kk), an_s(kk);
      const double f_d = dense.compute_pz_and_f(P0, Z, Zs, pz_d);
      const double f_s = sparse.compute_pz_and_f(P0, Z, Zs, pz_s);
      if (with_nan) {
        EXPECT_TRUE(std::isnan(f_d) && std::isnan(f_s));
      } else {
        EXPECT_NEAR(f_d, f_s, 1e-12 * std::abs(f_d));
      }
      expect_same(pz_d, pz_s);
      dense.predict_state(T, Ts, a, an_d, c, 2, k, true);
      sparse.predict_state(T, Ts, a, an_s, c, 2, k, true);
      expect_same(an_d, an_s);
      Matrix P_d = P0, P_s = P0, W(kk, kk);
      dense.predict_cov(T, T.transpose(), Ts, P_d, RQR, W);
      sparse.predict_cov(T, T.transpose(), Ts, P_s, RQR, W);
      expect_same(P_d, P_s);
    }
  }
}

TEST(CovariancePredictor, MatchesTheDirectFormula) {
  // T (P - s PZ PZ') T' + RQR' for symmetric P, on transitions of real models (shift rows,
  // companion columns, differencing rows) and on a random sparse one.
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Matrix> transitions;
  for (const SarimaxOrder order : {SarimaxOrder{0, 1, 1, 0, 1, 1, 12}, SarimaxOrder{2, 1, 1, 1, 0, 1, 4},
                                   SarimaxOrder{3, 2, 0, 0, 0, 0, 0}}) {
    SarimaxConfig config;
    config.order = order;
    SarimaxParams params;
    params.ar.assign(order.p, 0.3);
    params.ma.assign(order.q, -0.4);
    params.seasonal_ar.assign(order.P, 0.5);
    params.seasonal_ma.assign(order.Q, -0.6);
    params.sigma2 = 1.0;
    transitions.push_back(StateSpace::build(config, params, 1, nullptr).value().transition);
  }
  transitions.push_back(sparse_random(20, 0.1, rng, false));
  for (const Matrix& T : transitions) {
    const std::size_t k = static_cast<std::size_t>(T.rows());
    const Eigen::Index kk = T.rows();
    const Matrix B = Matrix::NullaryExpr(kk, kk, [&] { return u(rng); });
    const Matrix BBt = B * B.transpose();
    const Matrix P0 = (BBt + BBt.transpose()) * 0.5;  // exactly symmetric, as the filter keeps it
    const Vector r = Vector::NullaryExpr(kk, [&] { return u(rng); });
    const Matrix RQR = r * r.transpose();
    const Vector PZ = P0.col(0);
    for (double s : {0.0, 1.0 / P0(0, 0)}) {
      const Matrix expected = T * (P0 - s * PZ * PZ.transpose()) * T.transpose() + RQR;
      for (auto kind : {KalmanStrategy::Kind::Dense, KalmanStrategy::Kind::Sparse}) {
        const SparseT Ts = SparseT::from_dense(T, k);
        CovariancePredictor predictor(T, Ts, RQR, KalmanStrategy{kind});
        Matrix P = P0;
        predictor.run(P, PZ, s);
        expect_same(P, expected);
        if (kind == KalmanStrategy::Kind::Sparse) {
          EXPECT_EQ(P, P.transpose());
        }
      }
    }
  }
}

TEST(KalmanStrategy, ChoiceByNonzeroCount) {
  EXPECT_EQ(KalmanStrategy::choose(SparseT::from_dense(Matrix::Zero(1, 1), 1)).kind, KalmanStrategy::Kind::Dense);
  Matrix companion(2, 2);
  companion << 0.5, 1, 0, 0;
  EXPECT_EQ(SparseT::from_dense(companion, 2).entries.size(), 2u);
  EXPECT_EQ(KalmanStrategy::choose(SparseT::from_dense(companion, 2)).kind, KalmanStrategy::Kind::Dense);
  companion(0, 0) = 0.0;
  EXPECT_EQ(KalmanStrategy::choose(SparseT::from_dense(companion, 2)).kind, KalmanStrategy::Kind::Sparse);
  companion(0, 0) = std::nan("");
  EXPECT_EQ(SparseT::from_dense(companion, 2).entries.size(), 2u);
  Vector Z(3);
  Z << 1.0, -0.0, std::nan("");
  const SparseZ zs = SparseZ::from_dense(Z, 3);
  ASSERT_EQ(zs.entries.size(), 2u);
  EXPECT_EQ(zs.entries[1].index, 2u);
}

long allocations_of_filter(std::size_t n, const SarimaxConfig& config, const SarimaxParams& params,
                           std::optional<KalmanStrategy::Kind> force = std::nullopt) {
  std::vector<double> y(n);
  std::mt19937_64 rng(1);
  std::normal_distribution<double> normal;
  for (double& v : y) v = normal(rng);
  const auto ss = StateSpace::build(config, params, n, nullptr).value();
  const KalmanInit init = KalmanInit::from_config_default(ss, config);
  g_allocations = 0;
  g_counting = true;
  auto out = kalman_core(y, ss, init, false, false, nullptr, force);
  g_counting = false;
  EXPECT_TRUE(out.has_value());
  return g_allocations.load();
}

TEST(KalmanCore, PerStepLoopAllocatesNothing) {
  // The count of allocations of a whole call must not grow with the series length, for a
  // dense (AR(1)) and a sparse (seasonal) transition, with and without the steady state.
  SarimaxConfig seasonal;
  seasonal.order = SarimaxOrder{1, 1, 1, 0, 1, 1, 12};
  SarimaxParams sp;
  sp.ar = {0.3};
  sp.ma = {-0.4};
  sp.seasonal_ma = {-0.6};
  sp.sigma2 = 1.0;
  EXPECT_EQ(allocations_of_filter(60, seasonal, sp), allocations_of_filter(600, seasonal, sp));
  SarimaxConfig ar1;
  ar1.order = SarimaxOrder{1, 0, 0, 0, 0, 0, 0};
  SarimaxParams ap;
  ap.ar = {0.5};
  ap.sigma2 = 1.0;
  EXPECT_EQ(allocations_of_filter(20, ar1, ap), allocations_of_filter(2000, ar1, ap));
  EXPECT_GT(allocations_of_filter(20, ar1, ap), 0);  // the counter does count
  // Dense products on a large state (forced), kept out of the steady state by a diffuse start.
  SarimaxConfig big;
  big.order = SarimaxOrder{1, 0, 0, 1, 0, 0, 60};
  big.enforce_stationarity = false;
  SarimaxParams bp;
  bp.ar = {0.5};
  bp.seasonal_ar = {0.3};
  bp.sigma2 = 1.0;
  EXPECT_EQ(allocations_of_filter(100, big, bp, KalmanStrategy::Kind::Dense),
            allocations_of_filter(200, big, bp, KalmanStrategy::Kind::Dense));
  // And the sliding sparse path on it, long enough to move its buffer back several times.
  EXPECT_EQ(allocations_of_filter(100, big, bp, KalmanStrategy::Kind::Sparse),
            allocations_of_filter(400, big, bp, KalmanStrategy::Kind::Sparse));
}

}  // namespace
}  // namespace pelmora
