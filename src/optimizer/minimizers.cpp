#include "optimizer/minimizers.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <numeric>

extern "C" {
// MINPACK-2's More-Thuente line search, as shipped with L-BFGS-B 3.0 (reverse communication).
void dcsrch_(double* f, double* g, double* stp, const double* ftol, const double* gtol, const double* xtol,
             const double* stpmin, const double* stpmax, char* task, int* isave, double* dsave,
             std::size_t task_len);
}

namespace pelmora {

namespace {

double dot(std::span<const double> a, std::span<const double> b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

double norm(std::span<const double> a) { return std::sqrt(dot(a, a)); }

// Sample standard deviation of the vertex costs (divisor: vertices - 1). Costs are scaled by
// their largest magnitude first, so that equal penalty costs near the largest double give 0
// rather than overflowing.
double cost_spread(const std::vector<double>& costs) {
  double scale = 0.0;
  for (double c : costs) scale = std::max(scale, std::abs(c));
  if (scale == 0.0) return 0.0;
  if (!std::isfinite(scale)) return std::numeric_limits<double>::infinity();
  double mean = 0.0;
  for (double c : costs) mean += c / scale;
  mean /= static_cast<double>(costs.size());
  double ss = 0.0;
  for (double c : costs) ss += (c / scale - mean) * (c / scale - mean);
  return scale * std::sqrt(ss / static_cast<double>(costs.size() - 1));
}

struct Vertex {
  std::vector<double> x;
  double f;
};

void stable_sort_vertices(std::vector<Vertex>& v) {
  std::stable_sort(v.begin(), v.end(), [](const Vertex& a, const Vertex& b) { return a.f < b.f; });
}

// The iteration cap, then the target cost: the stop tests every method makes after its own.
bool capped_or_on_target(MinimizerReport& report, std::uint64_t max_iter, double target_cost) {
  if (report.n_iter >= max_iter) {
    report.stop = StopReason::IterationCap;
    return true;
  }
  if (report.best_x && report.best_f <= target_cost) {
    report.stop = StopReason::TargetCost;
    return true;
  }
  return false;
}

void offer_best(MinimizerReport& report, const std::vector<double>& x, double f) {
  if (!report.best_x || f < report.best_f) {
    if (std::isnan(f)) return;
    report.best_x = x;
    report.best_f = f;
  }
}

}  // namespace

std::expected<MinimizerReport, std::string> nelder_mead(const CostFunction& cost,
                                                        std::vector<std::vector<double>> simplex,
                                                        const NelderMeadSettings& s) {
  MinimizerReport report;
  std::vector<Vertex> v;
  v.reserve(simplex.size());
  for (auto& x : simplex) {
    const double f = cost(x);
    v.push_back({std::move(x), f});
  }
  stable_sort_vertices(v);
  offer_best(report, v[0].x, v[0].f);
  const std::size_t n = v.size() - 1;
  std::vector<double> costs(v.size());
  std::vector<double> centroid(v[0].x.size());

  auto point = [&](const std::vector<double>& from, double t, const std::vector<double>& to) {
    // from + t (to - from)
    std::vector<double> out(from.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = from[i] + t * (to[i] - from[i]);
    return out;
  };

  for (;;) {
    for (std::size_t i = 0; i < v.size(); ++i) costs[i] = v[i].f;
    if (cost_spread(costs) < s.sd_tolerance) {
      report.stop = StopReason::Converged;
      return report;
    }
    if (capped_or_on_target(report, s.max_iter, s.target_cost)) return report;

    std::fill(centroid.begin(), centroid.end(), 0.0);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < centroid.size(); ++j) centroid[j] += v[i].x[j];
    for (double& c : centroid) c /= static_cast<double>(n);

    Vertex& worst = v[n];
    const double f_best = v[0].f;
    const double f_second_worst = v[n - 1].f;
    const double f_worst = worst.f;
    // Reflection: c + alpha (c - x_worst).
    std::vector<double> xr = point(centroid, -s.reflection, worst.x);
    const double fr = cost(xr);
    if (std::isnan(fr)) return std::unexpected(std::string("reflected cost is not comparable (NaN)"));

    bool shrink = false;
    if (fr < f_best) {
      std::vector<double> xe = point(centroid, s.expansion, xr);
      const double fe = cost(xe);
      if (fe < fr) {
        worst = {std::move(xe), fe};
      } else {
        worst = {std::move(xr), fr};
      }
    } else if (fr < f_second_worst) {
      worst = {std::move(xr), fr};
    } else if (fr < f_worst) {
      std::vector<double> xc = point(centroid, s.contraction, xr);
      const double fc = cost(xc);
      if (fc <= fr) {
        worst = {std::move(xc), fc};
      } else {
        shrink = true;
      }
    } else {
      std::vector<double> xc = point(centroid, s.contraction, worst.x);
      const double fc = cost(xc);
      if (fc < f_worst) {
        worst = {std::move(xc), fc};
      } else {
        shrink = true;
      }
    }
    if (shrink) {
      for (std::size_t i = 1; i < v.size(); ++i) {
        v[i].x = point(v[0].x, s.shrink, v[i].x);
        v[i].f = cost(v[i].x);
      }
    }
    stable_sort_vertices(v);
    ++report.n_iter;
    if (v[0].f < report.best_f || !report.best_x) offer_best(report, v[0].x, v[0].f);
  }
}

std::expected<LineSearchResult, std::string> more_thuente(const CostFunction& cost, const GradientFunction& gradient,
                                                          std::span<const double> x, double f,
                                                          std::span<const double> g, std::span<const double> d,
                                                          const LineSearchSettings& s) {
  const double dphi0 = dot(g, d);
  if (dphi0 >= 0.0) return std::unexpected(std::string("search direction must be a descent direction"));
  char task[60];
  std::memset(task, ' ', sizeof task);
  std::memcpy(task, "START", 5);
  int isave[2] = {0, 0};
  double dsave[13] = {};
  double stp = s.initial_step;
  double phi = f;
  double dphi = dphi0;
  LineSearchResult trial{std::vector<double>(x.begin(), x.end()), f, std::vector<double>(g.begin(), g.end())};
  for (;;) {
    dcsrch_(&phi, &dphi, &stp, &s.ftol, &s.gtol, &s.xtol, &s.min_step, &s.max_step, task, isave, dsave,
            sizeof task);
    if (std::strncmp(task, "FG", 2) == 0) {
      for (std::size_t i = 0; i < x.size(); ++i) trial.x[i] = x[i] + stp * d[i];
      trial.f = cost(trial.x);
      trial.g = gradient(trial.x);
      phi = trial.f;
      dphi = dot(trial.g, d);
      continue;
    }
    if (std::strncmp(task, "ERROR", 5) == 0) {
      std::string text(task, sizeof task);
      text.erase(text.find_last_not_of(' ') + 1);
      return std::unexpected("line search: " + text);
    }
    // CONVERGENCE or WARNING: the last trial point stands.
    return trial;
  }
}

namespace {

// The quasi-Newton loop shared by BFGS and L-BFGS; `direction` maps g to the search direction
// and `update` takes (s, y) after each step.
template <typename Direction, typename Update>
std::expected<MinimizerReport, std::string> quasi_newton(const CostFunction& cost, const GradientFunction& gradient,
                                                         std::vector<double> x, const QuasiNewtonSettings& s,
                                                         Direction direction, Update update) {
  MinimizerReport report;
  double f = cost(x);
  std::vector<double> g = gradient(x);
  offer_best(report, x, f);
  std::optional<double> f_previous;
  std::vector<double> step(x.size()), change(x.size());
  for (;;) {
    if (norm(g) < s.grad_tolerance) {
      report.stop = StopReason::Converged;
      return report;
    }
    if (f_previous && std::abs(*f_previous - f) < s.cost_tolerance) {
      report.stop = StopReason::Converged;
      return report;
    }
    if (capped_or_on_target(report, s.max_iter, s.target_cost)) return report;
    const std::vector<double> d = direction(g);
    auto searched = more_thuente(cost, gradient, x, f, g, d, s.line_search);
    if (!searched) return std::unexpected(std::move(searched.error()));
    for (std::size_t i = 0; i < x.size(); ++i) {
      step[i] = searched->x[i] - x[i];
      change[i] = searched->g[i] - g[i];
    }
    update(step, change);
    f_previous = f;
    x = std::move(searched->x);
    f = searched->f;
    g = std::move(searched->g);
    ++report.n_iter;
    if (f < report.best_f) offer_best(report, x, f);
  }
}

}  // namespace

std::expected<MinimizerReport, std::string> bfgs(const CostFunction& cost, const GradientFunction& gradient,
                                                 std::vector<double> x0, Matrix H0, const QuasiNewtonSettings& s) {
  Matrix H = std::move(H0);
  const Eigen::Index n = static_cast<Eigen::Index>(x0.size());
  auto direction = [&](const std::vector<double>& g) {
    const Vector d = -(H * Eigen::Map<const Vector>(g.data(), n));
    return std::vector<double>(d.data(), d.data() + n);
  };
  auto update = [&](const std::vector<double>& sv, const std::vector<double>& yv) {
    const Eigen::Map<const Vector> sk(sv.data(), n), yk(yv.data(), n);
    // H <- (I - rho s y') H (I - rho y s') + rho s s', rho = 1 / (y's), unsafeguarded.
    const double rho = 1.0 / yk.dot(sk);
    const Matrix I = Matrix::Identity(n, n);
    const Matrix left = I - rho * sk * yk.transpose();
    H = left * H * left.transpose() + rho * sk * sk.transpose();
  };
  return quasi_newton(cost, gradient, std::move(x0), s, direction, update);
}

std::expected<MinimizerReport, std::string> lbfgs(const CostFunction& cost, const GradientFunction& gradient,
                                                  std::vector<double> x0, std::size_t memory,
                                                  const QuasiNewtonSettings& s) {
  struct Pair {
    std::vector<double> s, y;
    double rho;
  };
  std::deque<Pair> pairs;
  std::vector<double> alpha;
  auto direction = [&](const std::vector<double>& g) {
    std::vector<double> q = g;
    alpha.assign(pairs.size(), 0.0);
    for (std::size_t k = pairs.size(); k-- > 0;) {
      alpha[k] = pairs[k].rho * dot(pairs[k].s, q);
      for (std::size_t i = 0; i < q.size(); ++i) q[i] -= alpha[k] * pairs[k].y[i];
    }
    const double gamma = pairs.empty() ? 1.0 : dot(pairs.back().s, pairs.back().y) / dot(pairs.back().y, pairs.back().y);
    for (double& v : q) v *= gamma;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      const double b = pairs[k].rho * dot(pairs[k].y, q);
      for (std::size_t i = 0; i < q.size(); ++i) q[i] += (alpha[k] - b) * pairs[k].s[i];
    }
    for (double& v : q) v = -v;
    return q;
  };
  auto update = [&](const std::vector<double>& sv, const std::vector<double>& yv) {
    if (pairs.size() == memory) pairs.pop_front();
    pairs.push_back({sv, yv, 1.0 / dot(yv, sv)});
  };
  return quasi_newton(cost, gradient, std::move(x0), s, direction, update);
}

}  // namespace pelmora
