#include "initialization/initialization.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace pelmora {

namespace {

constexpr int kMaxDoublings = 100;
constexpr double kDoublingTolerance = 1e-14;
// Jitter ladder: 1e-12 of the diagonal scale, then ten times more at each of eight steps.
constexpr double kJitterBase = 1e-12;
constexpr int kJitterSteps = 8;

bool all_finite(const Matrix& m) { return m.allFinite(); }

}  // namespace

KalmanInit KalmanInit::approximate_diffuse(std::size_t k) {
  KalmanInit init;
  init.initial_state = Vector::Zero(k);
  init.initial_cov = Matrix::Identity(k, k) * kApproxDiffuseVariance;
  init.n_diffuse = k;
  return init;
}

bool cholesky_succeeds(const Matrix& P) {
  const Eigen::Index k = P.rows();
  Matrix L = Matrix::Zero(k, k);
  for (Eigen::Index j = 0; j < k; ++j) {
    double pivot = P(j, j);
    for (Eigen::Index m = 0; m < j; ++m) pivot -= L(j, m) * L(j, m);
    if (!(pivot > 0.0)) return false;
    const double root = std::sqrt(pivot);
    L(j, j) = root;
    for (Eigen::Index i = j + 1; i < k; ++i) {
      double sum = P(i, j);
      for (Eigen::Index m = 0; m < j; ++m) sum -= L(i, m) * L(j, m);
      L(i, j) = sum / root;
    }
  }
  return true;
}

namespace {

struct Entry {
  Eigen::Index row, col;
  double value;
};

// The nonzero entries of M (NaN included) when there are at most `limit` of them.
bool sparse_entries(const Matrix& M, std::size_t limit, std::vector<Entry>& out) {
  out.clear();
  for (Eigen::Index j = 0; j < M.cols(); ++j) {
    for (Eigen::Index i = 0; i < M.rows(); ++i) {
      const double v = M(i, j);
      if (v != 0.0 || std::isnan(v)) {
        if (out.size() == limit) return false;
        out.push_back({i, j, v});
      }
    }
  }
  return true;
}

// Whether A is exactly the shift that moves each state up by one (A(i, i+1) = 1, zeros elsewhere),
// the companion matrix of a pure moving-average model.
bool is_up_shift(const Matrix& A) {
  const Eigen::Index r = A.rows();
  for (Eigen::Index j = 0; j < r; ++j) {
    for (Eigen::Index i = 0; i < r; ++i) {
      if (A(i, j) != (j == i + 1 ? 1.0 : 0.0)) return false;
    }
  }
  return true;
}

}  // namespace

std::optional<Matrix> lyapunov_doubling(const Matrix& A, const Matrix& B) {
  if (A.rows() == 0) return Matrix(0, 0);
  if (is_up_shift(A)) {
    // A is nilpotent: P = sum_j A^j B A'^j, and (A X A')(i, l) = X(i+1, l+1), so each entry is
    // B's own plus the next one down its diagonal.
    const Eigen::Index r = A.rows();
    Matrix P = B;
    for (Eigen::Index d = r - 2; d >= 0; --d) {
      for (Eigen::Index i = d; i < r - 1; ++i) {
        P(i, d) += P(i + 1, d + 1);
        if (i != d) P(d, i) += P(d + 1, i + 1);
      }
    }
    if (!all_finite(P)) return std::nullopt;
    return P;
  }
  Matrix P = B;
  Matrix A_cur = A;
  Matrix P_new(P.rows(), P.cols());
  Matrix work(P.rows(), P.cols());
  // Companion matrices of moving-average models are shifts, and their powers stay as sparse (or
  // vanish): while A_cur has at most 2r nonzeros the products go through its entries.
  const std::size_t sparse_limit = 2 * static_cast<std::size_t>(A.rows());
  std::vector<Entry> entries;
  entries.reserve(sparse_limit);
  for (int iter = 0; iter < kMaxDoublings; ++iter) {
    if (sparse_entries(A_cur, sparse_limit, entries)) {
      work.setZero();  // P A'
      for (const Entry& e : entries) work.col(e.row) += e.value * P.col(e.col);
      P_new = P;  // P + A (P A')
      for (const Entry& e : entries) P_new.row(e.row) += e.value * work.row(e.col);
      work.setZero();  // A A
      for (const Entry& e : entries) work.row(e.row) += e.value * A_cur.row(e.col);
    } else {
      work.noalias() = A_cur * P;
      P_new.noalias() = work * A_cur.transpose();
      P_new += P;
      work.noalias() = A_cur * A_cur;
    }
    A_cur.swap(work);
    const double diff = (P_new - P).norm();
    const double norm = P.norm();
    const double tol = std::isnan(norm) ? kDoublingTolerance : kDoublingTolerance * std::max(norm, 1.0);
    if (tol > diff) {
      if (all_finite(P_new)) return P_new;
      return std::nullopt;
    }
    P.swap(P_new);
  }
  return std::nullopt;
}

