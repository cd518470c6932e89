#pragma once
// The received frames of a Vector channel, one queue per bus identifier, bounded per identifier by
// message count. The receive thread pushes; the caller's thread counts, takes and clears. Takers see
// a stream of payload bytes: a take may join several frames or split one.
//
// When the queue's lock cannot be had (it gives up after 30000 ms), push drops the message, count
// answers 0, and take, clear and popFront answer false without touching anything.

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "comm/MessageFrame.h"
#include "comm/UtilCriticalSection.h"

class VXLapiRxQueue {
  public:
    VXLapiRxQueue() = default;
    VXLapiRxQueue(const VXLapiRxQueue&) = delete;
    VXLapiRxQueue& operator=(const VXLapiRxQueue&) = delete;

    // Appends msg to the identifier's queue while it holds fewer than limit messages; an empty
    // message is ignored, one that does not fit is dropped.
    void push(uint32_t id, const VXLapiMsg& msg, uint32_t limit);
    // Payload bytes queued for id.
    uint32_t count(uint32_t id);
    // Takes up to n payload bytes of id, oldest first, into out (cleared first). n 0, or an identifier
    // never pushed: true, out untouched.
    bool take(uint32_t id, std::vector<uint8_t>& out, uint32_t n);
    // Empties the identifier's queue; false when it has none.
    bool clear(uint32_t id);
    void clearAll();
    bool popFront(uint32_t id, VXLapiMsg& out);

  private:
    using Messages = std::deque<VXLapiMsg>;
    static bool extractPayloadBytes(Messages& messages, std::vector<uint8_t>& out, uint32_t n);

    UtilCriticalSection lock;
    std::map<uint32_t, Messages> queues;
};
