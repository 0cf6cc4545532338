#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error/error.hpp"
#include "params/params.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

// Start values: the caller's (length-checked) or computed ones, after checking the series is
// long enough for the model.
Result<std::vector<double>> validate_and_get_start_params(std::span<const double> y, const SarimaxConfig& config,
                                                          const std::optional<std::vector<double>>& start_params,
                                                          const Columns* exog);

// Exact log-likelihood at constrained params on the raw series, or -inf on any failure.
double eval_kf_loglike_constrained(std::span<const double> y, const SarimaxConfig& config,
                                   std::span<const double> params, const Columns* exog);

// How many perturbed restarts the multi-start strategies make, from the start length m.
std::uint32_t n_starts(std::size_t m, std::size_t P, std::size_t Q);

// Eigenvalues of the companion matrix of c (first row c, ones below the diagonal): the inverted
// roots of 1 - c_1 z - ... - c_m z^m. Empty when the Schur iteration does not converge.
std::vector<std::complex<double>> polynomial_roots(std::span<const double> c);

// True unless an inverted AR root and an inverted MA root of the non-seasonal parts lie within
// `tol` of each other (a near-cancelling, poorly identified pair).
bool validate_no_near_cancellation(const SarimaxParams& params, std::size_t p, std::size_t q, double tol);

// On the unconstrained x: near cancellation at 0.05 / clear of it at 0.01.
bool on_cancellation_ridge(std::span<const double> x, const SarimaxConfig& config);
bool passes_cancellation_filter(std::span<const double> x, const SarimaxConfig& config);

// Minimises the conditional sum of squares from a constrained start with at most `budget`
// evaluations (L-BFGS-B on [-10, 10], Nelder-Mead when that fails). Nothing on failure.
std::optional<std::vector<double>> run_css_optimization(std::span<const double> y, const SarimaxConfig& config,
                                                        std::span<const double> start, std::uint64_t budget,
                                                        const Columns* exog);

// Fits the model to the simply differenced series and returns that estimate as a start for the
// full model. Nothing on failure.
std::optional<std::vector<double>> run_sd_warm_start(std::span<const double> y, const SarimaxConfig& config,
                                                     const Columns* exog);

// The fit methods, in the order the unknown-method message lists them.
inline constexpr const char* kFitMethods[] = {"lbfgsb",       "lbfgsb-multi",         "lbfgsb-adaptive",
                                              "lbfgsb-hybrid", "lbfgsb-strict",        "lbfgsb_single",
                                              "lbfgs",        "bfgs",                 "trust-region",
                                              "profile-trust-region", "nelder-mead", "nm"};

// Maximum-likelihood fit of one series: method and budget resolution, start values and
// pre-estimation, one optimiser strategy, and the result record at the optimum.
Result<FitResult> fit(std::span<const double> y, const SarimaxConfig& config,
                      const std::optional<std::vector<double>>& start_params, const std::optional<std::string>& method,
                      std::optional<std::uint64_t> maxiter, const Columns* exog);

// The result record at the unconstrained x (with the near-cancellation warning), or at the
// constrained params with no iterations.
Result<FitResult> build_fit_result(std::span<const double> series, std::size_t n_obs, const SarimaxConfig& config,
                                   std::span<const double> x, std::uint64_t n_iter, bool converged,
                                   const std::string& method, const Columns* regressors);
Result<FitResult> build_zero_iter_result(std::span<const double> series, std::size_t n_obs,
                                         const SarimaxConfig& config, std::span<const double> params,
                                         const Columns* regressors, const std::string& method);

}  // namespace pelmora
