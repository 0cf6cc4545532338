#pragma once

#include <cstddef>
#include <optional>
#include <utility>

#include "state_space/state_space.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

// Variance given to states whose initial distribution is unknown.
inline constexpr double kApproxDiffuseVariance = 1e6;

// Initial state distribution. The first n_diffuse observations (the burn) are excluded from
// the likelihood.
struct KalmanInit {
  // (start, size) of the ARMA block when it starts from its stationary distribution.
  std::optional<std::pair<std::size_t, std::size_t>> stationary_block;
  Vector initial_state;
  Matrix initial_cov;
  std::size_t n_diffuse = 0;

  // Every state at mean 0 with variance 1e6; burn k.
  static KalmanInit approximate_diffuse(std::size_t k);

  // Differencing states approximately diffuse; the ARMA block at its stationary mean and
  // covariance when stationarity is enforced. Never fails: any numerical failure falls back to
  // approximate_diffuse.
  static KalmanInit from_config_default(const StateSpace& state_space, const SarimaxConfig& config);
};

// Solves P = A P A' + B by doubling; absent when it does not converge in 100 doublings or
// the solution is not finite.
std::optional<Matrix> lyapunov_doubling(const Matrix& A, const Matrix& B);

// lyapunov_doubling followed by symmetrisation.
std::optional<Matrix> solve_lyapunov_general(const Matrix& A, const Matrix& B);

// True when a Cholesky factorisation of the symmetric matrix succeeds, i.e. every pivot is
// strictly positive (NaN pivots fail).
bool cholesky_succeeds(const Matrix& P);

}  // namespace pelmora
