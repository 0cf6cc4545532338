#pragma once

#include <optional>
#include <span>
#include <vector>

#include "params/params.hpp"
#include "types/linalg.hpp"
#include "types/types.hpp"

namespace pelmora {

// Conditional-sum-of-squares log-likelihood (no 2 pi term): difference, remove the regression,
// run the ARMA recursion from zero pre-sample errors. -inf marks an unusable fit.
double css_loglike_with_exog(std::span<const double> y, const SarimaxConfig& config, const SarimaxParams& params,
                             const Columns* exog);

// The CSS criterion as a cost over unconstrained parameters; the penalty where it fails.
class CssObjective {
 public:
  CssObjective(std::vector<double> endog, std::optional<Columns> exog, SarimaxConfig config)
      : endog_(std::move(endog)), exog_(std::move(exog)), config_(config) {}
  double cost(std::span<const double> x) const;
  const SarimaxConfig& config() const { return config_; }

 private:
  std::vector<double> endog_;
  std::optional<Columns> exog_;
  SarimaxConfig config_;
};

}  // namespace pelmora
