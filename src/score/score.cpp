#include "score/score.hpp"

#include <cmath>
#include <string>

#include "kalman/kalman.hpp"
#include "polynomial/polynomial.hpp"

namespace pelmora {

namespace {

// Polynomial coefficients at or below this magnitude do not enter dT or dR.
constexpr double kCoefficientFloor = 1e-15;
// Inverse variance recorded for an observation whose prediction variance is not positive
// (the filter counts it with variance 1e10).
constexpr double kSubstituteInverseVariance = 1e-10;

using Index = Eigen::Index;

// c = L^shift * poly, as a coefficient list.
std::vector<double> shifted(const std::vector<double>& poly, std::size_t shift) {
  std::vector<double> c(shift + poly.size(), 0.0);
  for (std::size_t j = 0; j < poly.size(); ++j) c[shift + j] = poly[j];
  return c;
}

std::vector<SparseT::Entry> ar_derivative(const std::vector<double>& c, std::size_t k_diff, std::size_t r) {
  std::vector<SparseT::Entry> entries;
  for (std::size_t j = 1; j <= r && j < c.size(); ++j) {
    if (std::abs(c[j]) > kCoefficientFloor) entries.push_back({k_diff + j - 1, k_diff, c[j]});
  }
  return entries;
}

Matrix ma_derivative(const std::vector<double>& c, std::size_t k_diff, std::size_t r, std::size_t k,
                     double q, const Vector& R) {
  Vector dR = Vector::Zero(static_cast<Index>(k));
  for (std::size_t j = 0; j < r && j < c.size(); ++j) {
    if (std::abs(c[j]) > kCoefficientFloor) dR[static_cast<Index>(k_diff + j)] = c[j];
  }
  return compute_drqr(q, dR, R);
}

// X = dT * P (rows of P scaled into the rows of dT's entries).
void sparse_left_product(const std::vector<SparseT::Entry>& dT, const Matrix& P, Matrix& X) {
  X.setZero();
  for (const auto& e : dT) X.row(static_cast<Index>(e.row)) += e.value * P.row(static_cast<Index>(e.col));
}

// out = dT x.
void sparse_vector_product(const std::vector<SparseT::Entry>& dT, const Vector& x, Vector& out) {
  for (const auto& e : dT) out[static_cast<Index>(e.row)] += e.value * x[static_cast<Index>(e.col)];
}

}  // namespace

Matrix compute_drqr(double q, const Vector& dR, const Vector& R) {
  return q * (R * dR.transpose() + dR * R.transpose());
}

void compute_dp_predict(const KalmanStrategy& strategy, const Matrix& T, const Matrix& Tt, const SparseT& Ts,
                        const SystemDerivatives::Param& derivative, const Matrix& P_f, const Matrix& zero_kk,
                        Matrix& dP, Matrix& W, Matrix& X, Matrix& M) {
  strategy.predict_cov(T, Tt, Ts, dP, derivative.d_rqr ? *derivative.d_rqr : zero_kk, W);
  if (!derivative.d_transition.empty()) {
    sparse_left_product(derivative.d_transition, P_f, X);
    strategy.right_multiply_transpose(X, Tt, Ts, M);
    dP += M + M.transpose();
  }
}

SystemDerivatives precompute_derivatives(const SarimaxConfig& config, const SarimaxParams& params,
                                         const StateSpace& ss, std::size_t n, const Columns* exog) {
  const SarimaxOrder& o = config.order;
  const std::size_t k = ss.k_states;
  const std::size_t k_diff = ss.k_diff;
  const std::size_t r = k - k_diff;
  const double q0 = ss.state_cov(0, 0);
  const Vector R = ss.selection.col(0);
  SystemDerivatives d;

  const std::size_t kt = config.k_trend();
  for (std::size_t j = 0; j < kt; ++j) {
    SystemDerivatives::Param p;
    p.d_state_intercept.assign(n * k, 0.0);
    const bool is_time = config.trend == Trend::Linear || (config.trend == Trend::ConstantLinear && j == 1);
    for (std::size_t t = 0; t < n; ++t) p.d_state_intercept[t * k + k_diff] = is_time ? static_cast<double>(t) : 1.0;
    d.params.push_back(std::move(p));
  }
  for (std::size_t j = 0; j < config.n_exog; ++j) {
    SystemDerivatives::Param p;
    if (exog != nullptr && j < exog->size()) p.d_obs_intercept = (*exog)[j];
    d.params.push_back(std::move(p));
  }
  const std::vector<double> sar = make_seasonal_ar_poly(params.seasonal_ar, o.s);
  const std::vector<double> sma = make_seasonal_ma_poly(params.seasonal_ma, o.s);
  const std::vector<double> ar = make_ar_poly(params.ar, o.p);
  const std::vector<double> ma = make_ma_poly(params.ma, o.q);
  for (std::size_t i = 1; i <= o.p; ++i) {
    SystemDerivatives::Param p;
    p.d_transition = ar_derivative(shifted(sar, i), k_diff, r);
    d.params.push_back(std::move(p));
  }
  for (std::size_t i = 1; i <= o.q; ++i) {
    SystemDerivatives::Param p;
    p.d_rqr = ma_derivative(shifted(sma, i), k_diff, r, k, q0, R);
    d.params.push_back(std::move(p));
  }
  for (std::size_t i = 1; i <= o.P; ++i) {
    SystemDerivatives::Param p;
    p.d_transition = ar_derivative(shifted(ar, i * o.s), k_diff, r);
    d.params.push_back(std::move(p));
  }
  for (std::size_t i = 1; i <= o.Q; ++i) {
    SystemDerivatives::Param p;
    p.d_rqr = ma_derivative(shifted(ma, i * o.s), k_diff, r, k, q0, R);
    d.params.push_back(std::move(p));
  }
  if (!config.concentrate_scale) {
    SystemDerivatives::Param p;
    p.d_rqr = R * R.transpose();
    d.params.push_back(std::move(p));
  }
  d.n_params = d.params.size();
  return d;
}

void ScoreSums::record(std::span<const double> dv, std::span<const double> dF, double v, double g) {
  for (std::size_t i = 0; i < s1.size(); ++i) {
    s1[i] += v * g * dv[i];
    s2[i] += v * v * g * g * dF[i];
    s3[i] += g * dF[i];
  }
}

void ObsRecords::record(std::span<const double> dv_, std::span<const double> dF_, double v_, double g_) {
  v.push_back(v_);
  g.push_back(g_);
  dv.emplace_back(dv_.begin(), dv_.end());
  dF.emplace_back(dF_.begin(), dF_.end());
}

double tlkf_pass(std::span<const double> y, const StateSpace& ss, const KalmanInit& init,
                 const SystemDerivatives& derivs, TlkfSink& sink) {
  const std::size_t n = y.size();
  const std::size_t k = ss.k_states;
  const Index kk = static_cast<Index>(k);
  const std::size_t np = derivs.n_params;
  const std::size_t burn = init.n_diffuse;
  const Matrix& T = ss.transition;
  const Vector& Z = ss.design;
  const Matrix Tt = T.transpose();
  const Matrix RQR = ss.selection * ss.state_cov * ss.selection.transpose();
  const SparseT Ts = SparseT::from_dense(T, k);
  const SparseZ Zs = SparseZ::from_dense(Z, k);
  const KalmanStrategy strategy = KalmanStrategy::choose(Ts);
  const bool use_state_intercept = ss.state_intercept.size() == n * k;
  const Matrix zero_kk = Matrix::Zero(kk, kk);

  Vector a = init.initial_state;
  Matrix P = init.initial_cov;
  std::vector<Vector> da(np, Vector::Zero(kk));
  std::vector<Matrix> dP(np, Matrix::Zero(kk, kk));

  // Derivatives of the initial distribution of a stationary ARMA block: the covariance solves
  // dP = A dP A' + dA P A' + A P dA' + dB, the mean da0 = (I - A)^{-1} (dc0 + dA a0).
  if (init.stationary_block) {
    const auto [start, size] = *init.stationary_block;
    const Index U = static_cast<Index>(start), m = static_cast<Index>(size);
    const Matrix A = T.block(U, U, m, m);
    const Matrix Pb = init.initial_cov.block(U, U, m, m);
    const Vector a0 = init.initial_state.segment(U, m);
    const auto lu = (Matrix::Identity(m, m) - A).fullPivLu();
    for (std::size_t i = 0; i < np; ++i) {
      const auto& p = derivs.params[i];
      Matrix dA = Matrix::Zero(m, m);
      bool has_dA = false;
      for (const auto& e : p.d_transition) {
        const Index row = static_cast<Index>(e.row) - U, col = static_cast<Index>(e.col) - U;
        if (row >= 0 && row < m && col >= 0 && col < m) {
          dA(row, col) += e.value;
          has_dA = true;
        }
      }
      Matrix rhs = Matrix::Zero(m, m);
      if (has_dA) {
        const Matrix M = dA * Pb * A.transpose();
        rhs += M + M.transpose();
      }
      if (p.d_rqr) rhs += p.d_rqr->block(U, U, m, m);
      if (has_dA || p.d_rqr) {
        if (auto X = solve_lyapunov_general(A, rhs)) dP[i].block(U, U, m, m) = *X;
      }
      Vector dc0 = Vector::Zero(m);
      if (p.d_state_intercept.size() >= k) dc0 = Eigen::Map<const Vector>(p.d_state_intercept.data() + U, m);
      const Vector rhs_mean = dc0 + dA * a0;
      if (!rhs_mean.isZero(0.0)) {
        const Vector mean = lu.solve(rhs_mean);
        if (mean.allFinite()) da[i].segment(U, m) = mean;
      }
    }
  }

  Vector PZ(kk), PZ_old = Vector::Zero(kk), PZ_ss(kk), a_f(kk), a_next(kk), tmp(kk);
  Matrix P_f(kk, kk), W(kk, kk), X(kk, kk), M(kk, kk);
  std::vector<Vector> dPZ(np, Vector::Zero(kk));
  std::vector<double> dv(np, 0.0), dF(np, 0.0);
  bool steady = false;
  int count = 0;
  double g_ss = 0.0;
  double sum = 0.0;

  // da_i <- T da_i + dT_i a_f + dc_i(t)
  auto predict_derivative_states = [&](std::size_t t) {
    for (std::size_t i = 0; i < np; ++i) {
      const auto& p = derivs.params[i];
      strategy.apply_transition(T, Ts, da[i], tmp);
      sparse_vector_product(p.d_transition, a_f, tmp);
      if (!p.d_state_intercept.empty()) tmp += Eigen::Map<const Vector>(p.d_state_intercept.data() + t * k, kk);
      da[i].swap(tmp);
    }
  };

  for (std::size_t t = 0; t < n; ++t) {
    const double d_t = t < ss.obs_intercept.size() ? ss.obs_intercept[t] : 0.0;
    const double v = y[t] - Z.dot(a) - d_t;
    for (std::size_t i = 0; i < np; ++i) {
      const auto& obs = derivs.params[i].d_obs_intercept;
      dv[i] = -(obs.empty() ? 0.0 : obs[t]) - Z.dot(da[i]);
    }

    if (steady) {
      if (t >= burn) {
        sink.record(dv, dF, v, g_ss);
        sum += v * v * g_ss;
      }
      a_f = a + PZ_ss * (v * g_ss);
      for (std::size_t i = 0; i < np; ++i) {
        da[i] += dPZ[i] * (v * g_ss) + PZ_ss * (dv[i] * g_ss - dF[i] * v * g_ss * g_ss);
      }
      strategy.predict_state(T, Ts, a_f, a, ss.state_intercept, t, k, use_state_intercept);
      predict_derivative_states(t);
      continue;
    }

    const double F = strategy.compute_pz_and_f(P, Z, Zs, PZ);
    if (F > 0.0) {
      for (std::size_t i = 0; i < np; ++i) dF[i] = strategy.compute_pz_and_f(dP[i], Z, Zs, dPZ[i]);
      if (t >= burn) {
        sink.record(dv, dF, v, 1.0 / F);
        sum += v * v / F;
      }
      const double vf = v / F;
      for (std::size_t i = 0; i < np; ++i) {
        da[i] += dPZ[i] * vf + PZ * (dv[i] / F - dF[i] * v / (F * F));
        // dP_i += PZ PZ' dF_i / F^2 - (dPZ_i PZ' + PZ dPZ_i') / F
        for (Index j = 0; j < kk; ++j) {
          dP[i].col(j) += PZ * (PZ[j] * dF[i] / (F * F)) - (dPZ[i] * PZ[j] + PZ * dPZ[i][j]) / F;
        }
      }
      a += PZ * vf;
      for (Index j = 0; j < kk; ++j) P.col(j) += PZ * (-PZ[j] / F);
    } else {
      std::fill(dF.begin(), dF.end(), 0.0);
      if (t >= burn) {
        sink.record(dv, dF, v, kSubstituteInverseVariance);
        sum += v * v * kSubstituteInverseVariance;
      }
    }

    // Prediction of the state, the covariance and their derivatives.
    a_f = a;
    P_f = P;
    strategy.predict_state(T, Ts, a_f, a, ss.state_intercept, t, k, use_state_intercept);
    strategy.predict_cov(T, Tt, Ts, P, RQR, W);
    predict_derivative_states(t);
    for (std::size_t i = 0; i < np; ++i) {
      compute_dp_predict(strategy, T, Tt, Ts, derivs.params[i], P_f, zero_kk, dP[i], W, X, M);
    }

    if (t >= burn) {
      Vector& PZn = tmp;
      strategy.compute_pz_and_f(P, Z, Zs, PZn);
      if (t >= burn + kSteadyDelay) {
        const double rel = (PZn - PZ_old).norm() / std::max(PZ_old.norm(), kSteadyNormFloor);
        count = rel < kSteadyTolerance ? count + 1 : 0;
        if (rel < kSteadyTolerance && count >= kSteadyChecks) {
          const double F_ss = Z.dot(PZn);
          if (std::isfinite(F_ss) && F_ss > 0.0) {
            steady = true;
            PZ_ss = PZn;
            g_ss = 1.0 / F_ss;
          }
        }
      }
      PZ_old = PZn;
    }
  }
  return sum;
}

namespace {

Result<double> score_scale(std::size_t n, std::size_t burn, double sum, bool concentrate_scale,
                           const char* what) {
  if (!concentrate_scale) return 1.0;
  const double sigma2 = sum / static_cast<double>(n - burn);
  if (sigma2 <= 0.0) {
    return std::unexpected(
        SarimaxError::data_error(std::string("concentrated sigma^2 <= 0 in ") + what + " computation"));
  }
  return sigma2;
}

std::optional<SarimaxError> check_length(std::size_t n, std::size_t burn, const Columns* exog) {
  if (burn >= n) {
    return SarimaxError::data_error("Not enough observations: n=" + std::to_string(n) +
                                    " <= burn=" + std::to_string(burn));
  }
  // The regressors are read at every observation; the state space checked the same rule.
  if (exog != nullptr) {
    for (std::size_t j = 0; j < exog->size(); ++j) {
      if ((*exog)[j].size() != n) {
        return SarimaxError::data_error("exog column " + std::to_string(j) + " has " +
                                        std::to_string((*exog)[j].size()) + " rows but y has " +
                                        std::to_string(n) + " observations");
      }
    }
  }
  return std::nullopt;
}

}  // namespace

Result<std::vector<double>> score(std::span<const double> endog, const StateSpace& ss, const KalmanInit& init,
                                  const SarimaxConfig& config, const SarimaxParams& params,
                                  bool concentrate_scale, const Columns* exog) {
  const std::size_t n = endog.size();
  if (auto e = check_length(n, init.n_diffuse, exog)) return std::unexpected(std::move(*e));
  const SystemDerivatives derivs = precompute_derivatives(config, params, ss, n, exog);
  if (derivs.n_params == 0) return std::vector<double>{};
  ScoreSums sums(derivs.n_params);
  const double X = tlkf_pass(endog, ss, init, derivs, sums);
  auto sigma2 = score_scale(n, init.n_diffuse, X, concentrate_scale, "score");
  if (!sigma2) return std::unexpected(std::move(sigma2.error()));
  std::vector<double> grad(derivs.n_params);
  for (std::size_t i = 0; i < grad.size(); ++i) {
    grad[i] = 0.5 * sums.s2[i] / *sigma2 - sums.s1[i] / *sigma2 - 0.5 * sums.s3[i];
  }
  return grad;
}

Result<std::vector<std::vector<double>>> score_obs(std::span<const double> endog, const StateSpace& ss,
                                                   const KalmanInit& init, const SarimaxConfig& config,
                                                   const SarimaxParams& params, bool concentrate_scale,
                                                   const Columns* exog) {
  const std::size_t n = endog.size();
  if (auto e = check_length(n, init.n_diffuse, exog)) return std::unexpected(std::move(*e));
  const SystemDerivatives derivs = precompute_derivatives(config, params, ss, n, exog);
  if (derivs.n_params == 0) return std::vector<std::vector<double>>(n - init.n_diffuse);
  ObsRecords records;
  const double X = tlkf_pass(endog, ss, init, derivs, records);
  auto sigma2 = score_scale(n, init.n_diffuse, X, concentrate_scale, "score_obs");
  if (!sigma2) return std::unexpected(std::move(sigma2.error()));
  std::vector<std::vector<double>> out(records.v.size(), std::vector<double>(derivs.n_params));
  for (std::size_t t = 0; t < records.v.size(); ++t) {
    const double v = records.v[t], g = records.g[t];
    for (std::size_t i = 0; i < derivs.n_params; ++i) {
      const double dF = records.dF[t][i];
      out[t][i] = 0.5 * (v * v * g * g * dF / *sigma2 - g * dF) - g * v * records.dv[t][i] / *sigma2;
    }
  }
  return out;
}

}  // namespace pelmora
