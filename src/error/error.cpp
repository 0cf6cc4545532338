#include "error/error.hpp"

#include <utility>

namespace pelmora {

SarimaxError SarimaxError::param_length_mismatch(std::size_t expected, std::size_t got) {
  SarimaxError error(Kind::ParamLengthMismatch, {});
  error.expected_ = expected;
  error.got_ = got;
  return error;
}
SarimaxError SarimaxError::state_space_construction(std::string message) {
  return {Kind::StateSpaceConstruction, std::move(message)};
}
SarimaxError SarimaxError::cholesky_failed() { return {Kind::CholeskyFailed, {}}; }
SarimaxError SarimaxError::optimization_failed(std::string message) {
  return {Kind::OptimizationFailed, std::move(message)};
}
SarimaxError SarimaxError::non_stationary_ar() { return {Kind::NonStationaryAr, {}}; }
SarimaxError SarimaxError::non_invertible_ma() { return {Kind::NonInvertibleMa, {}}; }
SarimaxError SarimaxError::data_error(std::string message) { return {Kind::DataError, std::move(message)}; }
SarimaxError SarimaxError::invalid_input(std::string message) {
  return {Kind::InvalidInput, std::move(message)};
}
SarimaxError SarimaxError::inference_failed(std::string message) {
  return {Kind::InferenceFailed, std::move(message)};
}

std::string SarimaxError::display() const {
  switch (kind_) {
    case Kind::ParamLengthMismatch:
      return "parameter length mismatch: expected " + std::to_string(expected_) + ", got " +
             std::to_string(got_);
    case Kind::StateSpaceConstruction:
      return "state space construction failed: " + message_;
    case Kind::CholeskyFailed:
      return "Cholesky decomposition failed: covariance matrix is not positive-definite";
    case Kind::OptimizationFailed:
      return "optimization failed: " + message_;
    case Kind::NonStationaryAr:
      return "non-stationary AR polynomial";
    case Kind::NonInvertibleMa:
      return "non-invertible MA polynomial";
    case Kind::DataError:
      return "data error: " + message_;
    case Kind::InvalidInput:
      return "invalid input: " + message_;
    case Kind::InferenceFailed:
      return "inference computation failed: " + message_;
  }
  return message_;
}

}  // namespace pelmora
