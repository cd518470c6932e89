#pragma once
// A lock-name prefix of its own for one test in this process. The channel and device locks are
// system-wide and named after a per-process counter, so test processes running at once would share
// them (and wait for each other's exchanges); the segments made under the prefix are removed at the
// end.

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/named_mutex.h"
#include "tests/support/shared_names.h"

namespace testing_support {

class ProcessLockPrefix {
  public:
    explicit ProcessLockPrefix(const std::string& fallback) {
        const char* outer = std::getenv(platform::NamedMutex::kPrefixVariable);
        saved_ = outer != nullptr ? outer : "";
        prefix_ = (saved_.empty() ? fallback : saved_) + "." + std::to_string(getpid());
        setenv(platform::NamedMutex::kPrefixVariable, prefix_.c_str(), 1);
    }
    ~ProcessLockPrefix() {
        removeSegmentsOfPrefix(prefix_);
        setenv(platform::NamedMutex::kPrefixVariable, saved_.c_str(), 1);
    }
    ProcessLockPrefix(const ProcessLockPrefix&) = delete;
    ProcessLockPrefix& operator=(const ProcessLockPrefix&) = delete;

  private:
    std::string saved_;
    std::string prefix_;
};

}  // namespace testing_support
