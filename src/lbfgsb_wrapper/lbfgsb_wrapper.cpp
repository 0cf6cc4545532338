#include "lbfgsb_wrapper/lbfgsb_wrapper.hpp"

#include <algorithm>
#include <cstring>

extern "C" {
// L-BFGS-B 3.0, Fortran 77 calling convention: every argument by reference, default (32-bit)
// integers and logicals, hidden lengths of the two character arguments at the end.
void setulb_(const int* n, const int* m, double* x, const double* l, const double* u, const int* nbd,
             double* f, double* g, const double* factr, const double* pgtol, double* wa, int* iwa,
             char* task, const int* iprint, char* csave, int* lsave, int* isave, double* dsave,
             std::size_t task_len, std::size_t csave_len);
}

namespace pelmora {

namespace lbfgsb_task {

std::int64_t code_of(std::string_view task) {
  auto starts = [&](std::string_view prefix) { return task.substr(0, prefix.size()) == prefix; };
  // Longest prefixes first: "FG_LNSRCH" and "FG_START" begin with "FG".
  if (starts("FG_LNSRCH")) return kFgLnsrch;
  if (starts("FG_START")) return kFgStart;
  if (starts("FG")) return kFg;
  if (starts("NEW_X")) return kNewX;
  if (starts("START")) return kStart;
  if (starts("ABNORMAL")) return kAbnormal;
  if (starts("CONVERGENCE: NORM_OF_PROJECTED_GRADIENT")) return kConvergencePgtol;
  if (starts("CONVERGENCE: REL_REDUCTION_OF_F")) return kConvergenceFactr;
  if (starts("CONVERGENCE")) return kConvergence;
  if (starts("STOP")) return kStop;
  if (starts("WARNING: ROUNDING ERRORS")) return kWarning;
  if (starts("WARNING: XTOL")) return kWarning + 1;
  if (starts("WARNING: STP = STPMAX")) return kWarning + 2;
  if (starts("WARNING: STP = STPMIN")) return kWarning + 3;
  if (starts("WARNING")) return kWarning + 50;
  if (starts("ERROR: N .LE. 0")) return kError + 1;
  if (starts("ERROR: M .LE. 0")) return kError + 2;
  if (starts("ERROR: FACTR .LT. 0")) return kError + 3;
  if (starts("ERROR: INVALID NBD")) return kError + 4;
  if (starts("ERROR: NO FEASIBLE SOLUTION")) return kError + 5;
  if (starts("ERROR: STP .LT. STPMIN")) return kError + 10;
  if (starts("ERROR: STP .GT. STPMAX")) return kError + 11;
  if (starts("ERROR: INITIAL G .GE. ZERO")) return kError + 12;
  if (starts("ERROR")) return kError + 40;
  return kWarning + 50;  // anything unknown stops the run without counting as convergence
}

}  // namespace lbfgsb_task

LbfgsbProblem LbfgsbProblem::build(std::vector<double> x0, Callback callback) {
  LbfgsbProblem p;
  const std::size_t n = x0.size();
  p.x = std::move(x0);
  p.g.assign(n, 0.0);
  p.l.assign(n, 0.0);
  p.u.assign(n, 0.0);
  p.nbd.assign(n, 0);
  p.callback = std::move(callback);
  return p;
}

void LbfgsbProblem::set_bounds(std::span<const Bound> bounds) {
  for (std::size_t i = 0; i < bounds.size() && i < x.size(); ++i) {
    const auto& [lower, upper] = bounds[i];
    if (lower && upper) {
      nbd[i] = 2;
      l[i] = *lower;
      u[i] = *upper;
    } else if (lower) {
      nbd[i] = 1;
      l[i] = *lower;
    } else if (upper) {
      nbd[i] = 3;
      u[i] = *upper;
    } else {
      nbd[i] = 0;
    }
  }
}

namespace {

void set_task(char (&task)[60], std::string_view text) {
  std::memset(task, ' ', sizeof task);
  std::memcpy(task, text.data(), std::min(text.size(), sizeof task));
}

}  // namespace

LbfgsbState::LbfgsbState(LbfgsbProblem problem, LbfgsbSettings settings)
    : problem_(std::move(problem)), settings_(settings) {
  const std::size_t n = problem_.x.size();
  const std::size_t m = static_cast<std::size_t>(settings_.m);
  wa_.assign(n * (2 * m + 5) + m * (11 * m + 8), 0.0);
  iwa_.assign(3 * n, 0);
  nbd32_.assign(n, 0);
  set_task(task_, "START");
  set_task(csave_, "");
  std::memset(lsave_, 0, sizeof lsave_);
  std::memset(isave_, 0, sizeof isave_);
  std::memset(dsave_, 0, sizeof dsave_);
}

std::expected<std::int64_t, std::string> LbfgsbState::minimize() {
  const int n = static_cast<int>(problem_.x.size());
  const int m = settings_.m;
  for (std::size_t i = 0; i < problem_.nbd.size(); ++i) nbd32_[i] = static_cast<int>(problem_.nbd[i]);
  for (;;) {
    setulb_(&n, &m, problem_.x.data(), problem_.l.data(), problem_.u.data(), nbd32_.data(), &problem_.f,
            problem_.g.data(), &settings_.factr, &settings_.pgtol, wa_.data(), iwa_.data(), task_,
            &settings_.iprint, csave_, lsave_, isave_, dsave_, sizeof task_, sizeof csave_);
    const std::int64_t code = lbfgsb_task::code_of(std::string_view(task_, sizeof task_));
    if (code == lbfgsb_task::kNewX) continue;
    if (lbfgsb_task::is_evaluation(code)) {
      problem_.f = problem_.callback(problem_.x, problem_.g);
      continue;
    }
    if (lbfgsb_task::is_error(code)) {
      return std::unexpected("L-BFGS-B terminated with error (task code " + std::to_string(code) + ")");
    }
    return code;
  }
}

}  // namespace pelmora
