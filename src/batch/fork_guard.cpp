#include "batch/fork_guard.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace pelmora {

namespace {

// Write-once owner of the worker pool; 0 means not yet recorded (no process has id 0 here).
std::atomic<std::int32_t> pool_owner_pid{0};

}  // namespace

Result<void> guard_worker_pool_fork() {
  const std::int32_t current = static_cast<std::int32_t>(getpid());
  std::int32_t owner = pool_owner_pid.load(std::memory_order_acquire);
  if (owner == 0) {
    // Exactly one racing thread stores its value; every thread then sees the stored one.
    std::int32_t expected = 0;
    owner = pool_owner_pid.compare_exchange_strong(expected, current, std::memory_order_acq_rel) ? current : expected;
  }
  if (owner == current) return {};
  return std::unexpected(SarimaxError::invalid_input(
      "parallel API called in fork()ed child (pid " + std::to_string(current) + ") but the oneTBB thread pool belongs to parent pid " +
      std::to_string(owner) + "; running would deadlock. Use the 'spawn' multiprocessing context, or fork before the first parallel call."));
}

}  // namespace pelmora
