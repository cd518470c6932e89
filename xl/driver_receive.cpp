// The virtual XL driver's receiving side: the I/O thread and the ports' receive queues.
//
// One I/O thread per process (running while the driver is open) reads every node's socket and files
// what arrives in its port's receive queue, then sets the port's notification event while events
// wait there, whatever queue level the port asked for (the level is checked, not kept). It never
// stops reading: a full receive queue drops what arrives, as a real one does, and marks the next
// frame that fits as an overrun. (Were the thread to stop reading a full port, its senders would
// wait, holding the bus lock, for a reader that may itself wait for that lock to send.)
//
// Locks: the I/O thread finds a node's port under state, lets it go, and reads the node under
// Port::lock; the LIN responses it owes go out after that, under txLock, then lock. The receive
// calls take Port::lock only.

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "xl/bus.h"
#include "xl/driver_internal.h"
#include "xl/xl_api.h"

namespace xl::driver {

namespace {

constexpr unsigned kReadBudget = 256;  // datagrams the I/O thread takes from one node in a row

void serviceNode(uint64_t key) {
    Driver& d = drv();
    std::shared_ptr<Port> port;
    uint8_t index = 0;
    {
        std::lock_guard<std::mutex> guard(d.state);
        auto it = d.nodes.find(key);
        if (it == d.nodes.end()) {
            return;
        }
        index = it->second.second;
        auto p = d.ports.find(it->second.first);
        if (p == d.ports.end()) {
            return;
        }
        port = p->second;
    }
    std::vector<PendingResponse> responses;
    {
        std::lock_guard<std::mutex> guard(port->lock);
        ChannelState* c = port->channel(index);
        if (c == nullptr || !c->node) {
            return;
        }
        for (unsigned budget = kReadBudget; budget > 0; --budget) {
            Frame f;
            if (!c->node->receive(f)) {
                break;
            }
            handleFrame(*port, *c, f, &responses);
        }
        notifyIfDue(*port);
    }
    // LIN slaves answer the headers they serve, in the order the headers came.
    for (PendingResponse& r : responses) {
        sendLinResponse(*port, *r.channel, r.frame);
    }
}

// Copies an event's chip state into the chip-state part of either record.
template <typename ChipState>
void copyChipState(const RxEvent& ev, ChipState& s) {
    s.busStatus = ev.busStatus;
    s.txErrorCounter = ev.txErrorCounter;
    s.rxErrorCounter = ev.rxErrorCounter;
}

// The record xlReceive gives for an event.
void toEvent(const Port& p, const RxEvent& ev, XLevent& out) {
    std::memset(&out, 0, sizeof out);
    out.chanIndex = ev.chanIndex;
    out.portHandle = static_cast<uint16_t>(p.handle);
    out.timeStamp = p.clockTime(ev.timeNs);
    if (ev.type == RxEvent::Type::kChipState) {
        out.tag = XL_CHIP_STATE;
        copyChipState(ev, out.tagData.chipState);
    } else if (ev.type == RxEvent::Type::kLin) {
        s_xl_lin_msg& m = out.tagData.linMsg;
        out.tag = XL_LIN_MSG;
        m.id = static_cast<uint8_t>(ev.id);
        m.dlc = ev.dlc;
        m.flags = ev.linFlags;
        std::memcpy(m.data, ev.data, std::min<size_t>(ev.length, 8));
        m.crc = ev.linChecksum;
    } else {
        s_xl_can_msg& m = out.tagData.msg;
        out.tag = XL_RECEIVE_MSG;
        m.id = ev.id;
        if (ev.busFlags & xl::bus::kFlagFd) {
            m.flags = XL_CAN_MSG_FLAG_ERROR_FRAME;  // a classic controller cannot read CAN FD frames
        } else {
            m.flags = ev.busFlags & xl::bus::kFlagRemote ? XL_CAN_MSG_FLAG_REMOTE_FRAME : 0;
            m.dlc = ev.dlc;
            std::memcpy(m.data, ev.data, std::min<size_t>(ev.length, MAX_MSG_LEN));
        }
        if (ev.overrun) {
            m.flags |= XL_CAN_MSG_FLAG_OVERRUN;
        }
    }
}

// The record xlCanReceive gives for an event.
void toCanRxEvent(const Port& p, const RxEvent& ev, XLcanRxEvent& event) {
    std::memset(&event, 0, sizeof event);
    event.size = sizeof event;
    event.channelIndex = ev.chanIndex;
    event.timeStampSync = p.clockTime(ev.timeNs);
    if (ev.type == RxEvent::Type::kChipState) {
        event.tag = XL_CAN_EV_TAG_CHIP_STATE;
        copyChipState(ev, event.tagData.canChipState);
    } else {
        XL_CAN_EV_RX_MSG& m = event.tagData.canRxOkMsg;
        event.tag = XL_CAN_EV_TAG_RX_OK;
        m.canId = ev.id;
        m.msgFlags = (ev.busFlags & xl::bus::kFlagFd ? XL_CAN_RXMSG_FLAG_EDL : 0) |
                     (ev.busFlags & xl::bus::kFlagBrs ? XL_CAN_RXMSG_FLAG_BRS : 0) |
                     (ev.busFlags & xl::bus::kFlagRemote ? XL_CAN_RXMSG_FLAG_RTR : 0) |
                     (ev.overrun ? XL_CAN_RXMSG_FLAG_OVERRUN : 0);
        m.dlc = ev.dlc;
        std::memcpy(m.data, ev.data, ev.length);
    }
}

}  // namespace

void notifyIfDue(Port& p) {
    if (p.notify != nullptr && !p.queue.empty()) {
        p.notify->set();
    }
}

// Files an event; lock held. A full queue drops it and marks the next frame.
void push(Port& p, RxEvent ev) {
    if (p.queue.size() >= p.rxQueueSize) {
        p.overrunPending = true;
        return;
    }
    if (ev.type == RxEvent::Type::kCan && p.overrunPending) {
        ev.overrun = true;
        p.overrunPending = false;
    }
    p.queue.push_back(ev);
}

void handleFrame(Port& p, ChannelState& c, const Frame& f, std::vector<PendingResponse>* responses) {
    if (f.kind == Kind::kTxFail) {
        c.failNext = f.count;
        return;
    }
    if (f.lost > 0) {
        p.overrunPending = true;
    }
    if (!c.active || f.timeNs < c.activeSinceNs) {
        return;
    }
    RxEvent ev;
    ev.chanIndex = c.index;
    ev.timeNs = f.timeNs;
    if (f.kind == Kind::kChipState) {
        if (p.busType != XL_BUS_TYPE_CAN) {
            return;
        }
        ev.type = RxEvent::Type::kChipState;
        ev.busStatus = f.busStatus;
        ev.txErrorCounter = f.txErrorCounter;
        ev.rxErrorCounter = f.rxErrorCounter;
        if (f.busStatus == XL_CHIPSTAT_BUSOFF && !c.busOff) {
            c.busOff = true;
            c.busOffSinceNs = f.timeNs;
        }
        push(p, ev);
        return;
    }
    if (f.kind == Kind::kLinHeader || f.kind == Kind::kLinFrame) {
        handleLinFrame(p, c, f, responses);
        return;
    }
    if (f.kind != Kind::kCan || p.busType != XL_BUS_TYPE_CAN || (c.busOff && f.timeNs >= c.busOffSinceNs)) {
        return;
    }
    const Frame g = canFrame(f.id, f.dlc, f.flags, f.data, f.length);
    ev.type = RxEvent::Type::kCan;
    ev.id = g.id;
    ev.busFlags = g.flags;
    ev.dlc = g.dlc;
    ev.length = g.length;
    std::memcpy(ev.data, g.data, g.length);
    push(p, ev);
}

void ioLoop() {
    Driver& d = drv();
    epoll_event events[32];
    while (!d.stopping.load()) {
        const int n = epoll_wait(d.epollFd, events, 32, -1);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == 0) {
                uint64_t v;
                [[maybe_unused]] ssize_t r = read(d.wakeFd, &v, sizeof v);
                continue;
            }
            serviceNode(events[i].data.u64);
        }
    }
}

}  // namespace xl::driver

