#include "optimizer/objective.hpp"

#include <cmath>

#include "kalman/batched.hpp"
#include "kalman/kalman.hpp"
#include "params/transforms.hpp"
#include "score/score.hpp"

namespace pelmora {

namespace {

bool all_finite(const std::vector<double>& v) {
  for (double x : v) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

}  // namespace

SarimaxObjective::SarimaxObjective(std::vector<double> endog, std::optional<Columns> exog, SarimaxConfig config)
    : endog_(std::move(endog)), exog_(std::move(exog)), config_(config) {}

SarimaxObjective::SarimaxObjective(const SarimaxObjective& other)
    : endog_(other.endog_), exog_(other.exog_), config_(other.config_) {}

SarimaxObjective& SarimaxObjective::operator=(const SarimaxObjective& other) {
  if (this != &other) {
    endog_ = other.endog_;
    exog_ = other.exog_;
    config_ = other.config_;
    eval_cache_.reset();
    state_space_cache_.reset();
  }
  return *this;
}

Evaluated<SarimaxObjective::Pipeline> SarimaxObjective::eval_pipeline(std::span<const double> x) const {
  ++pipeline_runs_;
  auto constrained = transform_params_inner(x, config_, true);
  if (!constrained) return std::unexpected(constrained.error().display());
  auto params = SarimaxParams::from_flat(*constrained, config_);
  if (!params) return std::unexpected(params.error().display());
  StateSpace ss;
  if (state_space_cache_) {
    ss = std::move(*state_space_cache_);
    state_space_cache_.reset();
    ss.refresh(config_, *params, exog_ptr());
  } else {
    auto built = StateSpace::build(config_, *params, endog_.size(), exog_ptr());
    if (!built) return std::unexpected(built.error().display());
    ss = std::move(*built);
  }
  KalmanInit init = KalmanInit::from_config_default(ss, config_);
  return Pipeline{std::move(*params), std::move(ss), std::move(init)};
}

void SarimaxObjective::return_state_space(StateSpace&& state_space) const {
  state_space_cache_ = std::move(state_space);
}

Evaluated<double> SarimaxObjective::eval_loglike(std::span<const double> x) const {
  auto pipeline = eval_pipeline(x);
  if (!pipeline) return std::unexpected(std::move(pipeline.error()));
  auto out = kalman_loglike(endog_, pipeline->state_space, pipeline->init, config_.concentrate_scale);
  return_state_space(std::move(pipeline->state_space));
  if (!out) return std::unexpected(out.error().display());
  if (!std::isfinite(out->loglike)) return std::unexpected(std::string("non-finite log-likelihood"));
  return out->loglike;
}

Evaluated<std::pair<double, std::vector<double>>> SarimaxObjective::eval_negloglike_with_gradient(
    std::span<const double> x) const {
  auto pipeline = eval_pipeline(x);
  if (!pipeline) return std::unexpected(std::move(pipeline.error()));
  auto out = kalman_loglike(endog_, pipeline->state_space, pipeline->init, config_.concentrate_scale);
  if (!out || !std::isfinite(out->loglike)) {
    return_state_space(std::move(pipeline->state_space));
    if (!out) return std::unexpected(out.error().display());
    return std::unexpected(std::string("non-finite log-likelihood"));
  }
  auto grad = negated_unconstrained_score(*pipeline, x);
  if (!grad) return std::unexpected(std::move(grad.error()));
  return std::make_pair(-out->loglike, std::move(*grad));
}

Evaluated<std::vector<double>> SarimaxObjective::analytical_gradient_negloglike(std::span<const double> x) const {
  auto pipeline = eval_pipeline(x);
  if (!pipeline) return std::unexpected(std::move(pipeline.error()));
  return negated_unconstrained_score(*pipeline, x);
}

Evaluated<std::vector<double>> SarimaxObjective::negated_unconstrained_score(Pipeline& pipeline,
                                                                           std::span<const double> x) const {
  auto grad = score(endog_, pipeline.state_space, pipeline.init, config_, pipeline.params, config_.concentrate_scale,
                    exog_ptr());
  return_state_space(std::move(pipeline.state_space));
  if (!grad) return std::unexpected(grad.error().display());
  auto mapped = apply_transform_jacobian(*grad, x, config_);
  if (!mapped) return std::unexpected(std::move(mapped.error()));
  for (double& g : *mapped) g = -g;
  return std::move(*mapped);
}

const SarimaxObjective::CachedEval* SarimaxObjective::cache_hit(std::span<const double> x) const {
  if (!eval_cache_ || eval_cache_->x.size() != x.size()) return nullptr;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!(eval_cache_->x[i] == x[i])) return nullptr;  // NaN never matches
  }
  return &*eval_cache_;
}

