#pragma once
// Another process that opens a named mutex and takes or releases it on request, to show what the
// test process holds.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/event.h"
#include "platform/named_mutex.h"
#include "tests/support/child_process.h"

namespace testing_support {

class MutexProber {
  public:
    // prepare runs in the other process before it opens the mutex; when it returns false, that
    // process ends at once.
    explicit MutexProber(const std::string& name, const std::function<bool()>& prepare = {})
        : child_([name, prepare](ChildProcess& self) {
              if (prepare && !prepare()) {
                  return 3;
              }
              platform::NamedMutex mutex(name);
              if (!mutex.valid()) {
                  return 2;
              }
              for (;;) {
                  const char command = self.receive(-1);
                  if (command == 't') {
                      const char ms = self.receive();
                      const uint32_t r = platform::waitOne(
                          mutex, static_cast<uint32_t>(static_cast<unsigned char>(ms)) * 10u);
                      self.send(r == platform::kWaitObject0      ? 'O'
                                : r == platform::kWaitAbandoned0 ? 'A'
                                : r == platform::kWaitTimeout    ? 'T'
                                                                 : 'F');
                  } else if (command == 'r') {
                      self.send(mutex.release() ? 'R' : 'N');
                  } else {
                      return 0;
                  }
              }
          }) {}
    ~MutexProber() {
        child_.send('q');
        child_.wait();
    }

    // Waits up to ms (in steps of 10 ms, at most 2550) in the other process: kWaitObject0,
    // kWaitAbandoned0 or kWaitTimeout; kWaitFailed when the other process cannot answer.
    uint32_t take(uint32_t ms) {
        if (!child_.send('t') || !child_.send(static_cast<char>(ms / 10u))) {
            return platform::kWaitFailed;
        }
        switch (child_.receive()) {
            case 'O':
                return platform::kWaitObject0;
            case 'A':
                return platform::kWaitAbandoned0;
            case 'T':
                return platform::kWaitTimeout;
            default:
                return platform::kWaitFailed;
        }
    }
    bool release() { return child_.send('r') && child_.receive() == 'R'; }

  private:
    ChildProcess child_;
};

}  // namespace testing_support
