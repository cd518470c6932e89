#include "comm/UtilPreciseWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <latch>
#include <thread>
#include <vector>

#include "comm/UtilTimeout.h"
#include "tests/support/child_process.h"

namespace {

using testing_support::ChildProcess;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A wait that misses its timer ends only at its time-out, 1000 ms after it was due. Upper bounds
// stay well below that and leave a loaded machine room to wake late.
constexpr double kBelowTimeOutMs = 500.0;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Calls cancel until it finds the wait armed; gives up after limit.
bool cancelOnceArmed(UtilPreciseWait& w, bool& ok, milliseconds limit = milliseconds(5000)) {
    const auto until = Clock::now() + limit;
    while (Clock::now() < until) {
        if (w.cancel(ok)) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return false;
}

TEST(UtilPreciseWait, EndsAtItsDeadline) {
    UtilPreciseWait w(3);
    bool ok = false;
    const auto start = Clock::now();
    EXPECT_TRUE(w.wait(ok));
    const double took = msSince(start);
    EXPECT_TRUE(ok);
    EXPECT_GE(took, 3.0);
    EXPECT_LT(took, kBelowTimeOutMs);
}

// A zero wait is due when its timer is made, so the timer fires before the waiter blocks; the
// wait must end at once, not after its time-out, and report success.
TEST(UtilPreciseWait, TimerFiringBeforeTheWaiterBlocksIsNotLost) {
    UtilPreciseWait w(0);
    bool ok = false;
    const auto start = Clock::now();
    EXPECT_TRUE(w.wait(ok));
    EXPECT_TRUE(ok);
    EXPECT_LT(msSince(start), kBelowTimeOutMs);
}

TEST(UtilPreciseWait, ShortWaitsNeverRunIntoTheTimeOut) {
    double longest = 0.0;
    for (int i = 0; i < 40; ++i) {
        const auto start = Clock::now();
        EXPECT_TRUE(UtilPreciseWait::sleep(1));
        longest = std::max(longest, msSince(start));
    }
    EXPECT_LT(longest, kBelowTimeOutMs);
}

// The timer is in use before the fork, so the child inherits its state but not its thread.
TEST(UtilPreciseWait, ShortWaitsInAForkedChildTakeTheirTime) {
    ASSERT_TRUE(UtilPreciseWait::sleep(1));
    const std::vector<uint32_t> waits = {1, 5, 20, 39};
    // Per wait: whether UtilPreciseWait::sleep succeeded, its duration and that of sleepMs, each in
    // whole ms up to 65535, high byte first.
    ChildProcess child([&](ChildProcess& self) {
        const auto sendDuration = [&self](Clock::time_point start) {
            const auto ms = static_cast<uint16_t>(std::min(msSince(start), 65535.0));
            self.send(static_cast<char>(ms >> 8));
            self.send(static_cast<char>(ms & 0xFF));
        };
        for (const uint32_t ms : waits) {
            auto start = Clock::now();
            const bool ok = UtilPreciseWait::sleep(ms);
            self.send(ok ? 'Y' : 'N');
            sendDuration(start);
            start = Clock::now();
            sleepMs(ms);
            sendDuration(start);
        }
        return 0;
    });
    ASSERT_TRUE(child.started());
    const auto receiveByte = [&child] {
        return static_cast<unsigned>(static_cast<unsigned char>(child.receive()));
    };
    for (const uint32_t ms : waits) {
        SCOPED_TRACE(ms);
        EXPECT_EQ(child.receive(), 'Y');
        for (const char* what : {"UtilPreciseWait::sleep", "sleepMs"}) {
            const unsigned high = receiveByte();
            const unsigned took = high << 8 | receiveByte();
            EXPECT_GE(took, ms) << what;
            EXPECT_LT(took, ms + kBelowTimeOutMs) << what;
        }
    }
    EXPECT_EQ(child.wait(), 0);
}

TEST(UtilPreciseWait, CanBeWaitedAgain) {
    UtilPreciseWait w(2);
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        EXPECT_TRUE(w.wait(ok));
        EXPECT_TRUE(ok);
    }
}

TEST(UtilPreciseWait, CancelWithNothingArmed) {
    UtilPreciseWait w(50);
    bool ok = false;
    EXPECT_FALSE(w.cancel(ok));
    EXPECT_TRUE(ok);
    // After a finished wait there is nothing to cancel either.
    ASSERT_TRUE(w.wait(ok));
    ok = false;
    EXPECT_FALSE(w.cancel(ok));
    EXPECT_TRUE(ok);
}

TEST(UtilPreciseWait, CancelFromAnotherThreadEndsALongWaitPromptly) {
    UtilPreciseWait w(60000);
    bool started = false;
    bool waitOk = false;
    double took = 0.0;
    std::thread waiter([&] {
        const auto start = Clock::now();
        started = w.wait(waitOk);
        took = msSince(start);
    });
    bool cancelOk = false;
    const bool cancelled = cancelOnceArmed(w, cancelOk);
    waiter.join();
    ASSERT_TRUE(cancelled);
    EXPECT_TRUE(cancelOk);
    EXPECT_TRUE(started);
    EXPECT_TRUE(waitOk);
    EXPECT_LT(took, 2000.0);
    // Nothing is left armed.
    EXPECT_FALSE(w.cancel(cancelOk));
}

// Several threads wait on one object at once: one arms it, every other call returns at once as
// not started with ok = true, and a cancel ends the one long wait.
TEST(UtilPreciseWait, WaitWhileArmedDoesNotStart) {
    constexpr int kThreads = 6;
    UtilPreciseWait w(60000);
    std::latch go(kThreads);
    std::atomic<int> notStarted{0};
    std::atomic<int> notStartedOk{0};
    std::atomic<int> startedOk{0};
    std::atomic<int> startedCount{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            go.arrive_and_wait();
            bool ok = false;
            if (w.wait(ok)) {
                ++startedCount;
                startedOk += ok ? 1 : 0;
            } else {
                notStartedOk += ok ? 1 : 0;
                ++notStarted;
            }
        });
    }
    const auto until = Clock::now() + milliseconds(5000);
    while (notStarted.load() < kThreads - 1 && Clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_EQ(notStarted.load(), kThreads - 1);
    bool ok = false;
    EXPECT_TRUE(cancelOnceArmed(w, ok));
    EXPECT_TRUE(ok);
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(startedCount.load(), 1);
    EXPECT_EQ(startedOk.load(), 1);
    EXPECT_EQ(notStartedOk.load(), kThreads - 1);
}