double SarimaxObjective::cost(std::span<const double> x) const {
  if (const CachedEval* hit = cache_hit(x)) return hit->cost;
  auto ll = eval_loglike(x);
  return ll ? -*ll : kPenalty;
}

std::vector<double> SarimaxObjective::gradient(std::span<const double> x) const {
  if (const CachedEval* hit = cache_hit(x)) return hit->gradient;
  if (auto both = eval_negloglike_with_gradient(x); both && std::isfinite(both->first) && all_finite(both->second)) {
    eval_cache_ = CachedEval{std::vector<double>(x.begin(), x.end()), both->second, both->first};
    return std::move(both->second);
  }
  if (auto analytic = analytical_gradient_negloglike(x); analytic && all_finite(*analytic)) {
    return std::move(*analytic);
  }
  // Forward differences of the cost; a coordinate whose step fails gets a central difference,
  // and 0 when that fails too.
  std::vector<double> point(x.begin(), x.end());
  std::vector<double> g(x.size(), 0.0);
  const double f0 = cost(point);
  for (std::size_t i = 0; i < point.size(); ++i) {
    const double saved = point[i];
    const double h = (std::abs(saved) + 1.0) * 1e-7;
    point[i] = saved + h;
    const double f_plus = cost(point);
    g[i] = (f_plus - f0) / h;
    if (!std::isfinite(g[i])) {
      const double f_up = cost(point);
      point[i] = saved - h;
      const double f_down = cost(point);
      g[i] = (f_up - f_down) / (2.0 * h);
      if (!std::isfinite(g[i])) g[i] = 0.0;
    }
    point[i] = saved;
  }
  return g;
}

namespace {

// Central differences of a negative log-likelihood with steps (|x_i| + 1) h; the first failing
// evaluation ends the call with its message.
template <typename NegLoglike>
Evaluated<std::vector<double>> central_difference(std::span<const double> x, double h, NegLoglike neg_loglike) {
  std::vector<double> point(x.begin(), x.end());
  std::vector<double> g(x.size(), 0.0);
  for (std::size_t i = 0; i < point.size(); ++i) {
    const double saved = point[i];
    const double step = (std::abs(saved) + 1.0) * h;
    point[i] = saved + step;
    Evaluated<double> up = neg_loglike(point);
    if (!up) return std::unexpected(std::move(up.error()));
    point[i] = saved - step;
    Evaluated<double> down = neg_loglike(point);
    if (!down) return std::unexpected(std::move(down.error()));
    g[i] = (*up - *down) / (2.0 * step);
    point[i] = saved;
  }
  return g;
}

}  // namespace

Evaluated<std::vector<double>> finite_diff_grad_negll(const SarimaxObjective& objective, std::span<const double> x,
                                                      double h) {
  return central_difference(x, h, [&](std::span<const double> p) -> Evaluated<double> {
    auto ll = objective.eval_loglike(p);
    if (!ll) return std::unexpected(std::move(ll.error()));
    return -*ll;
  });
}

}  // namespace pelmora

