#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "types/linalg.hpp"

namespace pelmora {

// The general optimisation facility: Nelder-Mead, BFGS and L-BFGS over an unconstrained
// vector, the quasi-Newton methods with the More-Thuente line search (MINPACK-2's dcsrch).
// Every function is a plain callable; errors are message strings.

using CostFunction = std::function<double(std::span<const double>)>;
using GradientFunction = std::function<std::vector<double>(std::span<const double>)>;

enum class StopReason { Converged, IterationCap, TargetCost };

struct MinimizerReport {
  std::optional<std::vector<double>> best_x;  // absent when no comparable cost was ever seen
  double best_f = std::numeric_limits<double>::quiet_NaN();
  std::uint64_t n_iter = 0;
  StopReason stop = StopReason::IterationCap;
};

struct NelderMeadSettings {
  double reflection = 1.0;
  double expansion = 2.0;
  double contraction = 0.5;
  double shrink = 0.5;
  double sd_tolerance = 1e-6;
  std::uint64_t max_iter = 0;
  double target_cost = -std::numeric_limits<double>::infinity();
};

// Standard Nelder-Mead from the given simplex (n + 1 vertices of length n), vertices kept
// stably sorted by cost.
std::expected<MinimizerReport, std::string> nelder_mead(const CostFunction& cost,
                                                        std::vector<std::vector<double>> simplex,
                                                        const NelderMeadSettings& settings);

struct LineSearchSettings {
  double ftol = 1e-4;    // sufficient decrease
  double gtol = 0.9;     // curvature
  double xtol = 1e-10;   // relative interval width
  double initial_step = 1.0;
  double min_step = 1.4901161193847656e-8;  // 2^-26
  double max_step = std::numeric_limits<double>::infinity();
};

struct LineSearchResult {
  std::vector<double> x;
  double f;
  std::vector<double> g;
};

// More-Thuente search along d from (x, f, g); returns the last trial point, or an error (a
// non-descent direction, or an input error of the search).
std::expected<LineSearchResult, std::string> more_thuente(const CostFunction& cost, const GradientFunction& gradient,
                                                          std::span<const double> x, double f,
                                                          std::span<const double> g, std::span<const double> d,
                                                          const LineSearchSettings& settings);

struct QuasiNewtonSettings {
  double grad_tolerance = 1e-5;
  double cost_tolerance = 1e-9;
  std::uint64_t max_iter = 0;
  double target_cost = -std::numeric_limits<double>::infinity();
  LineSearchSettings line_search;
};

// BFGS with a dense inverse Hessian from H0 (no curvature safeguard).
std::expected<MinimizerReport, std::string> bfgs(const CostFunction& cost, const GradientFunction& gradient,
                                                 std::vector<double> x0, Matrix H0,
                                                 const QuasiNewtonSettings& settings);

// L-BFGS with `memory` correction pairs (every pair stored, no curvature test).
std::expected<MinimizerReport, std::string> lbfgs(const CostFunction& cost, const GradientFunction& gradient,
                                                  std::vector<double> x0, std::size_t memory,
                                                  const QuasiNewtonSettings& settings);

}  // namespace pelmora
