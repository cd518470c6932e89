#pragma once
// A wait of whole milliseconds on a one-shot timer that another thread may cut short.

#include <atomic>
#include <cstdint>
#include <memory>

#include "comm/UtilCriticalSection.h"

namespace platform {
class Event;
}

class UtilPreciseWait {
  public:
    // Longest wait: the time-out of the wait on the event (waitMs + 1000) stays finite.
    static constexpr uint32_t kMaxWaitMs = 0xFFFFFC08u;

    explicit UtilPreciseWait(uint32_t ms);
    UtilPreciseWait(const UtilPreciseWait&) = delete;
    UtilPreciseWait& operator=(const UtilPreciseWait&) = delete;
    // Cancels a wait that is still armed and lets it end first.
    ~UtilPreciseWait();

    // Waits waitMs. Returns false (ok = true) when a wait of this object is already armed, else
    // true once the wait has ended, ok telling whether the timer (or a cancel) ended it.
    bool wait(bool& ok);
    // Ends an armed wait at once and returns when it has ended. False (ok = true) when there is
    // no timer to cancel.
    bool cancel(bool& ok);

    // One wait of ms; true when it started and ended well.
    static bool sleep(uint32_t ms);

  private:
    UtilCriticalSection guard;
    uint32_t waitMs;
    std::atomic<bool> armed{false};
    std::atomic<uint32_t> timerId{0};
    std::unique_ptr<platform::Event> event;
    // Counts the waits armed, so a cancel can tell its wait has ended even when the next one is
    // armed before it looks.
    std::atomic<uint32_t> armings{0};
};
