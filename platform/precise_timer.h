#pragma once
// One-shot timers that set an event at a deadline on the monotonic clock, served by one
// process-wide thread.

#include <cstdint>

#include "platform/event.h"

namespace platform {

// Sets event once ms milliseconds from now have passed (an absolute deadline on the monotonic
// clock, so a late caller does not shift it). A deadline that is already due (ms = 0) sets the
// event before the call returns. The event stays set until a wait takes it, so a timer that fires
// before anyone waits is not lost. Returns a non-zero id, or 0 when no timer could be started.
// The event must outlive the timer: keep it until the timer has fired or killOneShotTimer was called.
uint32_t startOneShotTimer(uint32_t ms, Event& event);

// Removes a timer: true when it was still pending and will now never fire; false when it has
// already fired or the id is unknown. Either way the timer no longer touches its event once this
// returns, so the event may be destroyed.
bool killOneShotTimer(uint32_t id);

}  // namespace platform
