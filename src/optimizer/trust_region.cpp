#include "optimizer/trust_region.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "optimizer/runners.hpp"

namespace pelmora {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kGradientStop = 1e-5;
constexpr double kRadiusFloor = 1e-8;
constexpr int kRadiusResets = 2;
constexpr double kPredictedFloor = 1e-30;
constexpr double kMaxRadius = 100.0;
constexpr int kRejectionsBeforeShrink = 6;
constexpr double kCurvature = 1e-10;
constexpr double kFinalGradient = 1e-3;
constexpr double kDifferenceStep = 1e-5;

double norm(std::span<const double> v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return std::sqrt(s);
}

double sample_sd_or_one(std::span<const double> v, double floor) {
  if (v.size() < 2) return 1.0;
  double mean = 0.0;
  for (double x : v) mean += x / static_cast<double>(v.size());
  double ss = 0.0;
  for (double x : v) ss += (x - mean) * (x - mean);
  const double var = ss / static_cast<double>(v.size() - 1);
  const double sd = std::sqrt(var);
  if (!(var > 0.0) || !std::isfinite(sd)) return 1.0;
  return std::max(sd, floor);
}

// Brent's minimisation on [lo, hi] (golden section with parabolic steps), at most 40 iterations.
std::pair<double, double> brent(const std::function<double(double)>& f, double lo, double hi) {
  constexpr double kGolden = 0.3819660112501051;
  constexpr double kEps = 1.4901161193847656e-8;
  double a = lo, b = hi;
  double x = a + kGolden * (b - a), w = x, v = x;
  double fx = f(x), fw = fx, fv = fx;
  double d = 0.0, e = 0.0;
  for (int iter = 0; iter < 40; ++iter) {
    const double mid = 0.5 * (a + b);
    const double tol1 = 1e-5 * std::abs(x) + kEps, tol2 = 2.0 * tol1;
    if (std::abs(x - mid) <= tol2 - 0.5 * (b - a)) break;
    bool golden = true;
    if (std::abs(e) > tol1) {
      // Parabola through x, w, v.
      double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) p = -p;
      q = std::abs(q);
      const double e_prev = e;
      e = d;
      if (std::abs(p) < std::abs(0.5 * q * e_prev) && p > q * (a - x) && p < q * (b - x)) {
        d = p / q;
        const double u = x + d;
        if (u - a < tol2 || b - u < tol2) d = mid >= x ? tol1 : -tol1;
        golden = false;
      }
    }
    if (golden) {
      e = (x >= mid ? a : b) - x;
      d = kGolden * e;
    }
    const double u = std::abs(d) >= tol1 ? x + d : x + (d > 0 ? tol1 : -tol1);
    const double fu = f(u);
    if (fu <= fx) {
      (u >= x ? a : b) = x;
      v = w, fv = fw, w = x, fw = fx, x = u, fx = fu;
    } else {
      (u < x ? a : b) = u;
      if (fu <= fw || w == x) {
        v = w, fv = fw, w = u, fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u, fv = fu;
      }
    }
  }
  return {x, fx};
}

// Coordinate-wise line search over the regression coefficients of the best point.
void polish_regression(const SarimaxObjective& objective, const SarimaxConfig& config,
                       const std::function<double(std::span<const double>)>& F, std::vector<double>& x, double& f) {
  const std::size_t m = config.n_exog;
  const std::size_t first = config.k_trend();
  const std::size_t sweeps = polish_sweep_limit(m);
  const double sy = sample_sd_or_one(objective.endog(), 1.0);
  auto at = [&](std::size_t idx, double value) {
    std::vector<double> probe = x;
    probe[idx] = value;
    return F(probe);
  };
  for (std::size_t sweep = 0; sweep < sweeps; ++sweep) {
    const double f_sweep = f;
    bool improved = false;
    for (std::size_t j = 0; j < m; ++j) {
      const std::size_t idx = first + j;
      double ratio = 1.0;
      if (objective.exog() && j < objective.exog()->size()) {
        ratio = std::max(sy / sample_sd_or_one((*objective.exog())[j], 1e-12), 1.0);
      }
      const double xj = x[idx];
      const double thr = std::max(1e-9 * std::max(std::abs(f), 1.0), 1e-8);
      double inner = std::max(std::abs(xj), ratio);
      if (std::isnan(inner)) inner = std::abs(xj);
      double h = 0.25 * std::max(inner, 1.0);
      const double h_min = (std::abs(xj) + 1.0) * 1e-8;
      double f_minus = kInf, f_plus = kInf;
      bool found = false;
      for (int probe = 0; probe < 24; ++probe) {
        f_minus = at(idx, xj - h);
        f_plus = at(idx, xj + h);
        if (f_minus < f || f_plus < f) {
          found = true;
          break;
        }
        h /= 2.0;
        if (h <= h_min) break;
      }
      if (!found) continue;
      const double dir = f_plus < f_minus ? 1.0 : -1.0;
      double a = xj + dir * h, f_a = dir > 0 ? f_plus : f_minus, previous = xj;
      double c = a, f_c = f_a;
      bool bracketed = false;
      for (int e = 0; e < 24; ++e) {
        h *= 2.0;
        c = a + dir * h;
        f_c = at(idx, c);
        if (std::isfinite(f_c) && f_c < f_a) {
          previous = a;
          a = c;
          f_a = f_c;
        } else {
          bracketed = true;
          break;
        }
      }
      double candidate = a, f_candidate = f_a;
      if (bracketed) {
        const auto [xb, fb] = brent([&](double v) { return at(idx, v); }, std::min(previous, c), std::max(previous, c));
        if (std::isfinite(fb) && fb < f_a) {
          candidate = xb;
          f_candidate = fb;
        }
      } else {
        candidate = c;
        f_candidate = f_c;
      }
      if (f - f_candidate > thr) {
        x[idx] = candidate;
        f = f_candidate;
        improved = true;
      }
    }
    if (!improved || f_sweep - f <= std::max(1e-9 * std::max(std::abs(f_sweep), 1.0), 1e-8)) break;
  }
}

}  // namespace

