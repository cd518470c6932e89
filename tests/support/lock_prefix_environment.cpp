// Linked into every test executable. The tests of one executable run as processes of their own, many
// at once, and the lock names count up from the same start in each: under one prefix they would share
// locks. So every process puts its own id behind the prefix it was given, and removes the segments
// made under it once its tests have run (forked children leave without running this).

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include "tests/support/lock_prefix.h"

namespace {

class LockPrefixEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { prefix_.emplace(std::string("t") + program_invocation_short_name); }
    void TearDown() override { prefix_.reset(); }

  private:
    std::optional<testing_support::ProcessLockPrefix> prefix_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new LockPrefixEnvironment);

}  // namespace
