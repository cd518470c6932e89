#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "comm/UtilPreciseWait.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// 4294967295 ms is clamped to 4294966280, so the time-out of the wait on the event (1000 ms
// more) stays finite and does not wrap to 999 ms: the wait is still running after 1.5 s, and a
// cancel ends it with ok = true.
TEST(UtilPreciseWaitSlow, LongestWaitIsClampedAndDoesNotWrap) {
    UtilPreciseWait w(0xFFFFFFFFu);
    bool started = false;
    bool waitOk = false;
    double took = 0.0;
    std::thread waiter([&] {
        const auto start = Clock::now();
        started = w.wait(waitOk);
        took = msSince(start);
    });
    std::this_thread::sleep_for(milliseconds(1500));
    bool ok = false;
    const bool cancelled = w.cancel(ok);
    waiter.join();
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(started);
    EXPECT_TRUE(waitOk);
    EXPECT_GE(took, 1400.0);
    EXPECT_LT(took, 3000.0);
}

// Many short waits in a row: none may be lost to a timer that fired early and end only at the
// wait's time-out, a second later.
TEST(UtilPreciseWaitSlow, NoShortWaitEndsLate) {
    double longest = 0.0;
    for (int i = 0; i < 1000; ++i) {
        const uint32_t ms = 1 + static_cast<uint32_t>(i % 3);
        const auto start = Clock::now();
        EXPECT_TRUE(UtilPreciseWait::sleep(ms));
        longest = std::max(longest, msSince(start) - ms);
    }
    EXPECT_LT(longest, 100.0);
}

}  // namespace
