#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "initialization/initialization.hpp"
#include "params/params.hpp"
#include "state_space/state_space.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

// Cost of a point where the likelihood cannot be evaluated: half the largest finite double, so
// that sums and differences of penalties stay finite inside the optimisers.
inline constexpr double kPenalty = 8.988465674311579e307;

template <typename T>
using Evaluated = std::expected<T, std::string>;

// The negative exact log-likelihood of one series as a function of the unconstrained
// parameters, with its gradient: analytic (tangent-linear score through the transform
// Jacobian) where possible, else finite differences. Used by one thread at a time; parallel
// strategies clone it. Copies start with empty caches.
class SarimaxObjective {
 public:
  SarimaxObjective(std::vector<double> endog, std::optional<Columns> exog, SarimaxConfig config);
  SarimaxObjective(const SarimaxObjective& other);
  SarimaxObjective& operator=(const SarimaxObjective& other);
  SarimaxObjective(SarimaxObjective&&) noexcept = default;
  SarimaxObjective& operator=(SarimaxObjective&&) noexcept = default;

  struct Pipeline {
    SarimaxParams params;
    StateSpace state_space;  // lent from the cache; give it back with return_state_space
    KalmanInit init;
  };

  Evaluated<Pipeline> eval_pipeline(std::span<const double> x) const;
  void return_state_space(StateSpace&& state_space) const;

  Evaluated<double> eval_loglike(std::span<const double> x) const;
  Evaluated<std::pair<double, std::vector<double>>> eval_negloglike_with_gradient(std::span<const double> x) const;
  Evaluated<std::vector<double>> analytical_gradient_negloglike(std::span<const double> x) const;

  // -loglike, or kPenalty where it cannot be evaluated. Never fails.
  double cost(std::span<const double> x) const;
  // A gradient of the cost, of the length of x. Never fails.
  std::vector<double> gradient(std::span<const double> x) const;

  SarimaxObjective clone() const { return *this; }

  // How many times the model was built and initialised: what the evaluation cache saves.
  std::uint64_t pipeline_runs() const { return pipeline_runs_; }

  const std::vector<double>& endog() const { return endog_; }
  const std::optional<Columns>& exog() const { return exog_; }
  const SarimaxConfig& config() const { return config_; }

 private:
  struct CachedEval {
    std::vector<double> x;
    std::vector<double> gradient;
    double cost;
  };
  const Columns* exog_ptr() const { return exog_ ? &*exog_ : nullptr; }
  // -score pulled back to the unconstrained x; hands the pipeline's form back to the cache.
  Evaluated<std::vector<double>> negated_unconstrained_score(Pipeline& pipeline, std::span<const double> x) const;
  const CachedEval* cache_hit(std::span<const double> x) const;

  std::vector<double> endog_;
  std::optional<Columns> exog_;
  SarimaxConfig config_;
  mutable std::optional<CachedEval> eval_cache_;
  mutable std::optional<StateSpace> state_space_cache_;
  mutable std::uint64_t pipeline_runs_ = 0;
};

// Central-difference gradient of -loglike with steps (|x_i| + 1) h; the first failure ends it.
Evaluated<std::vector<double>> finite_diff_grad_negll(const SarimaxObjective& objective,
                                                      std::span<const double> x, double h);

}  // namespace pelmora

namespace pelmora {

// The full unconstrained vector from a reduced one (which lacks the exog block) and the
// regression coefficients: trend, then beta, then the rest.
std::vector<double> insert_exog_block(std::span<const double> x_reduced, std::span<const double> beta, Trend trend);
// The reduced vector (or gradient) without the exog block.
std::vector<double> remove_exog_block(std::span<const double> x_full, const SarimaxConfig& config);

// One evaluation of the profiled objective.
struct ProfiledEval {
  SarimaxParams params;         // full parameter set, exog block = the GLS coefficients
  std::vector<double> x_full;   // full unconstrained vector
  double neg_loglike = 0.0;
};

// The negative exact log-likelihood with the regression coefficients concentrated out by
// generalised least squares: one batched filter pass over the series and every regressor
// column gives their prediction errors with one covariance recursion. The trend enters through
// the state intercept of that pass, and a zero series carries its response, which the regressor
// errors have removed; so the value equals the full log-likelihood at the GLS coefficients.
class ProfiledSarimaxObjective {
 public:
  ProfiledSarimaxObjective(std::vector<double> endog, Columns exog, SarimaxConfig config)
      : endog_(std::move(endog)), exog_(std::move(exog)), config_(config) {}

  Evaluated<ProfiledEval> eval_profiled(std::span<const double> x_reduced) const;
  Evaluated<std::vector<double>> analytical_gradient_negloglike(std::span<const double> x_reduced) const;
  const SarimaxConfig& config() const { return config_; }

 private:
  std::vector<double> endog_;
  Columns exog_;
  SarimaxConfig config_;
};

Evaluated<std::vector<double>> finite_diff_grad_profile_negll(const ProfiledSarimaxObjective& objective,
                                                              std::span<const double> x_reduced, double h);

}  // namespace pelmora
