// The worker-pool fork guard. Its own executable: the owner cell is process-wide and write-once,
// so the order of guarded calls in the process must be known.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "batch/fork_guard.hpp"

namespace pelmora {
namespace {

// Runs `body` in a forked child and returns its exit status (the child reports by exit code).
template <typename Body>
int in_child(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ForkGuard, ChildForkedBeforeAnyGuardedCallOwnsItsPool) {
  // Nothing in this process has called the guard yet.
  EXPECT_EQ(in_child([] { return guard_worker_pool_fork() && guard_worker_pool_fork() ? 0 : 1; }), 0);
}

TEST(ForkGuard, ChildOfAnOwnerIsRefused) {
  ASSERT_TRUE(guard_worker_pool_fork().has_value());
  ASSERT_TRUE(guard_worker_pool_fork().has_value());
  const std::string parent = std::to_string(getpid());
  const int status = in_child([&] {
    const auto refused = guard_worker_pool_fork();
    if (refused) return 1;
    const std::string expected = "invalid input: parallel API called in fork()ed child (pid " +
                                 std::to_string(getpid()) + ") but the oneTBB thread pool belongs to parent pid " +
                                 parent +
                                 "; running would deadlock. Use the 'spawn' multiprocessing context, or fork "
                                 "before the first parallel call.";
    return refused.error().display() == expected && refused.error().kind() == SarimaxError::Kind::InvalidInput ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(guard_worker_pool_fork().has_value());  // the parent is unaffected
}

}  // namespace
}  // namespace pelmora
