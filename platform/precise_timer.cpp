#include "platform/precise_timer.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

class TimerService {
  public:
    // Set only once the service is left behind by fork.
    TimerService* leftBefore = nullptr;

    uint32_t start(uint32_t ms, Event& event) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
        std::lock_guard<std::mutex> guard(lock_);
        const uint32_t id = nextFreeId();
        if (ms == 0) {
            event.set();
            return id;
        }
        if (!running_) {
            try {
                std::thread(&TimerService::run, this).detach();
            } catch (const std::system_error&) {
                return 0;
            }
            running_ = true;
        }
        try {
            const auto pos = queue_.emplace(Key{deadline, id}, &event).first;
            try {
                byId_.emplace(id, deadline);
            } catch (...) {
                queue_.erase(pos);
                throw;
            }
            if (pos == queue_.begin()) {
                wake_.notify_one();
            }
        } catch (const std::bad_alloc&) {
            return 0;
        }
        return id;
    }

    bool kill(uint32_t id) {
        std::lock_guard<std::mutex> guard(lock_);
        const auto found = byId_.find(id);
        if (found == byId_.end()) {
            return false;
        }
        queue_.erase(Key{found->second, id});
        byId_.erase(found);
        return true;
    }

  private:
    using Key = std::pair<Clock::time_point, uint32_t>;

    // Ids count up, skipping 0 and any id still pending after the counter wraps.
    uint32_t nextFreeId() {
        uint32_t id;
        do {
            id = nextId_++;
        } while (id == 0 || byId_.count(id) != 0);
        return id;
    }

    void run() {
        // The default slack of 50 us would be added to every wake-up.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            if (queue_.empty()) {
                wake_.wait(guard);
                continue;
            }
            const auto first = queue_.begin();
            // A copy: a kill may erase the entry while this thread waits.
            const Clock::time_point due = first->first.first;
            if (Clock::now() < due) {
                wake_.wait_until(guard, due);
                continue;
            }
            // The event is set under the lock, so a kill that finds the timer gone knows the
            // event is no longer touched.
            Event* event = first->second;
            byId_.erase(first->first.second);
            queue_.erase(first);
            event->set();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::map<Key, Event*> queue_;
    std::unordered_map<uint32_t, Clock::time_point> byId_;
    uint32_t nextId_ = 1;
    bool running_ = false;
};

// The service thread may run until the process ends, so a service is never destroyed.
std::atomic<TimerService*> current{nullptr};
// The last service left behind by fork; each links the one before it, so all stay reachable.
TimerService* leftBehind = nullptr;

// A forked child has only the thread that called fork: the service thread stayed behind, and so did
// every thread with a timer pending, while the service's lock may have been held by one of them.
// The child's first timer starts a new service.
void leaveServiceAfterFork() {
    if (TimerService* old = current.exchange(nullptr)) {
        old->leftBefore = leftBehind;
        leftBehind = old;
    }
}

[[maybe_unused]] const bool forkHandlerSet = pthread_atfork(nullptr, nullptr, &leaveServiceAfterFork) == 0;

TimerService& service() {
    TimerService* s = current.load();
    if (s != nullptr) {
        return *s;
    }
    auto* fresh = new TimerService;
    if (current.compare_exchange_strong(s, fresh)) {
        return *fresh;
    }
    // Another thread was first; no thread was started for this one.
    delete fresh;
    return *s;
}

}  // namespace

uint32_t startOneShotTimer(uint32_t ms, Event& event) {
    return service().start(ms, event);
}

bool killOneShotTimer(uint32_t id) {
    if (id == 0) {
        return false;
    }
    return service().kill(id);
}

}  // namespace platform
