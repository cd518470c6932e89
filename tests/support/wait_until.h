#pragma once
// Polling for a condition that another thread or process brings about.

#include <chrono>
#include <thread>

namespace testing_support {

// Polls done until it holds, for up to limit; whether it came to hold.
template <typename F>
bool waitUntil(F done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace testing_support
