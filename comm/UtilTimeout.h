#pragma once
// Deadlines on the monotonic counter and the millisecond waits built on them.

#include <cstdint>

class UtilTimeout {
  public:
    explicit UtilTimeout(uint64_t ms);

    void restart(uint64_t ms);
    bool expired() const;
    // Whole milliseconds left until the deadline, rounded up (at most 0xFFFFFFFF); 0 once expired.
    uint32_t remainingMs() const;

    static bool hasPerformanceCounter();

  private:
    friend double elapsedMs();
    static void initialiseOnce();

    uint64_t deadline = 0;
};

// Milliseconds since the first UtilTimeout of the process was made.
double elapsedMs();
// Waits ms milliseconds: 1 to 39 through UtilPreciseWait, 0 and 40 or more through a plain sleep.
void sleepMs(uint32_t ms);
// Busy wait of us microseconds.
void delayUs(uint32_t us);
