#include "comm/UtilCriticalSection.h"

#include "comm/UtilTimeout.h"
#include "platform/clock.h"

namespace {
constexpr uint64_t kLockLimitMs = 30000;
constexpr uint32_t kAttemptsBetweenSleeps = 65536;
constexpr uint32_t kSleepMs = 3;
}  // namespace

UtilCriticalSection::~UtilCriticalSection() {
    unlock();
}

bool UtilCriticalSection::lock() {
    const UtilTimeout limit(kLockLimitMs);
    uint32_t attempts = 0;
    for (;;) {
        uint32_t expected = 0;
        if (flag.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
            return true;
        }
        if (limit.expired()) {
            return false;
        }
        if (++attempts % kAttemptsBetweenSleeps == 0) {
            platform::sleepFor(kSleepMs);
        }
    }
}

bool UtilCriticalSection::unlock() {
    uint32_t expected = 1;
    return flag.compare_exchange_strong(expected, 0, std::memory_order_release);
}
