// A fault escaping the core becomes a description for the binding layer, never a crash.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "lib/job.hpp"

namespace pelmora::py {
namespace {

TEST(GuardJob, PassesValuesThrough) {
  auto outcome = guard_job([] { return 42; });
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(*outcome, 42);
}

TEST(GuardJob, TurnsEscapingExceptionsIntoDescriptions) {
  auto bad_alloc = guard_job([]() -> int { throw std::bad_alloc(); });
  ASSERT_FALSE(bad_alloc.has_value());
  EXPECT_EQ(bad_alloc.error().rfind("internal fault in pelmora: ", 0), 0u);

  auto logic = guard_job([]() -> int { throw std::logic_error("broken invariant"); });
  ASSERT_FALSE(logic.has_value());
  EXPECT_EQ(logic.error(), "internal fault in pelmora: broken invariant");

  auto unknown = guard_job([]() -> int { throw 7; });
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error(), "internal fault in pelmora: unknown exception");
}

}  // namespace
}  // namespace pelmora::py
