#include "platform/precise_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "platform/event.h"

namespace {

using platform::Event;
using platform::killOneShotTimer;
using platform::kWaitObject0;
using platform::kWaitTimeout;
using platform::startOneShotTimer;
using platform::waitOne;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(PreciseTimer, SetsTheEventAtItsDeadline) {
    Event e(false, false);
    const auto start = Clock::now();
    const uint32_t id = startOneShotTimer(3, e);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(waitOne(e, 2000), kWaitObject0);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(3));
    EXPECT_LT(took, milliseconds(100));
    EXPECT_FALSE(killOneShotTimer(id));
}

TEST(PreciseTimer, FiringBeforeTheWaitIsKept) {
    Event e(false, false);
    ASSERT_NE(startOneShotTimer(2, e), 0u);
    std::this_thread::sleep_for(milliseconds(30));
    const auto start = Clock::now();
    EXPECT_EQ(waitOne(e, 2000), kWaitObject0);
    EXPECT_LT(Clock::now() - start, milliseconds(50));
    // Fired once: the auto-reset event is not set again.
    EXPECT_EQ(waitOne(e, 20), kWaitTimeout);
}

TEST(PreciseTimer, ZeroMsIsDueAtOnce) {
    Event e(false, false);
    const uint32_t id = startOneShotTimer(0, e);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(e.isSet());
    EXPECT_FALSE(killOneShotTimer(id));
}

TEST(PreciseTimer, KilledBeforeFiringNeverSets) {
    Event e(false, false);
    const uint32_t id = startOneShotTimer(40, e);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(killOneShotTimer(id));
    EXPECT_EQ(waitOne(e, 120), kWaitTimeout);
    EXPECT_FALSE(killOneShotTimer(id));
}

TEST(PreciseTimer, UnknownIdsAreNotKilled) {
    EXPECT_FALSE(killOneShotTimer(0));
    EXPECT_FALSE(killOneShotTimer(0xFFFFFFFFu));
}

TEST(PreciseTimer, LaterStartedEarlierDeadlineFiresFirst) {
    Event late(false, false), early(false, false);
    const uint32_t lateId = startOneShotTimer(3000, late);
    const uint32_t earlyId = startOneShotTimer(5, early);
    ASSERT_NE(lateId, 0u);
    ASSERT_NE(earlyId, 0u);
    EXPECT_NE(lateId, earlyId);
    const auto start = Clock::now();
    EXPECT_EQ(waitOne(early, 2000), kWaitObject0);
    EXPECT_LT(Clock::now() - start, milliseconds(100));
    EXPECT_FALSE(late.isSet());
    EXPECT_TRUE(killOneShotTimer(lateId));
}

TEST(PreciseTimer, ManyTimersEachFireOnceWithDistinctIds) {
    constexpr int kTimers = 16;
    std::vector<std::unique_ptr<Event>> events;
    std::set<uint32_t> ids;
    for (int i = 0; i < kTimers; ++i) {
        events.push_back(std::make_unique<Event>(false, false));
        ids.insert(startOneShotTimer(static_cast<uint32_t>(1 + i % 4), *events.back()));
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(kTimers));
    EXPECT_EQ(ids.count(0), 0u);
    for (auto& e : events) {
        EXPECT_EQ(waitOne(*e, 2000), kWaitObject0);
    }
}

// Killing a timer and destroying its event at once must be safe, even while the timer is in the
// middle of setting it: the timer may not touch the freed event (AddressSanitizer reports it if
// it does).
TEST(PreciseTimer, EventMayBeDestroyedRightAfterKill) {
    for (int i = 0; i < 200; ++i) {
        auto e = std::make_unique<Event>(false, false);
        const uint32_t id = startOneShotTimer(1, *e);
        ASSERT_NE(id, 0u);
        if (i % 4 != 0) {
            // Kill as soon as the timer has begun to set the event.
            const auto until = Clock::now() + milliseconds(2000);
            while (!e->isSet() && Clock::now() < until) {
            }
            ASSERT_TRUE(e->isSet());
            EXPECT_FALSE(killOneShotTimer(id));
        } else {
            killOneShotTimer(id);
        }
        e.reset();
    }
}

TEST(PreciseTimer, StartsFromSeveralThreadsAtOnce) {
    constexpr int kThreads = 6;
    std::vector<std::thread> threads;
    std::vector<int> fired(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &fired] {
            for (int i = 0; i < 20; ++i) {
                Event e(false, false);
                if (startOneShotTimer(1, e) != 0 && waitOne(e, 2000) == kWaitObject0) {
                    ++fired[t];
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int n : fired) {
        EXPECT_EQ(n, 20);
    }
}

}  // namespace
