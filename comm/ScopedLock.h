#pragma once
// Holds a lock of this library (UtilMutex, UtilCriticalSection: lock() and unlock() that report
// success) for a scope. The lock is tried once at construction; held() tells whether it was had.
// Leaving the scope, an exception included, unlocks a lock still held; release() unlocks it earlier
// and gives the unlock's result.

template <class Lock>
class ScopedLock {
  public:
    explicit ScopedLock(Lock& lock) : lock_(lock), held_(lock.lock()) {}
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    ~ScopedLock() {
        if (held_) {
            lock_.unlock();
        }
    }

    bool held() const { return held_; }
    // Unlocks a held lock now; false when it was not held or the unlock failed.
    bool release() {
        if (!held_) {
            return false;
        }
        held_ = false;
        return lock_.unlock();
    }

  private:
    Lock& lock_;
    bool held_;
};
