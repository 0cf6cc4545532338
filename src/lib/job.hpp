#pragma once

// Runs a numerical job and catches anything that escapes it. Kept free of Python so that the
// fault path can be exercised directly in the C++ tests.

#include <exception>
#include <expected>
#include <string>
#include <utility>

namespace pelmora::py {

// A job's outcome, or the description of an internal fault (an exception that escaped the
// core; the core reports every expected failure as a value).
template <typename T>
using Guarded = std::expected<T, std::string>;

template <typename Job>
auto guard_job(Job&& job) noexcept -> Guarded<decltype(job())> {
  // Describing the fault may itself fail when memory is exhausted; the empty description
  // (whose construction cannot throw) stands for that case.
  auto describe = [](const char* what) noexcept -> std::string {
    try {
      return std::string("internal fault in pelmora: ") + what;
    } catch (...) {
      return std::string();
    }
  };
  try {
    return std::forward<Job>(job)();
  } catch (const std::exception& e) {
    return std::unexpected(describe(e.what()));
  } catch (...) {
    return std::unexpected(describe("unknown exception"));
  }
}

}  // namespace pelmora::py
