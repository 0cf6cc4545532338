#include "optimizer/mod.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "css/css.hpp"
#include "lbfgsb_wrapper/lbfgsb_wrapper.hpp"
#include "optimizer/minimizers.hpp"
#include "optimizer/multistart.hpp"
#include "optimizer/runners.hpp"
#include "optimizer/trust_region.hpp"
#include "optimizer/objective.hpp"
#include "params/transforms.hpp"
#include "pipeline/pipeline.hpp"
#include "start_params/start_params.hpp"
#include "kalman/kalman.hpp"
#include "initialization/initialization.hpp"
#include "state_space/state_space.hpp"

namespace pelmora {

namespace {

// Sum that saturates at the largest unsigned value instead of wrapping.
std::size_t saturating_add(std::size_t a, std::size_t b) {
  return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max() : a + b;
}
std::size_t saturating_mul(std::size_t a, std::size_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return std::numeric_limits<std::size_t>::max();
  return a * b;
}

std::optional<SarimaxParams> constrained_params(std::span<const double> x, const SarimaxConfig& config) {
  auto constrained = transform_params_inner(x, config, true);
  if (!constrained) return std::nullopt;
  auto params = SarimaxParams::from_flat(*constrained, config);
  if (!params) return std::nullopt;
  return std::move(*params);
}

}  // namespace

Result<std::vector<double>> validate_and_get_start_params(std::span<const double> y, const SarimaxConfig& config,
                                                          const std::optional<std::vector<double>>& start_params,
                                                          const Columns* exog) {
  const SarimaxOrder& o = config.order;
  const std::size_t k = config.n_params();
  const std::size_t arma = std::max(saturating_add(o.p, saturating_mul(o.P, o.s)),
                                    saturating_add(saturating_add(o.q, saturating_mul(o.Q, o.s)), 1));
  const std::size_t need =
      std::max(k, saturating_add(saturating_add(saturating_add(o.d, saturating_mul(o.D, o.s)), arma), 1));
  const std::size_t n = y.size();
  if (n <= need) {
    return std::unexpected(SarimaxError::data_error("Not enough observations: n=" + std::to_string(n) +
                                                    " <= minimum required " + std::to_string(need) +
                                                    " for model order"));
  }
  if (!start_params) return compute_start_params(y, config, exog);
  if (start_params->size() != k) {
    return std::unexpected(SarimaxError::param_length_mismatch(k, start_params->size()));
  }
  return *start_params;
}

double eval_kf_loglike_constrained(std::span<const double> y, const SarimaxConfig& config,
                                   std::span<const double> params, const Columns* exog) {
  constexpr double kFailed = -std::numeric_limits<double>::infinity();
  auto split = SarimaxParams::from_flat(params, config);
  if (!split) return kFailed;
  auto out = kalman_eval(y, *split, config, exog);
  if (!out || !std::isfinite(out->loglike)) return kFailed;
  return out->loglike;
}

std::uint32_t n_starts(std::size_t m, std::size_t P, std::size_t Q) {
  if (P != 0) return m >= 4 ? 3 : 2;
  if (m >= 4) return 3;
  if (m == 3 || Q != 0) return 2;
  return m == 2 ? 1 : 0;
}

std::vector<std::complex<double>> polynomial_roots(std::span<const double> c) {
  const std::size_t m = c.size();
  if (m == 0) return {};
  if (m == 1) return {{c[0], 0.0}};
  constexpr double kSubdiagonalTolerance = 1e-12;
  const Eigen::Index mm = static_cast<Eigen::Index>(m);
  Matrix C = Matrix::Zero(mm, mm);
  for (Eigen::Index j = 0; j < mm; ++j) C(0, j) = c[static_cast<std::size_t>(j)];
  for (Eigen::Index i = 1; i < mm; ++i) C(i, i - 1) = 1.0;
  Eigen::RealSchur<Matrix> schur(mm);
  schur.setMaxIterations(100 * std::max<Eigen::Index>(mm, 10));
  schur.compute(C, /*computeU=*/false);
  if (schur.info() != Eigen::Success) return {};
  const Matrix& T = schur.matrixT();
  std::vector<std::complex<double>> roots;
  roots.reserve(m);
  for (Eigen::Index i = 0; i < mm;) {
    if (i + 1 < mm && std::abs(T(i + 1, i)) > kSubdiagonalTolerance) {
      const double a = T(i, i), b = T(i, i + 1), cc = T(i + 1, i), d = T(i + 1, i + 1);
      const double re = (a + d) / 2.0;
      const double im = std::sqrt(std::max(-(b * cc + (a - d) * (a - d) / 4.0), 0.0));
      roots.emplace_back(re, im);
      roots.emplace_back(re, -im);
      i += 2;
    } else {
      roots.emplace_back(T(i, i), 0.0);
      i += 1;
    }
  }
  return roots;
}

bool validate_no_near_cancellation(const SarimaxParams& params, std::size_t p, std::size_t q, double tol) {
  if (p == 0 || q == 0) return true;
  const auto ar_roots = polynomial_roots(params.ar);
  std::vector<double> neg_ma(params.ma.begin(), params.ma.end());
  for (double& v : neg_ma) v = -v;
  const auto ma_roots = polynomial_roots(neg_ma);
  double closest = std::numeric_limits<double>::infinity();
  for (const auto& a : ar_roots) {
    for (const auto& b : ma_roots) {
      const double dist = std::abs(a - b);
      if (!std::isnan(dist)) closest = std::min(closest, dist);
    }
  }
  return closest > tol;
}

bool on_cancellation_ridge(std::span<const double> x, const SarimaxConfig& config) {
  const SarimaxOrder& o = config.order;
  if (o.p == 0 || o.q == 0) return false;
  const auto params = constrained_params(x, config);
  if (!params) return false;
  return !validate_no_near_cancellation(*params, o.p, o.q, 0.05);
}

bool passes_cancellation_filter(std::span<const double> x, const SarimaxConfig& config) {
  const SarimaxOrder& o = config.order;
  if (o.p == 0 || o.q == 0) return true;
  const auto params = constrained_params(x, config);
  if (!params) return false;
  return validate_no_near_cancellation(*params, o.p, o.q, 0.01);
}

std::optional<std::vector<double>> run_css_optimization(std::span<const double> y, const SarimaxConfig& config,
                                                        std::span<const double> start, std::uint64_t budget,
                                                        const Columns* exog) {
  auto x0 = transform_params_inner(start, config, false);
  if (!x0 || x0->empty()) return std::nullopt;
  const CssObjective objective(std::vector<double>(y.begin(), y.end()),
                               exog ? std::optional<Columns>(*exog) : std::nullopt, config);
  // Costs this large mark a failed evaluation (a quarter of the largest double).
  constexpr double kFailedCost = 4.4942328371557893e307;
  constexpr double kStep = 1e-7;
  constexpr double kBox = 10.0;

  std::uint64_t evaluations = 0;
  std::vector<double> scratch(x0->size());
  auto callback = [&](std::span<const double> x, std::span<double> g) -> double {
    if (evaluations >= budget) {
      // Budget spent: a zero gradient ends the run at the next projected-gradient test.
      std::fill(g.begin(), g.end(), 0.0);
      return objective.cost(x);
    }
    ++evaluations;
    const double f = objective.cost(x);
    if (!std::isfinite(f) || f >= kFailedCost) {
      std::fill(g.begin(), g.end(), 0.0);
      return kPenalty;
    }
    // Central differences; not counted against the budget.
    scratch.assign(x.begin(), x.end());
    for (std::size_t i = 0; i < scratch.size(); ++i) {
      const double saved = scratch[i];
      scratch[i] = saved + kStep;
      const double up = objective.cost(scratch);
      scratch[i] = saved - kStep;
      const double down = objective.cost(scratch);
      scratch[i] = saved;
      const double gi = (up - down) / (2.0 * kStep);
      g[i] = std::isfinite(gi) ? gi : 0.0;
    }
    return f;
  };
  LbfgsbProblem problem = LbfgsbProblem::build(*x0, callback);
  const std::vector<Bound> bounds(x0->size(), Bound{-kBox, kBox});
  problem.set_bounds(bounds);
  LbfgsbState state(std::move(problem), LbfgsbSettings{10, 1e7, 1e-5, -1});
  if (state.minimize()) {
    if (auto mapped = transform_params_inner(state.problem().x, config, true)) return std::move(*mapped);
  }

  // Nelder-Mead fallback from x0 with the CSS simplex and tolerance.
  std::vector<std::vector<double>> simplex{*x0};
  for (std::size_t j = 0; j < x0->size(); ++j) {
    std::vector<double> v = *x0;
    v[j] += std::abs(v[j]) > 0.1 ? 0.05 * v[j] : 0.025;
    simplex.push_back(std::move(v));
  }
  NelderMeadSettings settings;
  settings.sd_tolerance = 1e-4;
  settings.max_iter = budget;
  auto report = nelder_mead([&](std::span<const double> x) { return objective.cost(x); }, std::move(simplex), settings);
  if (!report || !report->best_x) return std::nullopt;
  auto mapped = transform_params_inner(*report->best_x, config, true);
  if (!mapped) return std::nullopt;
  return std::move(*mapped);
}

std::optional<std::vector<double>> run_sd_warm_start(std::span<const double> y, const SarimaxConfig& config,
                                                     const Columns* exog) {
  SarimaxConfig sd = config;
  sd.simple_differencing = true;
  auto prepared = prepare_endog(y, sd, exog);
  if (!prepared) return std::nullopt;
  auto start = validate_and_get_start_params(y, sd, std::nullopt, exog);
  if (!start) return std::nullopt;
  const SarimaxOrder& o = config.order;
  if (o.p + o.q + o.P + o.Q > 0) {
    if (auto css = run_css_optimization(y, sd, *start, 200, exog)) {
      if (eval_kf_loglike_constrained(y, sd, *css, exog) > eval_kf_loglike_constrained(y, sd, *start, exog)) {
        start = std::move(*css);
      }
    }
  }
  auto x0 = transform_params_inner(*start, sd, false);
  if (!x0) return std::nullopt;
  const SarimaxObjective objective(std::move(prepared->y), std::move(prepared->exog), sd);
  auto outcome = fit_lbfgsb_single(objective, *x0, sd, 200);
  if (!outcome) return std::nullopt;
  auto mapped = transform_params_inner(outcome->x, sd, true);
  if (!mapped) return std::nullopt;
  return std::move(*mapped);
}

namespace {

constexpr std::uint64_t kDefaultMaxiter = 500;
constexpr std::uint64_t kCssBudget = 300;
// Tolerance of the near-cancellation warning on the fitted parameters.
constexpr double kCancellationWarning = 0.05;

// The result record from one filter run at constrained params.
Result<FitResult> record_at(std::span<const double> series, std::size_t n_obs, const SarimaxConfig& config,
                            std::vector<double> params_flat, const Columns* regressors) {
  auto params = SarimaxParams::from_flat(params_flat, config);
  if (!params) return std::unexpected(std::move(params.error()));
  auto ss = StateSpace::build(config, *params, series.size(), regressors);
  if (!ss) return std::unexpected(std::move(ss.error()));
  const KalmanInit init = KalmanInit::from_config_default(*ss, config);
  auto out = kalman_loglike(series, *ss, init, config.concentrate_scale);
  if (!out) return std::unexpected(std::move(out.error()));
  const SarimaxOrder& o = config.order;
  FitResult r;
  r.params = std::move(params_flat);
  r.loglike = out->loglike;
  r.scale = out->scale;
  r.n_obs = n_obs;
  r.n_params = o.p + o.q + o.P + o.Q + config.n_exog + config.k_trend() + 1;
  const double k = static_cast<double>(r.n_params);
  r.aic = -2.0 * r.loglike + 2.0 * k;
  r.bic = -2.0 * r.loglike + k * std::log(static_cast<double>(n_obs));
  return r;
}

bool is_known_method(const std::string& name) {
  for (const char* m : kFitMethods) {
    if (name == m) return true;
  }
  return false;
}

std::string unknown_method_message(const std::string& name) {
  std::string text = "unknown method: '" + name + "'. Valid methods: ";
  for (std::size_t i = 0; i < std::size(kFitMethods); ++i) {
    if (i > 0) text += ", ";
    text += kFitMethods[i];
  }
  return text;
}

}  // namespace

Result<FitResult> build_zero_iter_result(std::span<const double> series, std::size_t n_obs,
                                         const SarimaxConfig& config, std::span<const double> params,
                                         const Columns* regressors, const std::string& method) {
  auto r = record_at(series, n_obs, config, std::vector<double>(params.begin(), params.end()), regressors);
  if (!r) return r;
  r->n_iter = 0;
  r->method = method;
  r->converged = config.n_params() == 0;
  return r;
}

Result<FitResult> build_fit_result(std::span<const double> series, std::size_t n_obs, const SarimaxConfig& config,
                                   std::span<const double> x, std::uint64_t n_iter, bool converged,
                                   const std::string& method, const Columns* regressors) {
  auto constrained = transform_params_inner(x, config, true);
  if (!constrained) return std::unexpected(std::move(constrained.error()));
  auto params = SarimaxParams::from_flat(*constrained, config);
  if (!params) return std::unexpected(std::move(params.error()));
  std::vector<std::string> warnings;
  const SarimaxOrder& o = config.order;
  if (!validate_no_near_cancellation(*params, o.p, o.q, kCancellationWarning)) {
    warnings.push_back("near-cancellation detected in fitted ARMA(" + std::to_string(o.p) + "," +
                       std::to_string(o.q) +
                       ") parameters (min inverted-root distance < 0.05). Model may be non-identifiable.");
  }
  auto r = record_at(series, n_obs, config, std::move(*constrained), regressors);
  if (!r) return r;
  r->warnings = std::move(warnings);
  r->n_iter = n_iter;
  r->converged = converged;
  r->method = method;
  return r;
}

Result<FitResult> fit(std::span<const double> y, const SarimaxConfig& config,
                      const std::optional<std::vector<double>>& start_params, const std::optional<std::string>& method,
                      std::optional<std::uint64_t> maxiter_arg, const Columns* exog) {
  const std::string name = method.value_or("lbfgsb");
  const std::uint64_t maxiter = maxiter_arg.value_or(kDefaultMaxiter);
  if (!is_known_method(name)) return std::unexpected(SarimaxError::optimization_failed(unknown_method_message(name)));
  const std::size_t k = config.n_params();
  if (start_params && start_params->size() != k) {
    return std::unexpected(SarimaxError::invalid_input("start_params length mismatch: expected " + std::to_string(k) +
                                                       ", got " + std::to_string(start_params->size())));
  }
  auto prepared = prepare_endog(y, config, exog);
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  const std::vector<double>& series = prepared->y;
  const Columns* regressors = config.simple_differencing ? (prepared->exog ? &*prepared->exog : nullptr) : exog;
  const std::size_t n_obs = series.size();
  if (k == 0) return build_zero_iter_result(series, n_obs, config, {}, regressors, name);

  auto start_or = validate_and_get_start_params(y, config, start_params, exog);
  if (!start_or) return std::unexpected(std::move(start_or.error()));
  std::vector<double> start = std::move(*start_or);
  const SarimaxOrder& o = config.order;

  // A pure autoregression with a concentrated scale starts at its regression estimate, which is
  // taken as the answer when its likelihood is finite.
  if (config.trend == Trend::None && o.p >= 3 && o.q == 0 && o.P == 0 && o.Q == 0 && config.n_exog == 0 &&
      !start_params && config.concentrate_scale && name == "lbfgsb") {
    auto params = SarimaxParams::from_flat(start, config);
    if (!params) return std::unexpected(std::move(params.error()));
    auto ss = StateSpace::build(config, *params, n_obs, regressors);
    if (!ss) return std::unexpected(std::move(ss.error()));
    const KalmanInit init = KalmanInit::from_config_default(*ss, config);
    auto out = kalman_loglike(series, *ss, init, true);
    if (!out) return std::unexpected(std::move(out.error()));
    if (std::isfinite(out->loglike)) {
      FitResult r;
      r.params = start;
      r.method = "burg-direct";
      r.loglike = out->loglike;
      r.scale = out->scale;
      r.n_obs = n_obs;
      r.n_params = o.p + 1;
      r.n_iter = 0;
      const double np = static_cast<double>(r.n_params);
      r.aic = -2.0 * r.loglike + 2.0 * np;
      r.bic = -2.0 * r.loglike + np * std::log(static_cast<double>(n_obs));
      r.converged = true;
      return r;
    }
  }
  if (maxiter == 0) return build_zero_iter_result(series, n_obs, config, start, regressors, name);

  if (!start_params && name != "trust-region") {
    const std::size_t A = o.p + o.q + o.P + o.Q;
    const bool seasonal = (o.P != 0 || o.Q != 0) && o.s >= 2;
    if (A != 0 && (A != 1 || seasonal)) {
      if (auto css = run_css_optimization(y, config, start, kCssBudget, exog)) {
        const double margin = seasonal ? 0.0 : 2.0;
        if (eval_kf_loglike_constrained(y, config, *css, exog) >
            eval_kf_loglike_constrained(y, config, start, exog) + margin) {
          start = std::move(*css);
        }
      }
    }
    if (!config.simple_differencing && o.k_states() >= 40) {
      if (auto warm = run_sd_warm_start(y, config, exog)) {
        if (eval_kf_loglike_constrained(y, config, *warm, exog) >
            eval_kf_loglike_constrained(y, config, start, exog) + 1.0) {
          start = std::move(*warm);
        }
      }
    }
  }

  auto x0 = transform_params_inner(start, config, false);
  if (!x0) return std::unexpected(std::move(x0.error()));
  const SarimaxObjective objective(series, regressors ? std::optional<Columns>(*regressors) : std::nullopt, config);
  const std::uint32_t starts = n_starts(x0->size(), o.P, o.Q);

  Result<StrategyOutcome> outcome = std::unexpected(SarimaxError::optimization_failed(""));
  auto from_runner = [](std::expected<RunOutcome, std::string> r, const char* label) -> Result<StrategyOutcome> {
    if (!r) return std::unexpected(SarimaxError::optimization_failed(std::move(r.error())));
    return StrategyOutcome{std::move(r->x), r->f, r->n_iter, r->converged, label};
  };
  if (name == "lbfgsb") {
    outcome = fit_lbfgsb_single(objective, *x0, config, maxiter);
  } else if (name == "lbfgsb-multi") {
    outcome = fit_lbfgsb_multi(objective, *x0, config, maxiter, starts);
  } else if (name == "lbfgsb-hybrid") {
    outcome = fit_lbfgsb_hybrid(objective, *x0, config, maxiter, starts);
  } else if (name == "lbfgsb-adaptive") {
    outcome = fit_lbfgsb_adaptive_restart(objective, *x0, config, maxiter, starts);
  } else if (name == "lbfgs") {
    outcome = fit_lbfgs_multi(objective, *x0, config, maxiter, starts);
  } else if (name == "bfgs") {
    outcome = fit_bfgs_single(objective, *x0, config, maxiter);
  } else if (name == "lbfgsb-strict" || name == "lbfgsb_single") {
    outcome = from_runner(run_lbfgsb(objective, *x0, compute_bounds(config), maxiter), "lbfgsb-strict");
  } else if (name == "trust-region") {
    outcome = fit_trust_region_single(objective, *x0, config, maxiter);
  } else if (name == "profile-trust-region") {
    outcome = fit_profile_trust_region(objective, *x0, config, maxiter, start_params.has_value());
  } else if (name == "nelder-mead" || name == "nm") {
    outcome = from_runner(run_nelder_mead(objective, *x0, maxiter), "nelder-mead");
  } else {
    return std::unexpected(SarimaxError::optimization_failed("method '" + name + "' has no strategy"));
  }
  if (!outcome) return std::unexpected(std::move(outcome.error()));
  return build_fit_result(series, n_obs, config, outcome->x, outcome->n_iter, outcome->converged, outcome->method,
                          regressors);
}

}  // namespace pelmora