namespace pelmora {

std::vector<double> insert_exog_block(std::span<const double> x_reduced, std::span<const double> beta, Trend trend) {
  const std::size_t kt = k_trend(trend);
  std::vector<double> full;
  full.reserve(x_reduced.size() + beta.size());
  full.insert(full.end(), x_reduced.begin(), x_reduced.begin() + static_cast<std::ptrdiff_t>(kt));
  full.insert(full.end(), beta.begin(), beta.end());
  full.insert(full.end(), x_reduced.begin() + static_cast<std::ptrdiff_t>(kt), x_reduced.end());
  return full;
}

std::vector<double> remove_exog_block(std::span<const double> x_full, const SarimaxConfig& config) {
  const std::size_t kt = config.k_trend();
  std::vector<double> reduced(x_full.begin(), x_full.begin() + static_cast<std::ptrdiff_t>(kt));
  reduced.insert(reduced.end(), x_full.begin() + static_cast<std::ptrdiff_t>(kt + config.n_exog), x_full.end());
  return reduced;
}

namespace {

// Rejected prediction variances enter with this variance (weight 1e-10), as in the filter.
constexpr double kRejectedVariance = 1e10;
constexpr double kSingularThreshold = 1e-12;
constexpr double kScaleFloor = 1e-300;

Evaluated<SarimaxParams> constrained_set(std::span<const double> x, const SarimaxConfig& config) {
  auto constrained = transform_params_inner(x, config, true);
  if (!constrained) return std::unexpected(constrained.error().display());
  auto params = SarimaxParams::from_flat(*constrained, config);
  if (!params) return std::unexpected(params.error().display());
  return std::move(*params);
}

}  // namespace

Evaluated<ProfiledEval> ProfiledSarimaxObjective::eval_profiled(std::span<const double> x_reduced) const {
  const std::size_t m = config_.n_exog;
  const std::size_t expected = config_.n_params() - m;
  if (x_reduced.size() != expected) {
    return std::unexpected("profiled parameter length mismatch: expected " + std::to_string(expected) + ", got " +
                           std::to_string(x_reduced.size()));
  }
  const std::vector<double> zeros(m, 0.0);
  auto params = constrained_set(insert_exog_block(x_reduced, zeros, config_.trend), config_);
  if (!params) return std::unexpected(std::move(params.error()));
  const std::size_t n = endog_.size();

  double ll = 0.0;
  std::vector<double> beta;
  if (m == 0) {
    auto ss = StateSpace::build(config_, *params, n, nullptr);
    if (!ss) return std::unexpected(ss.error().display());
    const KalmanInit init = KalmanInit::from_config_default(*ss, config_);
    auto out = kalman_loglike(endog_, *ss, init, config_.concentrate_scale);
    if (!out) return std::unexpected(out.error().display());
    ll = out->loglike;
  } else {
    SarimaxParams linear = *params;
    linear.exog.assign(m, 0.0);
    auto ss = StateSpace::build(config_, linear, n, nullptr);
    if (!ss) return std::unexpected(ss.error().display());
    const KalmanInit init = KalmanInit::from_config_default(*ss, config_);
    if (exog_.size() < m) return std::unexpected("missing exog column " + std::to_string(exog_.size()));
    // Series: endog, the regressors, and (with a trend) a zero series whose errors are the
    // response to the trend and the initial mean alone.
    const bool with_trend = config_.trend != Trend::None;
    const std::vector<double> zero_series(with_trend ? n : 0, 0.0);
    std::vector<std::span<const double>> series{endog_};
    for (std::size_t j = 0; j < m; ++j) series.emplace_back(exog_[j]);
    if (with_trend) series.emplace_back(zero_series);
    auto batched = kalman_filter_batched(series, *ss, init);
    if (!batched) return std::unexpected(batched.error().display());
    const std::size_t N = batched->nobs;
    if (N == 0) return std::unexpected(std::string("profiled objective has no effective observations"));
    const std::vector<double>& v = batched->residuals[0];
    // Regressor errors of the linear filter: their own errors less the trend's response.
    std::vector<std::vector<double>> xt(m);
    for (std::size_t j = 0; j < m; ++j) {
      xt[j] = batched->residuals[1 + j];
      if (with_trend) {
        for (std::size_t t = 0; t < n; ++t) xt[j][t] -= batched->residuals[1 + m][t];
      }
    }
    std::vector<double> used_variance(n, 0.0);
    Matrix A = Matrix::Zero(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(m));
    Vector b = Vector::Zero(static_cast<Eigen::Index>(m));
    for (std::size_t t = n - N; t < n; ++t) {
      const double F = batched->innovation_variances[t];
      used_variance[t] = (std::isfinite(F) && F > 0.0) ? F : kRejectedVariance;
      const double w = 1.0 / used_variance[t];
      for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) A(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) += xt[i][t] * xt[j][t] * w;
        b[static_cast<Eigen::Index>(i)] += v[t] * xt[i][t] * w;
      }
    }
    // Minimum-norm GLS solution; singular values at or below 1e-12 are treated as zero.
    Eigen::JacobiSVD<Matrix> svd(A, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Vector c = svd.matrixU().transpose() * b;
    const Vector& sv = svd.singularValues();
    for (Eigen::Index i = 0; i < c.size(); ++i) c[i] = sv[i] > kSingularThreshold ? c[i] / sv[i] : 0.0;
    const Vector beta_hat = svd.matrixV() * c;
    beta.assign(beta_hat.data(), beta_hat.data() + beta_hat.size());
    double S_F = 0.0, S_v = 0.0;
    for (std::size_t t = n - N; t < n; ++t) {
      double e = v[t];
      for (std::size_t j = 0; j < m; ++j) e -= beta[j] * xt[j][t];
      S_F += std::log(used_variance[t]);
      S_v += e * e / used_variance[t];
    }
    if (!std::isfinite(S_F) || !std::isfinite(S_v)) {
      return std::unexpected(std::string("profiled objective produced non-finite Kalman sums"));
    }
    const double Nd = static_cast<double>(N);
    if (config_.concentrate_scale) {
      const double sigma2 = std::max(S_v / Nd, kScaleFloor);
      ll = -0.5 * S_F - 0.5 * Nd * kLog2Pi - 0.5 * Nd * std::log(sigma2) - 0.5 * Nd;
    } else {
      ll = -0.5 * S_F - 0.5 * Nd * kLog2Pi - 0.5 * S_v;
    }
    if (!std::isfinite(ll)) return std::unexpected(std::string("profiled objective produced non-finite loglike"));
  }
  std::vector<double> x_full = insert_exog_block(x_reduced, beta.empty() ? zeros : beta, config_.trend);
  auto full = constrained_set(x_full, config_);
  if (!full) return std::unexpected(std::move(full.error()));
  return ProfiledEval{std::move(*full), std::move(x_full), -ll};
}

