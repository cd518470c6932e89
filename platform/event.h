#pragma once
// Waitable objects and waits over one or several of them, in the manner the channel and lock code
// expects: a wait returns the lowest signalled index and takes only that object.

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Results of waitOne and waitAny. An index i is returned as kWaitObject0 + i, an abandoned mutex
// at index i as kWaitAbandoned0 + i.
constexpr uint32_t kWaitObject0 = 0x00000000u;
constexpr uint32_t kWaitAbandoned0 = 0x00000080u;
constexpr uint32_t kWaitTimeout = 0x00000102u;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

struct Waiter;

class Waitable {
  public:
    Waitable() = default;
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;
    virtual ~Waitable();

  protected:
    // Takes the object when it is signalled (consumes an auto-reset event, acquires a mutex) and
    // returns kWaitObject0, or kWaitAbandoned0 for a mutex whose owner ended; kWaitTimeout when it
    // is not signalled. sliceMs > 0 lets objects that cannot notify (see notifies) block that long.
    virtual uint32_t tryTake(uint32_t sliceMs) = 0;
    // False for objects whose signal cannot be announced to waiters in this process (a mutex
    // released by another process); waits poll those in short slices.
    virtual bool notifies() const { return true; }
    // Wakes every wait that currently includes this object.
    void notifyWaiters();

  private:
    friend uint32_t waitAny(const std::vector<Waitable*>& objects, uint32_t timeoutMs);
    void addWaiter(Waiter* w);
    void removeWaiter(Waiter* w);

    std::mutex waitersLock_;
    std::vector<Waiter*> waiters_;
};

// Level-triggered event, auto-reset (a successful wait clears it) or manual-reset.
class Event : public Waitable {
  public:
    Event(bool manualReset, bool initiallySet);
    ~Event() override;

    void set();
    void reset();
    bool isSet() const;

  protected:
    uint32_t tryTake(uint32_t sliceMs) override;

  private:
    const bool manualReset_;
    mutable std::mutex lock_;
    bool signalled_;
};

// Waits until one of the objects is signalled or timeoutMs have passed (kInfinite: no limit).
// Objects are examined in index order, so the lowest signalled index wins and only that object is
// taken. At most 64 objects; an empty list or a null entry gives kWaitFailed.
uint32_t waitAny(const std::vector<Waitable*>& objects, uint32_t timeoutMs);
uint32_t waitOne(Waitable& object, uint32_t timeoutMs);

}  // namespace platform
