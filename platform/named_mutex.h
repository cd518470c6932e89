#pragma once
// A mutex known system-wide by its name: a robust, recursive, process-shared pthread mutex in a POSIX
// shared-memory segment. Every process that opens the same name gets the same lock. It is taken
// through waitAny / waitOne like the other waitables; an owner that ended while holding it leaves it
// "abandoned" (kWaitAbandoned0) to the next waiter, who then owns it.

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/event.h"

namespace platform {

class NamedMutex : public Waitable {
  public:
    // Environment variable whose value, when set and not empty, is put in front of every system-level
    // name, so that processes started with different values never share a lock.
    static constexpr const char* kPrefixVariable = "VOFLASH_MUTEX_PREFIX";
    // Longest system-level name, leading '/' included.
    static constexpr size_t kMaxSystemName = 255;
    // Mode of the segment: every user shares the locks.
    static constexpr unsigned kMode = 0666;

    // Opens the mutex of that name, or creates it unowned when it does not exist yet. valid() tells
    // whether that worked.
    explicit NamedMutex(const std::string& name);
    // The segment is left in place for other processes. It stays mapped while any thread of this
    // process still holds the mutex through this object, so that the owner's robust list stays
    // valid and its end still marks the mutex abandoned.
    ~NamedMutex() override;

    bool valid() const { return segment_ != nullptr; }
    // Why the mutex could not be opened: the system's error number (EACCES for a segment this user
    // may not use); 0 when valid.
    int error() const { return error_; }
    // The shared-memory name: the prefix and the given name with one leading '/', every other '/'
    // and NUL turned into '_', cut to kMaxSystemName characters (a long name keeps a hash of its
    // whole text at the end, so names that differ only late stay apart). Empty for an empty name
    // without prefix, which opens nothing.
    const std::string& systemName() const { return systemName_; }

    // Gives up one level of ownership; false when the calling thread does not own the mutex.
    bool release();

    // The system-level name for a given name, under the current environment.
    static std::string systemNameFor(const std::string& name);

  protected:
    // sliceMs 0 tries once; otherwise blocks up to sliceMs on the monotonic clock.
    uint32_t tryTake(uint32_t sliceMs) override;
    // A release in another process cannot be announced here: waits poll in short slices.
    bool notifies() const override { return false; }

  private:
    struct Segment;

    // The segment's file, opened for reading and writing (created when missing); -1 (error_ set)
    // when that failed.
    int openSegmentFile();
    // The initialised segment behind fd, mapped; nullptr (error_ set) when that failed.
    Segment* mapSegment(int fd);

    std::string systemName_;
    Segment* segment_ = nullptr;
    int error_ = 0;
    // Successful takes through this object not yet released, over all threads.
    std::atomic<int64_t> holds_{0};
};

}  // namespace platform
