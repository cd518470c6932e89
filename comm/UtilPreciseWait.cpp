#include "comm/UtilPreciseWait.h"

#include <algorithm>
#include <new>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/precise_timer.h"

namespace {

constexpr uint32_t kWaitMarginMs = 1000;

// The lock gives up only after its own long limit; the clean-up after a wait must happen anyway.
void lockForCleanUp(UtilCriticalSection& section) {
    while (!section.lock()) {
    }
}

}  // namespace

UtilPreciseWait::UtilPreciseWait(uint32_t ms) : waitMs(std::min(ms, kMaxWaitMs)) {}

UtilPreciseWait::~UtilPreciseWait() {
    if (armed.load()) {
        bool ok = false;
        cancel(ok);
    }
}

bool UtilPreciseWait::wait(bool& ok) {
    if (!guard.lock()) {
        ok = false;
        return false;
    }
    // Tested under the lock, so two threads calling at once cannot both arm.
    if (armed.load()) {
        guard.unlock();
        ok = true;
        return false;
    }
    armed.store(true);
    armings.fetch_add(1);
    event.reset(new (std::nothrow) platform::Event(false, false));
    platform::Event* const waitEvent = event.get();
    const uint32_t id = waitEvent != nullptr ? platform::startOneShotTimer(waitMs, *waitEvent) : 0;
    timerId.store(id);
    guard.unlock();

    // The event is level-triggered: a timer that fired before this point has left it set.
    const bool signalled =
        id != 0 && platform::waitOne(*waitEvent, waitMs + kWaitMarginMs) == platform::kWaitObject0;

    lockForCleanUp(guard);
    // A timer that has not fired (the wait ran into its time-out) must not outlive its event.
    platform::killOneShotTimer(id);
    armed.store(false);
    const bool closed = event != nullptr;
    event.reset();
    timerId.store(0);
    guard.unlock();
    // Nothing of this object may be touched from here on: a cancel in the destructor may be
    // waiting for the unlock above.
    ok = signalled && closed;
    return true;
}

bool UtilPreciseWait::cancel(bool& ok) {
    if (timerId.load() == 0) {
        ok = true;
        return false;
    }
    if (!guard.lock()) {
        ok = false;
        return false;
    }
    ok = true;
    if (armed.load()) {
        const uint32_t cancelled = armings.load();
        // A timer that has fired has set the event already; one that is killed never will.
        if (platform::killOneShotTimer(timerId.load())) {
            event->set();
        }
        guard.unlock();
        while (armed.load() && armings.load() == cancelled) {
            platform::sleepFor(0);
        }
        lockForCleanUp(guard);
    }
    // A new wait may have been armed meanwhile; its timer stays known.
    if (!armed.load()) {
        timerId.store(0);
    }
    guard.unlock();
    return true;
}

bool UtilPreciseWait::sleep(uint32_t ms) {
    UtilPreciseWait precise(ms);
    bool ok = false;
    const bool started = precise.wait(ok);
    return started && ok;
}
