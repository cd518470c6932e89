#include "comm/UtilMutex.h"

#include <iomanip>
#include <iostream>
#include <sstream>
#include <system_error>
#include <utility>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/named_mutex.h"

namespace {
constexpr uint32_t kLockLimitMs = 30000;
}  // namespace

std::atomic<uint32_t> UtilMutex::openCounter{0};

UtilMutex::my_exception::my_exception(std::string offendingMutex) : offending(std::move(offendingMutex)) {}

const char* UtilMutex::exception_lock::what() const noexcept {
    return "Bad mutex lock operation!";
}

const char* UtilMutex::exception_unlock::what() const noexcept {
    return "Bad mutex unlock operation!";
}

UtilMutex::UtilMutex() = default;

UtilMutex::UtilMutex(const std::string& name, uint64_t id) {
    open(name, id);
}

UtilMutex::~UtilMutex() {
    const bool locked = internalLock.lock();
    // A waiter sees the abort within one polling slice and touches nothing of this object after it
    // has left the count, so the handles can go once the count is 0. The event is set again while
    // waiters remain: one set ends one wait.
    while (waiting.load() != 0) {
        abortEvent->set();
        platform::sleepFor(1);
    }
    // A mutex given up here would otherwise stay held by this thread until it ends. Holds of other
    // threads cannot be released for them; the mapping then stays until they end.
    if (mutexHandle) {
        while (mutexHandle->release()) {
        }
    }
    mutexHandle.reset();
    abortEvent.reset();
    if (locked) {
        internalLock.unlock();
    }
}

bool UtilMutex::open(const std::string& name, uint64_t id) {
    if (!internalLock.lock()) {
        return false;
    }
    if (openedOnce) {
        internalLock.unlock();
        return lock() && unlock();
    }
    openedOnce = true;
    std::ostringstream text;
    text << "VO_MUTEX_" << name << "_" << std::hex << id << "_"
         << "_0x" << std::setw(16) << std::setfill('0') << openCounter.fetch_add(1);
    fullName = text.str();
    abortEvent = std::make_unique<platform::Event>(false, false);
    mutexHandle = std::make_unique<platform::NamedMutex>(fullName);
    if (!mutexHandle->valid()) {
        // Every lock of this object fails from now on; the user learns here why.
        std::cout << "Cannot open mutex " << fullName << " (shared memory " << mutexHandle->systemName()
                  << "): " << std::generic_category().message(mutexHandle->error()) << std::endl;
        mutexHandle.reset();
    }
    isOpen = mutexHandle != nullptr;
    const bool result = isOpen;
    internalLock.unlock();
    return result;
}

bool UtilMutex::lock() {
    return lockReported(true);
}

bool UtilMutex::unlock() {
    return lockReported(false);
}

bool UtilMutex::lockReported(bool lock) {
    try {
        return lock ? lockOrThrow() : unlockOrThrow();
    } catch (const my_exception& e) {
        // Only the exception is used here: after an aborted wait this object may be gone.
        std::cout << e.what() << " Offending mutex: " << e.offendingMutex() << std::endl;
        return false;
    }
}

bool UtilMutex::lockOrThrow() {
    if (!internalLock.lock()) {
        throw exception_lock(fullName);
    }
    if (!isOpen) {
        internalLock.unlock();
        throw exception_lock(fullName);
    }
    waiting.fetch_add(1);
    platform::NamedMutex* mutex = mutexHandle.get();
    platform::Event* abort = abortEvent.get();
    if (!internalLock.unlock()) {
        waiting.fetch_sub(1);
        throw exception_lock(fullName);
    }

    const uint32_t result = platform::waitAny({mutex, abort}, kLockLimitMs);
    if (result == platform::kWaitObject0 || result == platform::kWaitAbandoned0) {
        // Owned, the abandoned case too: the previous owner ended and this thread took over.
        waiting.fetch_sub(1);
        return true;
    }
    // Aborted (the object is being destroyed), timed out or failed: not owned. Leaving the count
    // is the last use of this object.
    exception_lock failure(fullName);
    waiting.fetch_sub(1);
    throw failure;
}

bool UtilMutex::unlockOrThrow() {
    const bool locked = internalLock.lock();
    const bool released = isOpen && mutexHandle->release();
    // Only a lock taken here is given back: the flag may be held by another thread.
    const bool unlocked = locked && internalLock.unlock();
    if (!(locked && released && unlocked)) {
        throw exception_unlock(fullName);
    }
    return true;
}

const std::string& UtilMutex::defaultName() {
    static const std::string name("GenericMutex");
    return name;
}
