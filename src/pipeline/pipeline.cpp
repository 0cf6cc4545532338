#include "pipeline/pipeline.hpp"

#include <string>

#include "css/differencing.hpp"
#include "initialization/initialization.hpp"
#include "state_space/state_space.hpp"

namespace pelmora {

Result<PreparedEndog> prepare_endog(std::span<const double> y, const SarimaxConfig& config,
                                    const Columns* exog) {
  PreparedEndog out;
  if (!config.simple_differencing) {
    out.y.assign(y.begin(), y.end());
    if (exog != nullptr) out.exog = *exog;
    return out;
  }
  // A series no longer than the differencing span has nothing left once differenced; the
  // differencing routine would instead skip the steps it cannot take and leave a partly
  // differenced series that the model would then score as if fully differenced.
  const SarimaxOrder& o = config.order;
  if (y.size() <= o.d + o.s * o.D) {
    out.y.clear();
    if (exog != nullptr) out.exog = Columns(exog->size());
    return out;
  }
  out.y = apply_differencing(y, config);
  if (exog != nullptr) {
    Columns diffed;
    diffed.reserve(exog->size());
    for (std::size_t j = 0; j < exog->size(); ++j) {
      diffed.push_back(apply_differencing((*exog)[j], config));
      if (diffed.back().size() != out.y.size()) {
        return std::unexpected(SarimaxError::invalid_input(
            "exog column " + std::to_string(j) + " has " + std::to_string(diffed.back().size()) +
            " rows after simple_differencing, but y has " + std::to_string(out.y.size()) +
            " observations"));
      }
    }
    out.exog = std::move(diffed);
  }
  return out;
}

Result<FilterInputs> filter_inputs(std::span<const double> y, const SarimaxConfig& config, const Columns* exog,
                                   std::optional<PreparedEndog>& storage) {
  if (!config.simple_differencing) return FilterInputs{y, exog};
  auto prepared = prepare_endog(y, config, exog);
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  storage = std::move(*prepared);
  return FilterInputs{storage->y, storage->exog ? &*storage->exog : nullptr};
}

Result<KalmanOutput> kalman_eval(std::span<const double> y, const SarimaxParams& params,
                                 const SarimaxConfig& config, const Columns* exog) {
  std::optional<PreparedEndog> storage;
  auto inputs = filter_inputs(y, config, exog, storage);
  if (!inputs) return std::unexpected(std::move(inputs.error()));
  auto ss = StateSpace::build(config, params, inputs->y.size(), inputs->exog);
  if (!ss) return std::unexpected(std::move(ss.error()));
  const KalmanInit init = KalmanInit::from_config_default(*ss, config);
  return kalman_loglike(inputs->y, *ss, init, config.concentrate_scale);
}

}  // namespace pelmora
