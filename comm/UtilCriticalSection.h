#pragma once
// A process-local lock that gives up after 30000 ms. Any thread may unlock it, so it is a bare
// atomic flag rather than a mutex. Not re-entrant.

#include <atomic>
#include <cstdint>

class UtilCriticalSection {
  public:
    UtilCriticalSection() = default;
    UtilCriticalSection(const UtilCriticalSection&) = delete;
    UtilCriticalSection& operator=(const UtilCriticalSection&) = delete;
    ~UtilCriticalSection();

    bool lock();
    bool unlock();

  private:
    std::atomic<uint32_t> flag{0};
};