Evaluated<std::vector<double>> ProfiledSarimaxObjective::analytical_gradient_negloglike(
    std::span<const double> x_reduced) const {
  auto ev = eval_profiled(x_reduced);
  if (!ev) return std::unexpected(std::move(ev.error()));
  const Columns* exog = exog_.empty() ? nullptr : &exog_;
  auto ss = StateSpace::build(config_, ev->params, endog_.size(), exog);
  if (!ss) return std::unexpected(ss.error().display());
  const KalmanInit init = KalmanInit::from_config_default(*ss, config_);
  auto g = score(endog_, *ss, init, config_, ev->params, config_.concentrate_scale, exog);
  if (!g) return std::unexpected(g.error().display());
  auto mapped = apply_transform_jacobian(*g, ev->x_full, config_);
  if (!mapped) return std::unexpected(std::move(mapped.error()));
  std::vector<double> reduced = remove_exog_block(*mapped, config_);
  for (double& v : reduced) v = -v;
  return reduced;
}

Evaluated<std::vector<double>> finite_diff_grad_profile_negll(const ProfiledSarimaxObjective& objective,
                                                              std::span<const double> x_reduced, double h) {
  return central_difference(x_reduced, h, [&](std::span<const double> p) -> Evaluated<double> {
    auto ev = objective.eval_profiled(p);
    if (!ev) return std::unexpected(std::move(ev.error()));
    return ev->neg_loglike;
  });
}

}  // namespace pelmora
