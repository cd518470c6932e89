#include "platform/event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/thread.h"

namespace {

using platform::Event;
using platform::kWaitObject0;
using platform::kWaitTimeout;
using platform::waitAny;
using platform::waitOne;
using Clock = std::chrono::steady_clock;

TEST(Event, AutoResetIsTakenByOneWait) {
    Event e(false, true);
    EXPECT_EQ(waitOne(e, 0), kWaitObject0);
    EXPECT_EQ(waitOne(e, 0), kWaitTimeout);
}

TEST(Event, ManualResetStaysSetUntilReset) {
    Event e(true, false);
    e.set();
    EXPECT_EQ(waitOne(e, 0), kWaitObject0);
    EXPECT_EQ(waitOne(e, 0), kWaitObject0);
    e.reset();
    EXPECT_EQ(waitOne(e, 0), kWaitTimeout);
}

TEST(Event, WaitAnyReturnsLowestIndexAndTakesOnlyIt) {
    Event a(false, true), b(false, true);
    EXPECT_EQ(waitAny({&a, &b}, 0), kWaitObject0 + 0);
    EXPECT_TRUE(b.isSet());
    EXPECT_EQ(waitAny({&a, &b}, 0), kWaitObject0 + 1);
}

TEST(Event, WaitEndsWhenAnotherThreadSets) {
    Event a(false, false), b(false, false);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        b.set();
    });
    const auto start = Clock::now();
    EXPECT_EQ(waitAny({&a, &b}, 5000), kWaitObject0 + 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    t.join();
}

TEST(Event, TimeoutIsHonoured) {
    Event e(false, false);
    const auto start = Clock::now();
    EXPECT_EQ(waitOne(e, 30), kWaitTimeout);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(30));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST(Event, EmptyOrNullListFails) {
    Event e(false, true);
    EXPECT_EQ(waitAny({}, 0), platform::kWaitFailed);
    EXPECT_EQ(waitAny({&e, nullptr}, 0), platform::kWaitFailed);
    EXPECT_TRUE(e.isSet());
}

TEST(Thread, StartsOnResumeAndReportsItsEnd) {
    Event go(false, false);
    platform::Thread t([&] { return waitOne(go, 5000) == kWaitObject0 ? 7u : 0u; });
    EXPECT_FALSE(t.join(0));
    ASSERT_TRUE(t.resume());
    EXPECT_FALSE(t.resume());
    EXPECT_EQ(waitAny({&t}, 20), kWaitTimeout);
    go.set();
    EXPECT_EQ(waitAny({&t}, 5000), kWaitObject0);
    EXPECT_TRUE(t.join(1000));
    EXPECT_EQ(t.exitCode(), 7u);
}

}  // namespace