// Two threads keep waiting on one object, so a new wait is armed the moment the last one ends,
// while a third cancels again and again. Every started wait ends well, and every cancel returns
// once the wait it hit has ended rather than when the waiting stops, three times the bound later.
TEST(UtilPreciseWait, CancelsRacingBackToBackWaits) {
    constexpr auto kRunFor = milliseconds(1500);
    UtilPreciseWait w(1);
    const auto stopAt = Clock::now() + kRunFor;
    std::atomic<int> started{0};
    std::atomic<int> startedOk{0};
    std::atomic<int> notStartedNotOk{0};
    auto keepWaiting = [&] {
        while (Clock::now() < stopAt) {
            bool ok = false;
            if (w.wait(ok)) {
                ++started;
                startedOk += ok ? 1 : 0;
            } else if (!ok) {
                ++notStartedNotOk;
            }
        }
    };
    std::thread first(keepWaiting);
    std::thread second(keepWaiting);
    double longestCancel = 0.0;
    bool cancelsOk = true;
    while (Clock::now() < stopAt) {
        bool ok = false;
        const auto start = Clock::now();
        w.cancel(ok);
        longestCancel = std::max(longestCancel, msSince(start));
        cancelsOk = cancelsOk && ok;
    }
    first.join();
    second.join();
    EXPECT_GT(started.load(), 0);
    EXPECT_EQ(startedOk.load(), started.load());
    EXPECT_EQ(notStartedNotOk.load(), 0);
    EXPECT_TRUE(cancelsOk);
    EXPECT_LT(longestCancel, kBelowTimeOutMs);
}

}  // namespace
