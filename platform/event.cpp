#include "platform/event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>

namespace platform {

struct Waiter {
    std::mutex lock;
    std::condition_variable cv;
    uint64_t generation = 0;
};

Waitable::~Waitable() = default;

void Waitable::notifyWaiters() {
    std::lock_guard<std::mutex> guard(waitersLock_);
    for (Waiter* w : waiters_) {
        {
            std::lock_guard<std::mutex> wg(w->lock);
            ++w->generation;
        }
        w->cv.notify_all();
    }
}

void Waitable::addWaiter(Waiter* w) {
    std::lock_guard<std::mutex> guard(waitersLock_);
    waiters_.push_back(w);
}

void Waitable::removeWaiter(Waiter* w) {
    std::lock_guard<std::mutex> guard(waitersLock_);
    waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), w), waiters_.end());
}

Event::Event(bool manualReset, bool initiallySet) : manualReset_(manualReset), signalled_(initiallySet) {}

Event::~Event() = default;

void Event::set() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        signalled_ = true;
    }
    notifyWaiters();
}

void Event::reset() {
    std::lock_guard<std::mutex> guard(lock_);
    signalled_ = false;
}

bool Event::isSet() const {
    std::lock_guard<std::mutex> guard(lock_);
    return signalled_;
}

uint32_t Event::tryTake(uint32_t) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!signalled_) {
        return kWaitTimeout;
    }
    if (!manualReset_) {
        signalled_ = false;
    }
    return kWaitObject0;
}

namespace {
// How long one poll of an object that cannot notify may block.
constexpr uint32_t kPollSliceMs = 2;
}  // namespace

uint32_t waitAny(const std::vector<Waitable*>& objects, uint32_t timeoutMs) {
    if (objects.empty() || objects.size() > 64) {
        return kWaitFailed;
    }
    for (Waitable* o : objects) {
        if (o == nullptr) {
            return kWaitFailed;
        }
    }
    using Clock = std::chrono::steady_clock;
    const bool infinite = timeoutMs == kInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
    const bool mustPoll =
        std::any_of(objects.begin(), objects.end(), [](const Waitable* o) { return !o->notifies(); });

    Waiter waiter;
    for (Waitable* o : objects) {
        o->addWaiter(&waiter);
    }
    uint32_t result = kWaitTimeout;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> wg(waiter.lock);
            seen = waiter.generation;
        }
        bool taken = false;
        for (size_t i = 0; i < objects.size() && !taken; ++i) {
            const uint32_t r = objects[i]->tryTake(0);
            if (r == kWaitObject0 || r == kWaitAbandoned0) {
                result = r + static_cast<uint32_t>(i);
                taken = true;
            }
        }
        if (taken) {
            break;
        }
        const Clock::time_point now = Clock::now();
        if (!infinite && now >= deadline) {
            result = kWaitTimeout;
            break;
        }
        if (mustPoll) {
            // Block briefly on the first object that cannot notify; events that fire meanwhile are
            // seen on the next round, at most one slice late.
            uint32_t slice = kPollSliceMs;
            if (!infinite) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
                slice = static_cast<uint32_t>(std::clamp<long long>(left, 0, kPollSliceMs));
            }
            bool done = false;
            for (size_t i = 0; i < objects.size(); ++i) {
                if (!objects[i]->notifies()) {
                    const uint32_t r = objects[i]->tryTake(slice);
                    if (r == kWaitObject0 || r == kWaitAbandoned0) {
                        result = r + static_cast<uint32_t>(i);
                        done = true;
                    }
                    break;
                }
            }
            if (done) {
                // A lower-indexed event that fired during the slice does not win here: the mutex
                // is owned now and must be reported.
                break;
            }
            continue;
        }
        std::unique_lock<std::mutex> wl(waiter.lock);
        if (infinite) {
            waiter.cv.wait(wl, [&] { return waiter.generation != seen; });
        } else {
            waiter.cv.wait_until(wl, deadline, [&] { return waiter.generation != seen; });
        }
    }
    for (Waitable* o : objects) {
        o->removeWaiter(&waiter);
    }
    return result;
}

uint32_t waitOne(Waitable& object, uint32_t timeoutMs) {
    return waitAny({&object}, timeoutMs);
}

}  // namespace platform
