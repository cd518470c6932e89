#pragma once
// A lock-name prefix of its own for one test in this process. The channel and device locks are
// system-wide and named after a per-process counter, so test processes running at once would share
// them (and wait for each other's exchanges); the segments made under the prefix are removed at the
// end.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/named_mutex.h"

namespace testing_support {

class ProcessLockPrefix {
  public:
    explicit ProcessLockPrefix(const std::string& fallback) {
        const char* outer = std::getenv(platform::NamedMutex::kPrefixVariable);
        saved_ = outer != nullptr ? outer : "";
        const std::string prefix = (saved_.empty() ? fallback : saved_) + "." + std::to_string(getpid());
        setenv(platform::NamedMutex::kPrefixVariable, prefix.c_str(), 1);
    }
    ~ProcessLockPrefix() {
        const std::string marker = "VO_MUTEX_";
        const std::string full = platform::NamedMutex::systemNameFor(marker);
        const std::string start = full.substr(1, full.size() - 1 - marker.size());
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.compare(0, start.size(), start) == 0) {
                shm_unlink(("/" + name).c_str());
            }
        }
        setenv(platform::NamedMutex::kPrefixVariable, saved_.c_str(), 1);
    }
    ProcessLockPrefix(const ProcessLockPrefix&) = delete;
    ProcessLockPrefix& operator=(const ProcessLockPrefix&) = delete;

  private:
    std::string saved_;
};

}  // namespace testing_support
