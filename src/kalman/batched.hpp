#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "initialization/initialization.hpp"
#include "state_space/state_space.hpp"

namespace pelmora {

struct BatchedKalmanOutput {
  std::vector<std::vector<double>> residuals;  // per series, burn included
  std::vector<double> innovation_variances;    // the common F_t, burn included
  std::size_t nobs = 0;                        // n - burn
};

// Filters several series of one length with one model: the covariance recursion (which does
// not depend on the data) is shared, each series keeps its own state.
Result<BatchedKalmanOutput> kalman_filter_batched(std::span<const std::span<const double>> series,
                                                  const StateSpace& state_space, const KalmanInit& init);

}  // namespace pelmora
