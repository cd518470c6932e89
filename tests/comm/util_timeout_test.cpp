#include "comm/UtilTimeout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>

#include "platform/clock.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Spins until t expires or limit has passed; true when it expired.
bool expiresWithin(const UtilTimeout& t, milliseconds limit) {
    const auto until = Clock::now() + limit;
    while (!t.expired()) {
        if (Clock::now() > until) {
            return false;
        }
    }
    return true;
}

TEST(UtilTimeout, HasACounter) {
    EXPECT_TRUE(UtilTimeout::hasPerformanceCounter());
}

TEST(UtilTimeout, ZeroMsExpiresAsSoonAsTheCounterMoves) {
    const UtilTimeout t(0);
    EXPECT_TRUE(expiresWithin(t, milliseconds(10)));
}

TEST(UtilTimeout, ShortDeadlineExpiresAfterItsTime) {
    const auto start = Clock::now();
    const UtilTimeout t(5);
    ASSERT_TRUE(expiresWithin(t, milliseconds(1000)));
    EXPECT_GE(Clock::now() - start, milliseconds(5));
}

TEST(UtilTimeout, RestartMovesTheDeadline) {
    UtilTimeout t(0);
    ASSERT_TRUE(expiresWithin(t, milliseconds(10)));
    t.restart(60000);
    EXPECT_FALSE(t.expired());
    t.restart(0);
    EXPECT_TRUE(expiresWithin(t, milliseconds(10)));
}

// What is left counts down from the time given, rounded up to whole milliseconds, and is 0 once the
// deadline has passed; a deadline beyond 32 bits of milliseconds says the most it can.
TEST(UtilTimeout, RemainingMsCountsDownToZero) {
    const UtilTimeout far(60000);
    EXPECT_LE(far.remainingMs(), 60000u);
    EXPECT_GT(far.remainingMs(), 59000u);
    const UtilTimeout t(30);
    const uint32_t first = t.remainingMs();
    EXPECT_GE(first, 1u);
    EXPECT_LE(first, 30u);
    ASSERT_TRUE(expiresWithin(t, milliseconds(1000)));
    EXPECT_EQ(t.remainingMs(), 0u);
    EXPECT_EQ(UtilTimeout(uint64_t{1} << 40).remainingMs(), UINT32_MAX);
}

class LongTimeout : public ::testing::TestWithParam<uint64_t> {};

// Turned into nanosecond ticks without saturating, the largest values would wrap: 18446744074 ms
// would become a deadline 0.29 ms away.
TEST_P(LongTimeout, IsNotExpired) {
    const UtilTimeout t(GetParam());
    std::this_thread::sleep_for(milliseconds(2));
    EXPECT_FALSE(t.expired());
}

INSTANTIATE_TEST_SUITE_P(Values, LongTimeout,
                         ::testing::Values(60000ull, 1ull << 40, UINT64_MAX / 1000000000ull + 1,
                                           UINT64_MAX / 1000ull, UINT64_MAX),
                         [](const ::testing::TestParamInfo<uint64_t>& info) {
                             return "Ms" + std::to_string(info.param);
                         });

TEST(ElapsedMs, GrowsWithTime) {
    const double first = elapsedMs();
    EXPECT_GE(first, 0.0);
    std::this_thread::sleep_for(milliseconds(5));
    const double second = elapsedMs();
    EXPECT_GE(second - first, 5.0);
    EXPECT_LT(second - first, 1000.0);
}

struct SleepCase {
    uint32_t ms;
    double atLeastMs;
    double belowMs;
};
void PrintTo(const SleepCase& c, std::ostream* os) {
    *os << c.ms << " ms";
}

class SleepMs : public ::testing::TestWithParam<SleepCase> {};

// 1 to 39 ms go through the precise wait, 0 and 40 or more through the plain sleep. The upper
// bounds leave a loaded machine room to wake late and stay well below the 1000 ms more that a
// precise wait takes when it runs into its time-out.
TEST_P(SleepMs, TakesAboutItsTime) {
    const SleepCase c = GetParam();
    const auto start = Clock::now();
    sleepMs(c.ms);
    const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_GE(took, c.atLeastMs);
    EXPECT_LT(took, c.belowMs);
}

INSTANTIATE_TEST_SUITE_P(Split, SleepMs,
                         ::testing::Values(SleepCase{0, 0.0, 500.0}, SleepCase{1, 1.0, 500.0},
                                           SleepCase{3, 3.0, 500.0}, SleepCase{39, 39.0, 539.0},
                                           SleepCase{40, 40.0, 540.0}),
                         [](const ::testing::TestParamInfo<SleepCase>& info) {
                             return "Ms" + std::to_string(info.param.ms);
                         });

TEST(DelayUs, BusyWaitsAtLeastItsTime) {
    const auto start = Clock::now();
    delayUs(2000);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::microseconds(2000));
    EXPECT_LT(took, milliseconds(200));
}

}  // namespace
