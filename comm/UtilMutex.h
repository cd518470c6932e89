#pragma once
// The lock of every channel and device: a mutex known system-wide by its name, so that two processes
// that build the same name exclude each other; re-entrant for its owner (every successful lock needs
// its own unlock); a lock wait gives up after 30000 ms or when the object is destroyed. Failed
// locks and unlocks are reported on standard output.

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "comm/UtilCriticalSection.h"

namespace platform {
class Event;
class NamedMutex;
}  // namespace platform

class UtilMutex {
  public:
    // Base of the lock failures; carries the name of the mutex concerned, so the report needs
    // nothing of the object any more (a wait ended by the destructor reports after it is gone).
    class my_exception : public std::exception {
      public:
        explicit my_exception(std::string offendingMutex = std::string());
        const std::string& offendingMutex() const noexcept { return offending; }

      private:
        std::string offending;
    };
    class exception_lock : public my_exception {
      public:
        using my_exception::my_exception;
        const char* what() const noexcept override;
    };
    class exception_unlock : public my_exception {
      public:
        using my_exception::my_exception;
        const char* what() const noexcept override;
    };

    UtilMutex();
    UtilMutex(const std::string& name, uint64_t id);
    UtilMutex(const UtilMutex&) = delete;
    UtilMutex& operator=(const UtilMutex&) = delete;
    // Ends pending lock waits of other threads (they return false) and lets them leave, then gives
    // up every level of ownership the calling thread holds. Prints nothing.
    virtual ~UtilMutex();

    // The first call builds the name "VO_MUTEX_<name>_<id hex>__0x<counter>" and opens or creates
    // the system mutex, printing one line with the name and the system's reason when that fails;
    // later calls ignore their arguments and try one lock and unlock pair.
    bool open(const std::string& name, uint64_t id);
    bool lock();
    bool unlock();
    // lockOrThrow (lock true) or unlockOrThrow (lock false); a failure is printed as
    // "<what> Offending mutex: <name>" and gives false.
    bool lockReported(bool lock);
    bool lockOrThrow();
    bool unlockOrThrow();

    // The system-wide name built by the first open; empty before it.
    const std::string& name() const { return fullName; }

    static const std::string& defaultName();

  private:
    UtilCriticalSection internalLock;
    bool isOpen = false;
    bool openedOnce = false;
    std::unique_ptr<platform::NamedMutex> mutexHandle;
    std::unique_ptr<platform::Event> abortEvent;
    std::string fullName;
    // Lock waits in progress (between taking the handles and the end of the system wait).
    std::atomic<uint32_t> waiting{0};

    // Put into the name by every first open of any UtilMutex in the process, then incremented.
    static std::atomic<uint32_t> openCounter;
};
