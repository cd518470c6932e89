#pragma once
// The monotonic counter and plain sleeps.

#include <cstdint>

namespace platform {

// Monotonic counter reading and its ticks per second (nanoseconds of CLOCK_MONOTONIC).
uint64_t counterTicks();
uint64_t counterFrequency();

// Sleeps ms milliseconds, resuming after signals; 0 yields the processor.
void sleepFor(uint32_t ms);

}  // namespace platform
