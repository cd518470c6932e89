// Waits that run into the 30000 ms limits.
#include <gtest/gtest.h>

#include <chrono>

#include "comm/UtilCriticalSection.h"
#include "comm/UtilMutex.h"
#include "tests/support/mutex_prober.h"
#include "tests/support/shared_names.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST(UtilCriticalSectionLimit, SecondLockByTheHolderFailsAfter30s) {
    UtilCriticalSection cs;
    ASSERT_TRUE(cs.lock());
    const auto start = Clock::now();
    EXPECT_FALSE(cs.lock());
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 30000ms);
    EXPECT_LT(took, 32000ms);
    EXPECT_TRUE(cs.unlock());
    EXPECT_FALSE(cs.unlock());
}

TEST(UtilMutexLimit, LockHeldByAnotherProcessFailsAfter30s) {
    UtilMutex m(testing_support::freshName("Limit"), 0x30);
    const std::string name = m.name();
    const testing_support::SegmentCleanup cleanup(name);
    testing_support::MutexProber other(name);
    ASSERT_EQ(other.take(1000), platform::kWaitObject0);

    testing_support::CoutCapture out;
    const auto start = Clock::now();
    EXPECT_FALSE(m.lock());
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 30000ms);
    EXPECT_LT(took, 32000ms);
    EXPECT_EQ(out.take(), "Bad mutex lock operation! Offending mutex: " + name + "\n");

    // The failed wait left nothing behind: once free, the mutex is taken and given back as usual.
    EXPECT_TRUE(other.release());
    EXPECT_TRUE(m.lock());
    EXPECT_TRUE(m.unlock());
    EXPECT_EQ(out.text(), "");
}

}  // namespace
