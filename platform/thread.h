#pragma once
// A thread that is created suspended and started by resume, whose end can be waited for together
// with events.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/event.h"

namespace platform {

class Thread : public Waitable {
  public:
    // The body runs once the thread is resumed; its result becomes the exit code.
    explicit Thread(std::function<uint32_t()> body);
    // Waits for a started thread to end and joins it: a running thread is never left behind.
    ~Thread() override;

    // Starts the thread; false when it was started already or could not be created.
    bool resume();
    // Priorities are accepted and have no effect: a spinning high-priority thread must not starve
    // the owner of a lock it waits for.
    bool setPriority(int priority);
    // Waits up to timeoutMs for the thread to end; true (and joined) when it has ended.
    bool join(uint32_t timeoutMs);

    bool started() const { return started_; }
    bool finished() const;
    uint32_t exitCode() const { return exitCode_.load(); }

  protected:
    uint32_t tryTake(uint32_t sliceMs) override;

  private:
    std::function<uint32_t()> body_;
    std::mutex lock_;
    std::thread thread_;
    bool started_ = false;
    Event done_{true, false};
    std::atomic<uint32_t> exitCode_{0};
};

}  // namespace platform
