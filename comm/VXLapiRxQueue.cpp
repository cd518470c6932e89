#include "comm/VXLapiRxQueue.h"

#include <algorithm>

#include "comm/ScopedLock.h"

void VXLapiRxQueue::push(uint32_t id, const VXLapiMsg& msg, uint32_t limit) {
    if (msg.data.empty()) {
        return;
    }
    ScopedLock guard(lock);
    if (!guard.held()) {
        return;
    }
    Messages& messages = queues[id];
    if (messages.size() < limit) {
        messages.push_back(msg);
    }
}

uint32_t VXLapiRxQueue::count(uint32_t id) {
    ScopedLock guard(lock);
    if (!guard.held()) {
        return 0;
    }
    const auto found = queues.find(id);
    if (found == queues.end()) {
        return 0;
    }
    uint64_t total = 0;
    for (const VXLapiMsg& m : found->second) {
        total += m.data.size();
    }
    return static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
}

bool VXLapiRxQueue::take(uint32_t id, std::vector<uint8_t>& out, uint32_t n) {
    if (n == 0) {
        return true;
    }
    ScopedLock guard(lock);
    if (!guard.held()) {
        return false;
    }
    const auto found = queues.find(id);
    if (found == queues.end()) {
        return true;
    }
    return extractPayloadBytes(found->second, out, n);
}

bool VXLapiRxQueue::clear(uint32_t id) {
    ScopedLock guard(lock);
    if (!guard.held()) {
        return false;
    }
    const auto found = queues.find(id);
    if (found == queues.end()) {
        return false;
    }
    found->second.clear();
    return true;
}

void VXLapiRxQueue::clearAll() {
    ScopedLock guard(lock);
    if (guard.held()) {
        queues.clear();
    }
}

bool VXLapiRxQueue::popFront(uint32_t id, VXLapiMsg& out) {
    ScopedLock guard(lock);
    if (!guard.held()) {
        return false;
    }
    const auto found = queues.find(id);
    if (found == queues.end() || found->second.empty()) {
        return false;
    }
    out = found->second.front();
    found->second.pop_front();
    return true;
}

bool VXLapiRxQueue::extractPayloadBytes(Messages& messages, std::vector<uint8_t>& out, uint32_t n) {
    out.clear();
    if (n == 0) {
        return out.empty();
    }
    uint64_t total = 0;
    for (const VXLapiMsg& m : messages) {
        total += m.data.size();
    }
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(n, total));
    out.reserve(wanted);
    size_t usedUp = 0;
    for (VXLapiMsg& m : messages) {
        if (out.size() == wanted) {
            break;
        }
        const size_t room = wanted - out.size();
        if (m.data.size() > room) {
            out.insert(out.end(), m.data.begin(), m.data.begin() + static_cast<std::ptrdiff_t>(room));
            m.data.erase(m.data.begin(), m.data.begin() + static_cast<std::ptrdiff_t>(room));
            break;
        }
        out.insert(out.end(), m.data.begin(), m.data.end());
        ++usedUp;
    }
    messages.erase(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(usedUp));
    return out.size() == wanted;
}
