#pragma once

#include <cstddef>
#include <expected>
#include <string>

namespace pelmora {

// The one error type of the numerical core. Kinds with a message own their text; the display
// adds the fixed prefix of the kind.
class SarimaxError {
 public:
  enum class Kind {
    ParamLengthMismatch,
    StateSpaceConstruction,
    CholeskyFailed,
    OptimizationFailed,
    NonStationaryAr,
    NonInvertibleMa,
    DataError,
    InvalidInput,
    InferenceFailed,
  };

  static SarimaxError param_length_mismatch(std::size_t expected, std::size_t got);
  static SarimaxError state_space_construction(std::string message);
  static SarimaxError cholesky_failed();
  static SarimaxError optimization_failed(std::string message);
  static SarimaxError non_stationary_ar();
  static SarimaxError non_invertible_ma();
  static SarimaxError data_error(std::string message);
  static SarimaxError invalid_input(std::string message);
  static SarimaxError inference_failed(std::string message);

  Kind kind() const { return kind_; }
  // The message payload (empty for kinds without one).
  const std::string& message() const { return message_; }
  std::size_t expected() const { return expected_; }
  std::size_t got() const { return got_; }

  // The display text, which is also the Python exception message.
  std::string display() const;

 private:
  SarimaxError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
  std::size_t expected_ = 0;
  std::size_t got_ = 0;
};

template <typename T>
using Result = std::expected<T, SarimaxError>;

}  // namespace pelmora
