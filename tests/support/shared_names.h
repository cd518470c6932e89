#pragma once
// Test helpers around system-wide lock names. Product code never removes a segment; tests remove
// the ones they made once every user is gone, so runs do not pile them up or meet old state.

#include <sys/mman.h>
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <string>

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
