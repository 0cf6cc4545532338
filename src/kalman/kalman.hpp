#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "initialization/initialization.hpp"
#include "kalman/strategy.hpp"
#include "state_space/state_space.hpp"
#include "types/linalg.hpp"

namespace pelmora {

// Variance that stands in for a non-positive (or NaN) prediction variance.
inline constexpr double kNonPositiveVarianceSubstitute = 1e10;
inline constexpr double kLog2Pi = 1.8378770664093453;
// Steady-state switch, shared by every filter: the relative change of P Z must stay below 1e-9
// (norm floor 1e-15) on 3 consecutive checks, which begin 5 observations after the burn.
inline constexpr double kSteadyTolerance = 1e-9;
inline constexpr int kSteadyChecks = 3;
inline constexpr std::size_t kSteadyDelay = 5;
inline constexpr double kSteadyNormFloor = 1e-15;

struct KalmanFilterOutput {
  std::vector<double> residuals;             // v_t for every t, burn included
  std::vector<double> innovation_variances;  // F_t for every t, only with keep_steps
  Vector filtered_state;                     // a_{t|t} of the last step (with keep_steps)
  Matrix filtered_cov;                       // P_{t|t} of the last step (with keep_steps)
  Vector predicted_state;                    // prediction for time n (with keep_steps)
  Matrix predicted_cov;                      // (with keep_steps)
  double loglike = 0.0;
  double scale = 0.0;
  std::size_t nobs = 0;
};

struct KalmanOutput {
  std::vector<double> residuals;
  double loglike = 0.0;
  double scale = 0.0;
  std::size_t nobs = 0;
};

// Predicted state and covariance for time `origin`, from the observations before it.
struct StateSnapshot {
  Vector state;
  Matrix cov;
  std::size_t origin = 0;
};

// Origins (ascending, each <= n) at which the filter records its predicted distribution.
struct SnapshotRequest {
  std::vector<std::size_t> origins;
  std::vector<StateSnapshot> snapshots;
};

// Univariate Kalman filter with the exact Gaussian log-likelihood. Switches to a frozen gain
// once P Z has converged; observations with F_t <= 0 count with variance 1e10 and no update.
// `force` overrides the choice of dense or sparse products (benchmarks compare the two).
Result<KalmanFilterOutput> kalman_core(std::span<const double> y, const StateSpace& state_space,
                                       const KalmanInit& init, bool concentrate_scale,
                                       bool keep_steps, SnapshotRequest* snapshots,
                                       std::optional<KalmanStrategy::Kind> force = std::nullopt);

Result<KalmanOutput> kalman_loglike(std::span<const double> y, const StateSpace& state_space,
                                    const KalmanInit& init, bool concentrate_scale);

// kalman_core with per-step results kept and snapshots taken at `origins`.
Result<std::pair<KalmanFilterOutput, std::vector<StateSnapshot>>> kalman_filter_with_snapshots(
    std::span<const double> y, const StateSpace& state_space, const KalmanInit& init,
    bool concentrate_scale, std::span<const std::size_t> origins);

}  // namespace pelmora
