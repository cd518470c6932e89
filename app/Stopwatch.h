#pragma once

#include <chrono>

// Times a whole run on the monotonic clock from its construction.
class Stopwatch {
  public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}

    std::chrono::nanoseconds elapsed() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                    start_);
    }

  private:
    std::chrono::steady_clock::time_point start_;
};
