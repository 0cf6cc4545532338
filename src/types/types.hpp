#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// Orders of a seasonal ARIMA(p, d, q)(P, D, Q)s model.
struct SarimaxOrder {
  std::size_t p = 0;
  std::size_t d = 0;
  std::size_t q = 0;
  std::size_t P = 0;
  std::size_t D = 0;
  std::size_t Q = 0;
  std::size_t s = 0;

  // State dimension of the full (not pre-differenced) form.
  std::size_t k_states() const;
  // r = max(p + P*s, q + Q*s + 1): the ARMA block of the state.
  std::size_t k_arma() const;
};

// Deterministic trend; the code values are part of the interface.
enum class Trend : std::uint8_t { None = 0, Constant = 1, Linear = 2, ConstantLinear = 3 };

std::size_t k_trend(Trend trend);

// One model specification: a small plain value, copied per batch item.
struct SarimaxConfig {
  SarimaxOrder order;
  std::size_t n_exog = 0;
  Trend trend = Trend::None;
  bool enforce_stationarity = true;
  bool enforce_invertibility = true;
  bool concentrate_scale = false;
  bool simple_differencing = false;

  std::size_t k_trend() const { return pelmora::k_trend(trend); }
  // Length of the flat parameter vector.
  std::size_t n_params() const;
};

// Outcome of one fit.
struct FitResult {
  std::vector<double> params;
  std::string method;
  std::vector<std::string> warnings;
  double loglike = 0.0;
  double scale = 0.0;
  std::size_t n_obs = 0;
  std::size_t n_params = 0;
  std::uint64_t n_iter = 0;
  double aic = 0.0;
  double bic = 0.0;
  bool converged = false;
};

inline constexpr std::size_t kMaxP = 20;
inline constexpr std::size_t kMaxQ = 20;
inline constexpr std::size_t kMaxD = 3;
inline constexpr std::size_t kMaxSeasonalP = 4;
inline constexpr std::size_t kMaxSeasonalQ = 4;
inline constexpr std::size_t kMaxSeasonalD = 2;
inline constexpr std::size_t kMaxPeriod = 365;
inline constexpr std::size_t kMaxExog = 100;
inline constexpr std::size_t kMaxStates = 1024;

// Trend text ("n", "c", "t", "ct" or "tc"; absent means "n"). The error is the boundary's
// ValueError message.
std::expected<Trend, std::string> parse_trend(std::optional<std::string_view> text);

// Configuration limits, tested in a fixed order; the error is the first failing limit's
// ValueError message.
std::expected<void, std::string> validate_order(std::size_t p, std::size_t d, std::size_t q,
                                                std::size_t P, std::size_t D, std::size_t Q,
                                                std::size_t s, std::size_t n_exog);

}  // namespace pelmora
