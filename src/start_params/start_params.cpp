#include "start_params/start_params.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace pelmora {

namespace {

// Singular values at or below this are treated as zero (an absolute threshold).
constexpr double kSingularThreshold = 1e-12;
// Innovation variances are floored here.
constexpr double kVarianceFloor = 1e-6;
// A block with any coefficient beyond this magnitude starts at zero.
constexpr double kBlockLimit = 0.99;

double population_variance(std::span<const double> x) {
  if (x.empty()) return 0.0;
  double mean = 0.0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(x.size());
  double ss = 0.0;
  for (double v : x) ss += (v - mean) * (v - mean);
  return ss / static_cast<double>(x.size());
}

// x = V diag(1/sigma) U' y over the singular values above the threshold.
std::optional<Vector> pinv_solve(const Matrix& A, const Vector& y) {
  Eigen::JacobiSVD<Matrix> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
  const Vector& sv = svd.singularValues();
  Vector uty = svd.matrixU().transpose() * y;
  for (Eigen::Index i = 0; i < sv.size(); ++i) uty[i] = sv[i] > kSingularThreshold ? uty[i] / sv[i] : 0.0;
  Vector x = svd.matrixV() * uty;
  return x;
}

bool block_too_close_to_unit_circle(const std::vector<double>& block) {
  for (double v : block) {
    if (std::abs(v) > kBlockLimit) return true;
  }
  return false;
}

std::vector<std::size_t> lags(std::size_t count, std::size_t step) {
  std::vector<std::size_t> out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = (i + 1) * step;
  return out;
}

}  // namespace

std::vector<double> difference(std::span<const double> x, std::size_t d) {
  std::vector<double> out(x.begin(), x.end());
  for (std::size_t pass = 0; pass < d; ++pass) {
    if (out.size() < 2) return {};
    for (std::size_t t = 0; t + 1 < out.size(); ++t) out[t] = out[t + 1] - out[t];
    out.pop_back();
  }
  return out;
}

std::vector<double> seasonal_difference(std::span<const double> x, std::size_t D, std::size_t s) {
  std::vector<double> out(x.begin(), x.end());
  if (s == 0) return out;
  for (std::size_t pass = 0; pass < D; ++pass) {
    if (s >= out.size()) return {};
    std::vector<double> next(out.size() - s);
    for (std::size_t t = s; t < out.size(); ++t) next[t - s] = out[t] - out[t - s];
    out.swap(next);
  }
  return out;
}

std::vector<double> ar_residuals(std::span<const double> x, std::span<const double> phi) {
  const std::size_t p = phi.size();
  if (p == 0) return std::vector<double>(x.begin(), x.end());
  if (p >= x.size()) return {};
  std::vector<double> out;
  out.reserve(x.size() - p);
  for (std::size_t t = p; t < x.size(); ++t) {
    double v = x[t];
    for (std::size_t i = 1; i <= p; ++i) v -= phi[i - 1] * x[t - i];
    out.push_back(v);
  }
  return out;
}

std::vector<double> seasonal_ar_residuals(std::span<const double> x, std::span<const double> Phi, std::size_t s) {
  const std::size_t P = Phi.size();
  if (P * s >= x.size()) return {};
  std::vector<double> out;
  out.reserve(x.size() - P * s);
  for (std::size_t t = P * s; t < x.size(); ++t) {
    double v = x[t];
    for (std::size_t j = 1; j <= P; ++j) v -= Phi[j - 1] * x[t - j * s];
    out.push_back(v);
  }
  return out;
}

std::optional<std::vector<double>> ols_pinv(const Columns& columns, std::span<const double> y) {
  const std::size_t m = columns.size();
  if (m == 0 || y.empty()) return std::vector<double>(m, 0.0);
  std::size_t rows = y.size();
  for (const auto& c : columns) rows = std::min(rows, c.size());
  if (rows < m) return std::nullopt;
  Matrix A(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(m));
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t i = 0; i < rows; ++i) A(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = columns[j][i];
  const Vector target = Eigen::Map<const Vector>(y.data(), static_cast<Eigen::Index>(rows));
  auto x = pinv_solve(A, target);
  if (!x) return std::nullopt;
  return std::vector<double>(x->data(), x->data() + x->size());
}

std::optional<TwoStageEstimate> css_two_stage(std::span<const double> y, std::span<const std::size_t> ar_lags,
                                              std::span<const std::size_t> ma_lags) {
  const std::size_t N = y.size();
  const std::size_t nar = ar_lags.size(), nma = ma_lags.size();
  const std::size_t max_ma = nma ? ma_lags.back() : 0;
  const std::size_t max_ar = nar ? ar_lags.back() : 0;
  const std::size_t m = 2 * max_ma;
  const std::size_t start = std::max(3 * max_ma, max_ar);
  std::vector<double> eps(N, 0.0);

  // Long autoregression for the innovations.
  if (nma > 0 && m > 0) {
    if (N <= m + 2) return std::nullopt;
    Columns cols(m, std::vector<double>(N - m));
    for (std::size_t j = 1; j <= m; ++j)
      for (std::size_t t = m; t < N; ++t) cols[j - 1][t - m] = y[t - j];
    auto a = ols_pinv(cols, y.subspan(m));
    if (!a) return std::nullopt;
    for (std::size_t t = m; t < N; ++t) {
      double v = y[t];
      for (std::size_t j = 1; j <= m; ++j) v -= (*a)[j - 1] * y[t - j];
      eps[t] = v;
    }
  }

  if (N <= start + 2) return std::nullopt;
  const std::size_t M = N - start;
  Columns cols;
  cols.reserve(nar + nma);
  auto lagged = [&](const std::vector<double>& src, std::size_t L) {
    std::vector<double> c(M, 0.0);
    for (std::size_t t = start; t < N; ++t) c[t - start] = t >= L ? src[t - L] : 0.0;
    return c;
  };
  const std::vector<double> ys(y.begin(), y.end());
  for (std::size_t L : ar_lags) cols.push_back(lagged(ys, L));
  for (std::size_t L : ma_lags) cols.push_back(lagged(eps, L));
  const auto target = y.subspan(start);
  auto beta = ols_pinv(cols, target);
  if (!beta) return std::nullopt;

  TwoStageEstimate out;
  out.ar.assign(beta->begin(), beta->begin() + static_cast<std::ptrdiff_t>(nar));
  out.ma.assign(beta->begin() + static_cast<std::ptrdiff_t>(nar), beta->end());
  std::vector<double> resid(M);
  for (std::size_t i = 0; i < M; ++i) {
    double fitted = 0.0;
    for (std::size_t j = 0; j < cols.size(); ++j) fitted += (*beta)[j] * cols[j][i];
    resid[i] = target[i] - fitted;
  }
  double sigma2;
  if (M > nma) {
    double ss = 0.0;
    for (std::size_t i = nma; i < M; ++i) ss += resid[i] * resid[i];
    sigma2 = ss / static_cast<double>(M - nma);
  } else {
    sigma2 = population_variance(resid);
  }
  out.sigma2 = std::max(sigma2, kVarianceFloor);
  return out;
}

