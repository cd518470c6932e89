#include "platform/thread.h"

#include <system_error>

namespace platform {

Thread::Thread(std::function<uint32_t()> body) : body_(std::move(body)) {}

Thread::~Thread() {
    std::lock_guard<std::mutex> guard(lock_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool Thread::resume() {
    std::lock_guard<std::mutex> guard(lock_);
    if (started_) {
        return false;
    }
    try {
        thread_ = std::thread([this] {
            exitCode_.store(body_ ? body_() : 0);
            done_.set();
            notifyWaiters();
        });
    } catch (const std::system_error&) {
        return false;
    }
    started_ = true;
    return true;
}

bool Thread::setPriority(int) {
    return true;
}

bool Thread::join(uint32_t timeoutMs) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!started_) {
            return false;
        }
    }
    if (waitOne(done_, timeoutMs) != kWaitObject0) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (thread_.joinable()) {
        thread_.join();
    }
    return true;
}

bool Thread::finished() const {
    return done_.isSet();
}

uint32_t Thread::tryTake(uint32_t) {
    return done_.isSet() ? kWaitObject0 : kWaitTimeout;
}

}  // namespace platform
