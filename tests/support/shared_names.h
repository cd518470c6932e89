#pragma once
// Test helpers around system-wide lock names. Product code never removes a segment; tests remove
// the ones they made once every user is gone, so runs do not pile them up or meet old state.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>

#include "platform/named_mutex.h"

namespace testing_support {

// A name no earlier run has used: base and process id.
inline std::string freshName(const std::string& base) {
    return base + "_" + std::to_string(getpid());
}

// Removes the segment of a name, as the environment gives it now, at the end of a test.
class SegmentCleanup {
  public:
    explicit SegmentCleanup(const std::string& name) : name_(platform::NamedMutex::systemNameFor(name)) {}
    ~SegmentCleanup() { shm_unlink(name_.c_str()); }
    SegmentCleanup(const SegmentCleanup&) = delete;
    SegmentCleanup& operator=(const SegmentCleanup&) = delete;

  private:
    std::string name_;
};

// Removes every segment whose name starts with prefix and the '.' that ends a prefix; for the end of
// a process or test that alone used that prefix.
inline void removeSegmentsOfPrefix(const std::string& prefix) {
    const std::string start = prefix + ".";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, start.size(), start) == 0) {
            shm_unlink(("/" + name).c_str());
        }
    }
}

// The permission bits of the segment of a name, as the environment gives it now; -1 when there is
// none.
inline int segmentMode(const std::string& name) {
    const int fd = shm_open(platform::NamedMutex::systemNameFor(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    struct stat st {};
    const bool ok = fd >= 0 && fstat(fd, &st) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Sets the permission bits of an existing segment; false when that failed.
inline bool setSegmentMode(const std::string& name, mode_t mode) {
    const int fd = shm_open(platform::NamedMutex::systemNameFor(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    const bool ok = fd >= 0 && fchmod(fd, mode) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

// Makes the segment of a name as older builds left it: initialised, for its owner alone.
inline bool makeSegmentForItsOwnerAlone(const std::string& name) {
    return platform::NamedMutex(name).valid() && setSegmentMode(name, 0600);
}

// Collects what is written on std::cout while it lives.
class CoutCapture {
  public:
    CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old_); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;

    std::string text() const { return buffer_.str(); }
    // Returns what was written so far and starts again empty.
    std::string take() {
        std::string t = buffer_.str();
        buffer_.str(std::string());
        return t;
    }

  private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};

}  // namespace testing_support