std::optional<Matrix> solve_lyapunov_general(const Matrix& A, const Matrix& B) {
  auto P = lyapunov_doubling(A, B);
  if (!P) return std::nullopt;
  Matrix sym = (*P + P->transpose()) * 0.5;
  return sym;
}

KalmanInit KalmanInit::from_config_default(const StateSpace& ss, const SarimaxConfig& config) {
  const std::size_t k = ss.k_states;
  if (!config.enforce_stationarity) return approximate_diffuse(k);
  const Eigen::Index k_diff = static_cast<Eigen::Index>(ss.k_diff);
  const Eigen::Index r = static_cast<Eigen::Index>(k) - k_diff;

  const Matrix A = ss.transition.block(k_diff, k_diff, r, r);
  const Matrix R_b = ss.selection.block(k_diff, 0, r, 1);
  const Matrix B = R_b * ss.state_cov * R_b.transpose();
  auto solved = lyapunov_doubling(A, B);
  if (!solved) return approximate_diffuse(k);
  Matrix P = (*solved + solved->transpose()) * 0.5;

  if (!cholesky_succeeds(P)) {
    double scale = 1.0;
    for (Eigen::Index i = 0; i < r; ++i) {
      const double v = std::abs(P(i, i));
      if (!std::isnan(v)) scale = std::max(scale, v);
    }
    double jitter = kJitterBase * scale;
    bool factorised = false;
    for (int step = 0; step < kJitterSteps && !factorised; ++step, jitter *= 10.0) {
      P.diagonal().array() += jitter;
      factorised = cholesky_succeeds(P);
    }
    if (!factorised) return approximate_diffuse(k);
  }

  // The stationary mean of the ARMA block under the first period's intercept:
  // a0 = (I - A)^{-1} c0. A stationary A has no unit eigenvalue, so I - A is invertible.
  Vector a0 = Vector::Zero(static_cast<Eigen::Index>(k));
  if (ss.state_intercept.size() >= k) {
    const Vector c0 = Eigen::Map<const Vector>(ss.state_intercept.data() + k_diff, r);
    if (!c0.isZero(0.0)) {
      const Matrix I_minus_A = Matrix::Identity(r, r) - A;
      const Vector mean = I_minus_A.fullPivLu().solve(c0);
      if (!mean.allFinite()) return approximate_diffuse(k);
      a0.segment(k_diff, r) = mean;
    }
  }

  KalmanInit init;
  init.initial_state = std::move(a0);
  init.initial_cov = Matrix::Zero(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k));
  for (Eigen::Index i = 0; i < k_diff; ++i) init.initial_cov(i, i) = kApproxDiffuseVariance;
  init.initial_cov.block(k_diff, k_diff, r, r) = P;
  init.n_diffuse = ss.k_diff;
  init.stationary_block = std::make_pair(ss.k_diff, static_cast<std::size_t>(r));
  return init;
}

}  // namespace pelmora
