#include "comm/UtilTimeout.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include "comm/UtilPreciseWait.h"
#include "platform/clock.h"

namespace {

struct CounterInfo {
    bool initialised = false;
    bool hasPerformanceCounter = false;
    uint64_t frequency = 0;
    double startMs = 0.0;
};

CounterInfo counterInfo;
std::once_flag counterOnce;

uint64_t msToTicks(uint64_t ms, uint64_t frequency) {
    // ms * frequency / 1000, saturating instead of wrapping for very long waits.
    if (frequency != 0 && ms > std::numeric_limits<uint64_t>::max() / frequency) {
        return std::numeric_limits<uint64_t>::max();
    }
    return ms * frequency / 1000;
}

}  // namespace

void UtilTimeout::initialiseOnce() {
    std::call_once(counterOnce, [] {
        counterInfo.initialised = true;
        counterInfo.frequency = platform::counterFrequency();
        counterInfo.hasPerformanceCounter = counterInfo.frequency != 0;
        if (counterInfo.hasPerformanceCounter) {
            const uint64_t reading = platform::counterTicks();
            counterInfo.startMs =
                static_cast<double>(reading) / (static_cast<double>(counterInfo.frequency) / 1000.0);
        }
    });
}

UtilTimeout::UtilTimeout(uint64_t ms) {
    initialiseOnce();
    restart(ms);
}

void UtilTimeout::restart(uint64_t ms) {
    const uint64_t now = platform::counterTicks();
    if (!counterInfo.hasPerformanceCounter) {
        deadline = 0;
        return;
    }
    const uint64_t ticks = msToTicks(ms, counterInfo.frequency);
    deadline = ticks > std::numeric_limits<uint64_t>::max() - now ? std::numeric_limits<uint64_t>::max()
                                                                  : now + ticks;
}

bool UtilTimeout::expired() const {
    const uint64_t now = platform::counterTicks();
    return !(counterInfo.hasPerformanceCounter && now <= deadline);
}

uint32_t UtilTimeout::remainingMs() const {
    const uint64_t now = platform::counterTicks();
    if (!counterInfo.hasPerformanceCounter || now > deadline) {
        return 0;
    }
    const uint64_t ticks = deadline - now;
    const uint64_t frequency = counterInfo.frequency;
    // ticks * 1000 / frequency, rounded up, without overflowing for far deadlines.
    const uint64_t whole = ticks / frequency;
    const uint64_t rest = ticks % frequency;
    constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
    if (whole >= kMax / 1000) {
        return static_cast<uint32_t>(kMax);
    }
    const uint64_t ms = whole * 1000 + (rest * 1000 + frequency - 1) / frequency;
    return static_cast<uint32_t>(std::min(ms, kMax));
}

bool UtilTimeout::hasPerformanceCounter() {
    static const UtilTimeout first(0);
    (void)first;
    return counterInfo.hasPerformanceCounter;
}

double elapsedMs() {
    UtilTimeout reading(0);
    (void)reading;
    if (!counterInfo.hasPerformanceCounter) {
        return 0.0;
    }
    const double nowMs =
        static_cast<double>(platform::counterTicks()) / (static_cast<double>(counterInfo.frequency) / 1000.0);
    return nowMs - counterInfo.startMs;
}

void sleepMs(uint32_t ms) {
    constexpr uint32_t kFirstPlainSleepMs = 40;
    if (ms >= 1 && ms < kFirstPlainSleepMs) {
        UtilPreciseWait::sleep(ms);
        return;
    }
    platform::sleepFor(ms);
}

void delayUs(uint32_t us) {
    const uint64_t frequency = platform::counterFrequency();
    const uint64_t start = platform::counterTicks();
    for (;;) {
        const int64_t passed = static_cast<int64_t>(platform::counterTicks() - start);
        if (passed * 1000000 / static_cast<int64_t>(frequency) >= static_cast<int64_t>(us)) {
            return;
        }
    }
}