std::size_t polish_sweep_limit(std::size_t n_exog) { return std::min<std::size_t>(std::max<std::size_t>(n_exog + 1, 2), 6); }

TrustRegionStep trust_region_step(const Matrix& H, std::span<const double> g, double delta) {
  const Eigen::Index m = static_cast<Eigen::Index>(g.size());
  Vector p = -(H * Eigen::Map<const Vector>(g.data(), m));
  const double len = p.norm();
  if (len * len > 0.0 && len > delta) p *= delta / len;
  double gp = 0.0;
  for (Eigen::Index i = 0; i < m; ++i) gp += g[static_cast<std::size_t>(i)] * p[i];
  return {std::vector<double>(p.data(), p.data() + m), p.norm(), std::max(-gp, kPredictedFloor)};
}

TrustRegionResult trust_region_loop(const std::function<double(std::span<const double>)>& cost,
                                    const std::function<std::optional<std::vector<double>>(std::span<const double>)>& gradient,
                                    std::vector<double> x, double f, std::vector<double> g, std::uint64_t budget) {
  const std::size_t m = x.size();
  const Eigen::Index mm = static_cast<Eigen::Index>(m);
  Matrix H = Matrix::Zero(mm, mm);
  for (Eigen::Index i = 0; i < mm; ++i) H(i, i) = 0.1 / std::max(std::abs(g[static_cast<std::size_t>(i)]), 0.001);
  const double delta0 = 0.2 * std::sqrt(static_cast<double>(m));
  double delta = delta0;
  int resets = 0, rejections = 0;
  std::vector<double> best_x = x;
  double best_f = f;
  for (std::uint64_t iter = 0; iter < budget; ++iter) {
    if (m == 0 || norm(g) < kGradientStop) return {best_x, best_f, iter, true};
    if (delta < kRadiusFloor) {
      if (resets >= kRadiusResets) return {best_x, best_f, iter, true};
      ++resets;
      rejections = 0;
      delta = delta0;
    }
    const TrustRegionStep step = trust_region_step(H, g, delta);
    std::vector<double> x_new(m);
    for (std::size_t i = 0; i < m; ++i) x_new[i] = x[i] + step.p[i];
    const double f_new = cost(x_new);
    const double ratio = std::abs(step.predicted) < kPredictedFloor ? 0.0 : (f - f_new) / step.predicted;
    if (ratio < 0.25) {
      delta *= 0.25;
    } else if (ratio > 0.75 && std::abs(step.norm - delta) < 1e-6 * delta) {
      delta = std::min(2.0 * delta, kMaxRadius);
    }
    if (ratio > 0.1 && std::isfinite(f_new) && f_new < f) {
      if (auto g_new = gradient(x_new); g_new && g_new->size() == m) {
        const Eigen::Map<const Vector> s(step.p.data(), mm);
        Vector y(mm);
        for (std::size_t i = 0; i < m; ++i) y[static_cast<Eigen::Index>(i)] = (*g_new)[i] - g[i];
        const double ys = y.dot(s);
        if (ys > kCurvature) {
          const double rho = 1.0 / ys;
          const Matrix left = Matrix::Identity(mm, mm) - rho * s * y.transpose();
          H = left * H * left.transpose() + rho * s * s.transpose();
        }
        g = std::move(*g_new);
      }
      x = std::move(x_new);
      f = f_new;
      rejections = 0;
      if (f_new < best_f) {
        best_x = x;
        best_f = f_new;
      }
    } else {
      if (++rejections >= kRejectionsBeforeShrink) delta *= 0.5;
    }
  }
  return {best_x, best_f, budget, m == 0 || norm(g) < kFinalGradient};
}

