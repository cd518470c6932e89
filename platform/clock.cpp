#include "platform/clock.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

namespace platform {

uint64_t counterTicks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t counterFrequency() {
    return 1000000000ull;
}

void sleepFor(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
