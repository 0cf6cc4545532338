#include "optimizer/objective.hpp"

#include <cmath>

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

Evaluated<std::vector<double>> finite_diff_grad_negll(const SarimaxObjective& objective, std::span<const double> x,
                                                      double h) {
  std::vector<double> point(x.begin(), x.end());
  std::vector<double> g(x.size(), 0.0);
  for (std::size_t i = 0; i < point.size(); ++i) {
    const double saved = point[i];
    const double step = (std::abs(saved) + 1.0) * h;
    point[i] = saved + step;
    auto up = objective.eval_loglike(point);
    if (!up) return std::unexpected(std::move(up.error()));
    point[i] = saved - step;
    auto down = objective.eval_loglike(point);
    if (!down) return std::unexpected(std::move(down.error()));
    g[i] = (*down - *up) / (2.0 * step);
    point[i] = saved;
  }
  return g;
}

}  // namespace pelmora
