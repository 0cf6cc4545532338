#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "initialization/initialization.hpp"
#include "kalman/strategy.hpp"
#include "params/params.hpp"
#include "state_space/state_space.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

// Derivatives of the system matrices with respect to each estimated parameter, in flat layout
// order (trend, exog, ar, ma, seasonal ar, seasonal ma, sigma2 unless concentrated).
struct SystemDerivatives {
  struct Param {
    std::vector<SparseT::Entry> d_transition;  // nonzero entries of dT/dtheta
    std::optional<Matrix> d_rqr;               // d(R Q R')/dtheta
    std::vector<double> d_obs_intercept;       // n values, or empty
    std::vector<double> d_state_intercept;     // n*k values (time-major), or empty
  };
  std::vector<Param> params;
  std::size_t n_params = 0;
};

SystemDerivatives precompute_derivatives(const SarimaxConfig& config, const SarimaxParams& params,
                                         const StateSpace& state_space, std::size_t n, const Columns* exog);

// M[i][j] = q (R_i dR_j + dR_i R_j).
Matrix compute_drqr(double q, const Vector& dR, const Vector& R);

// dP <- T dP T' + dT P_f T' + T P_f dT' + d(RQR') for one parameter (P_f symmetric, so the
// middle terms are M and M' with M = dT P_f T'). W, X and M are k x k work matrices.
void compute_dp_predict(const KalmanStrategy& strategy, const Matrix& T, const Matrix& Tt, const SparseT& Ts,
                        const SystemDerivatives::Param& derivative, const Matrix& P_f, const Matrix& zero_kk,
                        Matrix& dP, Matrix& W, Matrix& X, Matrix& M);

// Per-observation quantities of the tangent-linear pass, handed over at every observation
// that enters the likelihood.
class TlkfSink {
 public:
  virtual ~TlkfSink() = default;
  // dv, dF: derivatives of the innovation and its variance; g: the inverse variance used.
  virtual void record(std::span<const double> dv, std::span<const double> dF, double v, double g) = 0;
};

// The three sums the gradient needs.
class ScoreSums final : public TlkfSink {
 public:
  explicit ScoreSums(std::size_t n_params) : s1(n_params, 0.0), s2(n_params, 0.0), s3(n_params, 0.0) {}
  void record(std::span<const double> dv, std::span<const double> dF, double v, double g) override;
  std::vector<double> s1, s2, s3;
};

// Every observation's values, for per-observation scores.
class ObsRecords final : public TlkfSink {
 public:
  void record(std::span<const double> dv, std::span<const double> dF, double v, double g) override;
  std::vector<double> v, g;
  std::vector<std::vector<double>> dv, dF;
};

// Runs the filter together with its derivative for every parameter and returns the sum of
// v^2 g over the recorded observations. Never fails.
double tlkf_pass(std::span<const double> y, const StateSpace& state_space, const KalmanInit& init,
                 const SystemDerivatives& derivs, TlkfSink& sink);

// Exact gradient of the log-likelihood in the constrained parameters.
Result<std::vector<double>> score(std::span<const double> endog, const StateSpace& state_space,
                                  const KalmanInit& init, const SarimaxConfig& config,
                                  const SarimaxParams& params, bool concentrate_scale, const Columns* exog);

// One gradient per observation after the burn; they sum to score().
Result<std::vector<std::vector<double>>> score_obs(std::span<const double> endog,
                                                   const StateSpace& state_space, const KalmanInit& init,
                                                   const SarimaxConfig& config, const SarimaxParams& params,
                                                   bool concentrate_scale, const Columns* exog);

}  // namespace pelmora
