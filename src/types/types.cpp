#include "types/types.hpp"

#include <algorithm>

namespace pelmora {

std::size_t SarimaxOrder::k_arma() const { return std::max(p + P * s, q + Q * s + 1); }

std::size_t SarimaxOrder::k_states() const { return d + D * s + k_arma(); }

std::size_t k_trend(Trend trend) {
  switch (trend) {
    case Trend::None:
      return 0;
    case Trend::Constant:
    case Trend::Linear:
      return 1;
    case Trend::ConstantLinear:
      return 2;
  }
  return 0;
}

std::size_t SarimaxConfig::n_params() const {
  return k_trend() + n_exog + order.p + order.q + order.P + order.Q + (concentrate_scale ? 0 : 1);
}

std::expected<Trend, std::string> parse_trend(std::optional<std::string_view> text) {
  if (!text) return Trend::None;
  const std::string_view t = *text;
  if (t == "n") return Trend::None;
  if (t == "c") return Trend::Constant;
  if (t == "t") return Trend::Linear;
  if (t == "ct" || t == "tc") return Trend::ConstantLinear;
  return std::unexpected("unknown trend '" + std::string(t) +
                         "', expected one of: 'n', 'c', 't', 'ct'");
}

namespace {

std::string exceeds(const char* what, std::size_t value, std::size_t max) {
  return std::string(what) + std::to_string(value) + " exceeds maximum " + std::to_string(max);
}

}  // namespace

std::expected<void, std::string> validate_order(std::size_t p, std::size_t d, std::size_t q,
                                                std::size_t P, std::size_t D, std::size_t Q,
                                                std::size_t s, std::size_t n_exog) {
  if (p > kMaxP) return std::unexpected(exceeds("AR order p=", p, kMaxP));
  if (q > kMaxQ) return std::unexpected(exceeds("MA order q=", q, kMaxQ));
  if (d > kMaxD) return std::unexpected(exceeds("differencing order d=", d, kMaxD));
  if (P > kMaxSeasonalP) return std::unexpected(exceeds("seasonal AR order P=", P, kMaxSeasonalP));
  if (Q > kMaxSeasonalQ) return std::unexpected(exceeds("seasonal MA order Q=", Q, kMaxSeasonalQ));
  if (D > kMaxSeasonalD) return std::unexpected(exceeds("seasonal differencing D=", D, kMaxSeasonalD));
  if (s > kMaxPeriod) return std::unexpected(exceeds("seasonal period s=", s, kMaxPeriod));
  if (n_exog > kMaxExog) return std::unexpected(exceeds("n_exog=", n_exog, kMaxExog));
  if (s < 2 && (P > 0 || D > 0 || Q > 0)) {
    return std::unexpected(std::string("seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"));
  }
  // All factors are bounded above, so this cannot overflow.
  const SarimaxOrder order{p, d, q, P, D, Q, s};
  const std::size_t k = order.k_states();
  if (k > kMaxStates) {
    return std::unexpected("model too large: k_states=" + std::to_string(k) + " exceeds limit " +
                           std::to_string(kMaxStates));
  }
  return {};
}

}  // namespace pelmora