Columns difference_exog_cols(const Columns& columns, std::size_t d, std::size_t D, std::size_t s) {
  Columns out;
  out.reserve(columns.size());
  for (const auto& c : columns) out.push_back(seasonal_difference(difference(c, d), D, s));
  return out;
}

Result<std::vector<double>> compute_start_params(std::span<const double> endog, const SarimaxConfig& config,
                                                 const Columns* exog) {
  const SarimaxOrder& o = config.order;
  const std::size_t n = endog.size();
  const std::size_t k = config.n_params();
  std::vector<double> w = seasonal_difference(difference(endog, o.d), o.D, o.s);
  const std::size_t W = w.size();
  if (W < 3) return std::vector<double>(k, 0.0);

  std::vector<double> result;
  result.reserve(k);

  if (config.k_trend() > 0) {
    Columns cols;
    const std::vector<double> ones(W, 1.0);
    std::vector<double> time(W);
    for (std::size_t t = 0; t < W; ++t) time[t] = static_cast<double>(n - W + t);
    if (config.trend == Trend::Constant || config.trend == Trend::ConstantLinear) cols.push_back(ones);
    if (config.trend == Trend::Linear || config.trend == Trend::ConstantLinear) cols.push_back(time);
    const std::vector<double> b = ols_pinv(cols, w).value_or(std::vector<double>(cols.size(), 0.0));
    result.insert(result.end(), b.begin(), b.end());
    for (std::size_t t = 0; t < W; ++t)
      for (std::size_t j = 0; j < cols.size(); ++j) w[t] -= b[j] * cols[j][t];
  }

  if (config.n_exog > 0) {
    if (exog == nullptr) {
      result.insert(result.end(), config.n_exog, 0.0);
    } else {
      const Columns diffed = difference_exog_cols(*exog, o.d, o.D, o.s);
      std::size_t rows = W;
      for (const auto& c : diffed) rows = std::min(rows, c.size());
      std::vector<double> b(diffed.size(), 0.0);
      if (rows > 0 && !diffed.empty()) {
        // No rows-versus-columns check here: a wide system gets its minimum-norm solution.
        Matrix A(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(diffed.size()));
        for (std::size_t j = 0; j < diffed.size(); ++j)
          for (std::size_t i = 0; i < rows; ++i) A(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = diffed[j][i];
        const Vector target = Eigen::Map<const Vector>(w.data(), static_cast<Eigen::Index>(rows));
        if (auto x = pinv_solve(A, target)) b.assign(x->data(), x->data() + x->size());
        for (std::size_t t = 0; t < rows; ++t)
          for (std::size_t j = 0; j < diffed.size(); ++j) w[t] -= b[j] * diffed[j][t];
      }
      result.insert(result.end(), b.begin(), b.end());
    }
  }

  std::vector<double> ar(o.p, 0.0), ma(o.q, 0.0), sar(o.P, 0.0), sma(o.Q, 0.0);
  std::optional<double> candidate;
  if (o.p > 0 || o.q > 0) {
    if (auto est = css_two_stage(w, lags(o.p, 1), lags(o.q, 1))) {
      ar = std::move(est->ar);
      ma = std::move(est->ma);
      candidate = est->sigma2;
    }
  }
  if ((o.P > 0 || o.Q > 0) && o.s > 0) {
    if (auto est = css_two_stage(w, lags(o.P, o.s), lags(o.Q, o.s))) {
      sar = std::move(est->ar);
      sma = std::move(est->ma);
      if (!candidate) candidate = est->sigma2;
    }
  }
  for (auto* block : {&ar, &ma, &sar, &sma}) {
    if (block_too_close_to_unit_circle(*block)) std::fill(block->begin(), block->end(), 0.0);
    result.insert(result.end(), block->begin(), block->end());
  }

  if (!config.concentrate_scale) {
    if (candidate) {
      result.push_back(*candidate);
    } else {
      std::vector<double> e = ar_residuals(w, ar);
      if (o.P > 0 && o.s > 0) e = seasonal_ar_residuals(e, sar, o.s);
      result.push_back(e.empty() ? kVarianceFloor : std::max(population_variance(e), kVarianceFloor));
    }
  }

  if (result.size() != k) {
    return std::unexpected(SarimaxError::data_error("failed to build start params: expected length " +
                                                    std::to_string(k) + ", got " + std::to_string(result.size())));
  }
  return result;
}

}  // namespace pelmora