Result<StrategyOutcome> fit_trust_region_single(const SarimaxObjective& objective, std::span<const double> x0,
                                                const SarimaxConfig& config, std::uint64_t maxiter) {
  const SarimaxObjective own = objective.clone();
  const std::vector<double> start(x0.begin(), x0.end());
  auto F = [&](std::span<const double> x) {
    auto ll = own.eval_loglike(x);
    return ll ? -*ll : kInf;
  };
  auto G = [&](std::span<const double> x) -> std::optional<std::vector<double>> {
    auto g = finite_diff_grad_negll(own, x, kDifferenceStep);
    if (!g) return std::nullopt;
    return std::move(*g);
  };
  const double f0 = F(start);
  const auto g0 = G(start);
  if (!std::isfinite(f0) || !g0 || g0->size() != start.size()) {
    auto nm = run_nelder_mead(objective, start, maxiter);
    if (!nm) return std::unexpected(SarimaxError::optimization_failed(nm.error()));
    return StrategyOutcome{nm->x, nm->f, nm->n_iter, nm->converged, "nelder-mead (fallback)"};
  }
  TrustRegionResult r = trust_region_loop(F, G, start, f0, *g0, maxiter);
  if (config.n_exog > 0) polish_regression(own, config, F, r.x, r.f);
  return StrategyOutcome{std::move(r.x), r.f, r.n_iter, r.converged, "trust-region"};
}

Result<StrategyOutcome> fit_profile_trust_region(const SarimaxObjective& objective, std::span<const double> x0_in,
                                                 const SarimaxConfig& config, std::uint64_t maxiter,
                                                 bool start_params_given) {
  if (config.n_exog == 0) return fit_trust_region_single(objective, x0_in, config, maxiter);
  if (!objective.exog() || objective.exog()->empty()) {
    return std::unexpected(SarimaxError::invalid_input("profile-trust-region requires exog columns when n_exog > 0"));
  }
  std::vector<double> x0(x0_in.begin(), x0_in.end());
  std::uint64_t used = 0;
  if (maxiter > 1 && !start_params_given) {
    if (auto w = fit_trust_region_single(objective, x0, config, std::max<std::uint64_t>(1, 3 * maxiter / 4))) {
      x0 = w->x;
      used = w->n_iter;
    }
  }
  const std::vector<double> z = remove_exog_block(x0, config);
  const ProfiledSarimaxObjective profiled(objective.endog(), *objective.exog(), config);
  const std::uint64_t budget = std::max<std::uint64_t>(maxiter - std::min(maxiter, used), 1);
  auto C = [&](std::span<const double> x) {
    auto ev = profiled.eval_profiled(x);
    return ev ? ev->neg_loglike : kInf;
  };
  auto gradient = [&](std::span<const double> x) -> Evaluated<std::vector<double>> {
    if (auto g = profiled.analytical_gradient_negloglike(x)) return g;
    return finite_diff_grad_profile_negll(profiled, x, kDifferenceStep);
  };
  auto first = profiled.eval_profiled(z);
  if (!first) {
    return std::unexpected(SarimaxError::optimization_failed("profile-trust-region: initial cost failed: " + first.error()));
  }
  auto g0 = gradient(z);
  if (!g0) {
    return std::unexpected(SarimaxError::optimization_failed("profile-trust-region: initial gradient failed: " + g0.error()));
  }
  if (g0->size() != z.size()) {
    return std::unexpected(SarimaxError::optimization_failed("profile-trust-region: gradient len " +
                                                             std::to_string(g0->size()) + " != n " +
                                                             std::to_string(z.size())));
  }
  auto G = [&](std::span<const double> x) -> std::optional<std::vector<double>> {
    auto g = gradient(x);
    if (!g) return std::nullopt;
    return std::move(*g);
  };
  TrustRegionResult r = trust_region_loop(C, G, z, first->neg_loglike, std::move(*g0), budget);
  const ProfiledSarimaxObjective fresh(objective.endog(), *objective.exog(), config);
  auto final_eval = fresh.eval_profiled(r.x);
  if (!final_eval) return std::unexpected(SarimaxError::optimization_failed(final_eval.error()));
  return StrategyOutcome{std::move(final_eval->x_full), r.f, r.n_iter + used, r.converged, "profile-trust-region"};
}

}  // namespace pelmora