using namespace xl::driver;

XLstatus xlReceive(XLportHandle portHandle, uint32_t* eventCount, XLevent* events) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    if (eventCount == nullptr || events == nullptr || *eventCount == 0) {
        return XL_ERR_WRONG_PARAMETER;
    }
    if (p->ifVersion != XL_INTERFACE_VERSION) {
        *eventCount = 0;
        return XL_ERR_WRONG_INTERFACE_VERSION;
    }
    return whileOpen(*p, [&] {
        uint32_t n = 0;
        while (n < *eventCount && !p->queue.empty()) {
            toEvent(*p, p->queue.front(), events[n++]);
            p->queue.pop_front();
        }
        *eventCount = n;
        notifyIfDue(*p);
        return n > 0 ? XL_SUCCESS : XL_ERR_QUEUE_IS_EMPTY;
    });
}

XLstatus xlCanReceive(XLportHandle portHandle, XLcanRxEvent* event) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    if (event == nullptr) {
        return XL_ERR_WRONG_PARAMETER;
    }
    if (p->ifVersion != XL_INTERFACE_VERSION_V4) {
        return XL_ERR_WRONG_INTERFACE_VERSION;
    }
    return whileOpen(*p, [&] {
        if (p->queue.empty()) {
            return XL_ERR_QUEUE_IS_EMPTY;
        }
        toCanRxEvent(*p, p->queue.front(), *event);
        p->queue.pop_front();
        notifyIfDue(*p);
        return XL_SUCCESS;
    });
}
