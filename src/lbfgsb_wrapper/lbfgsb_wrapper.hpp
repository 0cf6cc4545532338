#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace pelmora {

// Driver for L-BFGS-B 3.0 (Byrd, Lu, Nocedal and Zhu 1995; Morales and Nocedal 2011) through
// its reverse-communication entry point setulb. The library keeps all its state in the arrays
// passed to it, so independent runs may proceed on different threads at once.

// Task codes: the library's task strings mapped to integers by kind.
namespace lbfgsb_task {
inline constexpr std::int64_t kStart = 1;
inline constexpr std::int64_t kNewX = 2;
inline constexpr std::int64_t kAbnormal = 3;
inline constexpr std::int64_t kFg = 10;  // 10..15: evaluate f and g
inline constexpr std::int64_t kFgLnsrch = 11;
inline constexpr std::int64_t kFgStart = 12;
inline constexpr std::int64_t kConvergence = 20;  // 20..25
inline constexpr std::int64_t kConvergencePgtol = 21;
inline constexpr std::int64_t kConvergenceFactr = 22;
inline constexpr std::int64_t kStop = 30;          // 30..40
inline constexpr std::int64_t kWarning = 100;      // 100..150
inline constexpr std::int64_t kError = 200;        // 200..240

// The integer code of a task string as the library writes it (blank-padded to 60 characters).
std::int64_t code_of(std::string_view task);
inline bool is_evaluation(std::int64_t code) { return code >= 10 && code <= 15; }
inline bool is_convergence(std::int64_t code) { return code >= 20 && code <= 25; }
inline bool is_error(std::int64_t code) { return code == kAbnormal || (code >= 200 && code <= 240); }
}  // namespace lbfgsb_task

// One optional bound per side.
using Bound = std::pair<std::optional<double>, std::optional<double>>;

struct LbfgsbProblem {
  // Receives the point, writes the gradient and returns f.
  using Callback = std::function<double(std::span<const double> x, std::span<double> g)>;

  std::vector<double> x;
  std::vector<double> g;
  std::vector<double> l;
  std::vector<double> u;
  std::vector<std::int64_t> nbd;  // 0 none, 1 lower, 2 both, 3 upper
  double f = 0.0;
  Callback callback;

  static LbfgsbProblem build(std::vector<double> x0, Callback callback);
  void set_bounds(std::span<const Bound> bounds);
};

struct LbfgsbSettings {
  int m = 10;           // correction pairs
  double factr = 1e7;   // relative reduction tolerance, in units of machine epsilon
  double pgtol = 1e-5;  // projected-gradient tolerance
  int iprint = -1;      // no output
};

class LbfgsbState {
 public:
  LbfgsbState(LbfgsbProblem problem, LbfgsbSettings settings);
  static LbfgsbState create(LbfgsbProblem problem, LbfgsbSettings settings) {
    return LbfgsbState(std::move(problem), settings);
  }

  // Runs the task loop; the final task code, or "L-BFGS-B terminated with error (task code N)".
  std::expected<std::int64_t, std::string> minimize();

  const LbfgsbProblem& problem() const { return problem_; }

 private:
  LbfgsbProblem problem_;
  LbfgsbSettings settings_;
  std::vector<double> wa_;
  std::vector<int> iwa_;
  std::vector<int> nbd32_;
  char task_[60];
  char csave_[60];
  int lsave_[4];
  int isave_[44];
  double dsave_[29];
};

}  // namespace pelmora
