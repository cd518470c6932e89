// The virtual XL driver's timed transmitter.
//
// Without bus timing a transmission is synchronous: a frame is on the bus (in every other node's
// socket) when the transmit call returns, so the transmit queue is always empty. With
// VOFLASH_BUS_TIMING=1 a channel has a transmit queue, as a real interface has: the call queues the
// frame and returns, and a transmitter thread puts it on the bus once its time at the channel's bit
// rate has passed, right after the frames queued before it. A sender that finds kTxQueueDepth frames
// of the channel waiting waits for room (frames are never refused for it), a closing port first sends
// what it has queued, and xlCanFlushTransmitQueue drops what has not gone yet.
//
// Locks: a sender holds Port::txLock, reads channel state under Port::lock (let go again) and queues
// under Transmitter::lock; while the queue is full it waits with neither txLock nor Transmitter::lock
// held. The transmitter thread takes a frame under Transmitter::lock, lets it go, and sends under the
// frame's Port::txLock, taking Transmitter::lock again under it to count the frame sent.

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "xl/bus.h"
#include "xl/driver_internal.h"
#include "xl/xl_api.h"

namespace xl::driver {

namespace {

constexpr uint32_t kDefaultBitrate = 500000;
constexpr size_t kTxQueueDepth = 256;

// Nominal length of a frame without stuff bits: classic frames at the nominal bit rate; CAN FD
// frames with the data phase (control field from ESI, data, CRC) at the data bit rate under BRS.
uint64_t frameTimeNs(const Frame& f, const ChannelState& c) {
    const bool ext = (f.id & XL_CAN_EXT_MSG_ID) != 0;
    const uint64_t nominal =
        c.fdConfigured ? c.fd.arbitrationBitRate : (c.bitrate ? c.bitrate : kDefaultBitrate);
    const uint64_t n = (f.flags & xl::bus::kFlagRemote) ? 0 : f.length;
    if (!(f.flags & xl::bus::kFlagFd)) {
        return ((ext ? 67 : 47) + 8 * n) * 1000000000ull / nominal;
    }
    const uint64_t data = (f.flags & xl::bus::kFlagBrs) && c.fdConfigured ? c.fd.dataBitRate : nominal;
    const uint64_t arbitrationBits = ext ? 48 : 29;
    const uint64_t dataBits = 1 + 4 + 8 * n + (n > 16 ? 21 : 17) + 5;
    return arbitrationBits * 1000000000ull / nominal + dataBits * 1000000000ull / data;
}

std::chrono::steady_clock::time_point steadyAt(uint64_t ns) {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

void transmitLoop() {
    // The bus's timing is this thread's wake-ups: they must not come late by the default timer slack.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    Transmitter& t = drv().tx;
    std::unique_lock<std::mutex> lk(t.lock);
    for (;;) {
        if (t.queue.empty()) {
            if (t.stopping) {
                return;
            }
            t.work.wait(lk);
            continue;
        }
        auto next = t.queue.begin();
        const uint64_t due = next->first.first;
        if (nowNs() < due) {
            t.work.wait_until(lk, steadyAt(due));
            continue;
        }
        TimedFrame f = std::move(next->second);
        t.queue.erase(next);
        lk.unlock();
        {
            std::lock_guard<std::mutex> guard(f.port->txLock);
            ChannelState& c = *f.port->channel(f.index);
            if (c.node) {
                c.node->send(f.frame);  // a port closed meanwhile has no node: the frame is dropped
            }
            lk.lock();
            --c.txQueued;
        }
        t.done.notify_all();
    }
}

size_t queuedOnPort(const Port& p) {
    size_t n = 0;
    for (const ChannelState& c : p.channels) {
        n += c.txQueued;
    }
    return n;
}

// Queues one frame, whose time on the bus is frameNs, on the channel behind the frames it has queued
// already; tx holds Port::txLock and is let go while the queue is full (the port may close then).
XLstatus queueTimed(Port& p, ChannelState& c, const Frame& f, uint64_t frameNs,
                    std::unique_lock<std::mutex>& tx) {
    Transmitter& t = drv().tx;
    std::unique_lock<std::mutex> lk(t.lock);
    while (c.txQueued >= kTxQueueDepth && !p.closed) {
        tx.unlock();
        t.done.wait(lk);
        lk.unlock();
        tx.lock();
        lk.lock();
    }
    if (p.closed) {
        return XL_ERR_INVALID_PORT;
    }
    const uint64_t start = std::max(nowNs(), c.txFreeAtNs);
    c.txFreeAtNs = start + frameNs;
    ++c.txQueued;
    const bool first = t.queue.empty() || c.txFreeAtNs < t.queue.begin()->first.first;
    t.queue.emplace(std::make_pair(c.txFreeAtNs, t.order++), TimedFrame{p.shared_from_this(), c.index, f});
    if (first) {
        t.work.notify_one();
    }
    return XL_SUCCESS;
}

}  // namespace

void startTransmitter() {
    Transmitter& t = drv().tx;
    t.stopping = false;
    t.thread = std::thread(transmitLoop);
}

void stopTransmitter() {
    Transmitter& t = drv().tx;
    if (t.thread.joinable()) {
        {
            std::lock_guard<std::mutex> guard(t.lock);
            t.stopping = true;
        }
        t.work.notify_all();
        t.thread.join();
    }
}

// Waits until the timed transmit queue has sent every frame the port queued.
void drainTimedQueue(Port& p) {
    Transmitter& t = drv().tx;
    std::unique_lock<std::mutex> lk(t.lock);
    t.done.wait(lk, [&] { return queuedOnPort(p) == 0; });
}

// Puts one frame on the bus of every channel of mask (with bus timing: in their transmit queues).
XLstatus transmitFrame(Port& p, XLaccess mask, Frame f, std::unique_lock<std::mutex>& tx) {
    std::vector<ChannelState*> targets;
    const XLstatus status = whileOpen(p, [&] {
        const auto busOff = [](const ChannelState& c) { return c.busOff ? XL_ERR_BUS_OFF : XL_SUCCESS; };
        if (XLstatus s = sendTargets(p, mask, busOff, &targets); s != XL_SUCCESS) {
            return s;
        }
        if (std::any_of(targets.begin(), targets.end(),
                        [](const ChannelState* c) { return c->failNext > 0; })) {
            p.forEach(mask, [](ChannelState& c) { c.failNext -= c.failNext > 0 ? 1 : 0; });
            return XL_ERR_QUEUE_IS_FULL;
        }
        return XL_SUCCESS;
    });
    if (status != XL_SUCCESS) {
        return status;
    }
    const bool timing = drv().timing;
    for (ChannelState* c : targets) {
        uint64_t frameNs = 0;
        {
            // The bit rates are channel state: read under the port's lock.
            std::lock_guard<std::mutex> guard(p.lock);
            f.bitrate = c->fdConfigured && (f.flags & xl::bus::kFlagBrs)
                            ? c->fd.dataBitRate
                            : (c->fdConfigured ? c->fd.arbitrationBitRate : c->bitrate);
            if (timing) {
                frameNs = frameTimeNs(f, *c);
            }
        }
        if (timing) {
            if (XLstatus s = queueTimed(p, *c, f, frameNs, tx); s != XL_SUCCESS) {
                return s;
            }
        } else {
            c->node->send(f);
        }
    }
    return XL_SUCCESS;
}

}  // namespace xl::driver

using namespace xl::driver;

XLstatus xlCanFlushTransmitQueue(XLportHandle portHandle, XLaccess accessMask) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    // Only the timed transmit queue holds frames; the one on its way to the bus still goes.
    return whileOpen(*p, p->txLock, [&] {
        Transmitter& t = drv().tx;
        {
            std::lock_guard<std::mutex> guard(t.lock);
            for (auto it = t.queue.begin(); it != t.queue.end();) {
                if (it->second.port == p && (accessMask & (XLaccess{1} << it->second.index))) {
                    --p->channel(it->second.index)->txQueued;
                    it = t.queue.erase(it);
                } else {
                    ++it;
                }
            }
        }
        const uint64_t now = nowNs();
        p->forEach(accessMask, [&](ChannelState& c) { c.txFreeAtNs = std::min(c.txFreeAtNs, now); });
        t.done.notify_all();
        return XL_SUCCESS;
    });
}
