// The virtual XL driver: configured channels, application channels, ports and their receive
// queues, over the virtual bus of xl/bus.h.
//
// Each channel of an open port is a node on its channel's bus. One I/O thread per process (running
// while the driver is open) reads every node's socket and files what arrives in its port's receive
// queue, then sets the port's notification event while events wait there, whatever queue level the
// port asked for (the level is checked, not kept). It never stops reading: a full receive queue
// drops what arrives, as a real one does, and marks the next frame that fits as an overrun. (Were
// the thread to stop reading a full port, its senders would wait, holding the bus lock, for a reader
// that may itself wait for that lock to send.)
//
// Without bus timing a transmission is synchronous: a frame is on the bus (in every other node's
// socket) when the transmit call returns, so the transmit queue is always empty. With
// VOFLASH_BUS_TIMING=1 a channel has a transmit queue, as a real interface has: the call queues the
// frame and returns, and a transmitter thread puts it on the bus once its time at the channel's bit
// rate has passed, right after the frames queued before it. A sender that finds kTxQueueDepth frames
// of the channel waiting waits for room (frames are never refused for it), a closing port first sends
// what it has queued, and xlCanFlushTransmitQueue drops what has not gone yet.
//
// A call may find a port in the tables just before another thread closes it. The close marks the
// port closed (under both of its locks) before it takes the port off the bus, and every call checks
// the mark under the lock it works under, so a call that comes too late answers XL_ERR_INVALID_PORT
// as for a handle never given, and nothing brings a closed channel back.
//
// Locks, in the order they may be taken: lifecycle (open and close of the driver), Port::txLock
// (transmits; keeps the port's nodes alive), Transmitter::lock (the timed transmit queue), state (the
// tables below), Port::lock (queue and channel state). poolLock is taken alone.

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "xl/bus.h"
#include "xl/config.h"
#include "xl/lin.h"
#include "xl/xl_api.h"
#include "xl/xl_test_control.h"

namespace {

using xl::bus::Frame;
using xl::bus::Kind;

constexpr uint32_t kDriverVersion = 0x01000000u;
constexpr uint32_t kDefaultBitrate = 500000;
constexpr uint32_t kMaxCanBitrate = 1000000;
constexpr uint32_t kMaxCanFdDataBitrate = 8000000;
constexpr unsigned kReadBudget = 256;
// A port's receive queue holds at least this many events, whatever size the port asked for: the
// bus carries frames far faster than a real one, and a receive thread held up for a few
// milliseconds on a loaded machine must not lose a burst that a 256-event queue would overrun.
constexpr uint32_t kMinRxQueueSize = 4096;  // datagrams the I/O thread takes from one node in a row

uint64_t nowNs() {
    return platform::counterTicks();
}

// One received event, kept as the bus gave it until a receive call shapes it into a record.
struct RxEvent {
    enum class Type : uint8_t { kCan, kChipState, kLin } type = Type::kCan;
    uint8_t chanIndex = 0;
    uint8_t busFlags = 0;  // xl::bus::kFlag...
    uint8_t dlc = 0;
    uint8_t length = 0;
    bool overrun = false;
    uint8_t busStatus = 0, txErrorCounter = 0, rxErrorCounter = 0;
    uint32_t id = 0;
    uint64_t timeNs = 0;  // CLOCK_MONOTONIC
    uint8_t data[64] = {};
    uint16_t linFlags = 0;  // XL_LIN_MSGFLAG_...
    uint8_t linChecksum = 0;
};

struct LinSlave {
    uint8_t data[8] = {};
    uint8_t dlc = 0;
    uint16_t checksum = XL_LIN_CALC_CHECKSUM;
    bool on = false;
};

struct ChannelState {
    uint8_t index = 0;
    xl::config::Channel config;
    std::unique_ptr<xl::bus::Node> node;  // destroyed under txLock and lock
    uint64_t nodeKey = 0;

    // Under Port::lock:
    bool active = false;
    uint64_t activeSinceNs = 0;
    bool busOff = false;
    uint64_t busOffSinceNs = 0;  // frames on the bus from then on miss the channel while busOff
    uint32_t failNext = 0;
    uint32_t bitrate = 0;
    XLcanFdConf fd{};
    bool fdConfigured = false;
    XLlinStatPar lin{};
    bool linParamsSet = false;
    uint8_t linDlc[64] = {};
    LinSlave slaves[64];
    uint8_t linChecksum[60] = {};

    // Under Port::txLock:
    uint64_t txFreeAtNs = 0;  // with bus timing: when the last queued frame leaves the bus

    // Under Transmitter::lock:
    size_t txQueued = 0;  // frames in the timed transmit queue, the one on its way included
};

struct Port : std::enable_shared_from_this<Port> {
    XLportHandle handle = XL_INVALID_PORTHANDLE;
    std::string appName;
    uint32_t busType = 0;
    uint32_t ifVersion = 0;
    uint32_t rxQueueSize = 0;
    XLaccess accessMask = 0;
    XLaccess initMask = 0;

    std::mutex txLock;
    std::mutex lock;
    bool closed = false;  // set under txLock and lock; read under either
    std::deque<RxEvent> queue;
    bool overrunPending = false;
    platform::Event* notify = nullptr;
    uint64_t clockBaseNs = 0;
    std::vector<ChannelState> channels;  // one per bit of accessMask, in index order

    ChannelState* channel(uint8_t index) {
        for (ChannelState& c : channels) {
            if (c.index == index) {
                return &c;
            }
        }
        return nullptr;
    }
    template <typename F>
    void forEach(XLaccess mask, F f) {
        for (ChannelState& c : channels) {
            if (mask & (XLaccess{1} << c.index)) {
                f(c);
            }
        }
    }
};

// A frame in a channel's timed transmit queue.
struct TimedFrame {
    std::shared_ptr<Port> port;
    uint8_t index = 0;  // the channel
    Frame frame;
};

// The timed transmit queues of every channel of the process, served by one thread in due order.
struct Transmitter {
    std::mutex lock;
    std::condition_variable work;  // for the thread: a frame queued, or stop
    std::condition_variable done;  // for senders and closing ports: a frame sent or dropped
    std::map<std::pair<uint64_t, uint64_t>, TimedFrame> queue;  // (due, order of queueing)
    uint64_t order = 0;
    bool stopping = false;
    std::thread thread;
};

struct Driver {
    std::mutex lifecycle;
    std::mutex state;
    unsigned refs = 0;
    std::vector<xl::config::Channel> channels;  // the configuration while the driver is open
    bool timing = false;
    std::map<XLportHandle, std::shared_ptr<Port>> ports;
    std::map<uint64_t, std::pair<XLportHandle, uint8_t>> nodes;  // node key -> port, channel index
    std::map<uint8_t, XLportHandle> initHolders;                 // channel index -> port
    std::map<std::tuple<std::string, uint32_t, uint32_t>, std::tuple<uint32_t, uint32_t, uint32_t>> appConfig;
    uint32_t nextHandle = 1;
    uint64_t nextNodeKey = 1;
    bool exitHookSet = false;

    // The last configuration read while the driver was closed, and what it was read from.
    std::string configKey;
    std::vector<xl::config::Channel> configCache;
    bool configCached = false;

    // Made once, never closed: calls racing a close of the driver may still name them.
    int epollFd = -1;
    int wakeFd = -1;
    pid_t ioPid = 0;  // the process that made them
    std::thread io;
    std::atomic<bool> stopping{false};
    Transmitter tx;  // runs while the driver is open with bus timing

    std::mutex poolLock;
    std::vector<platform::Event*> eventPool;  // events of closed ports, for the next ports
};

Driver& drv() {
    static Driver* d = new Driver();  // never destroyed: threads may call in during exit
    return *d;
}

// ---- Configuration -----------------------------------------------------------------------------

std::string configSourceKey() {
    const char* path = std::getenv("VOFLASH_XL_CONFIG");
    if (path == nullptr || *path == '\0') {
        return "default";
    }
    struct stat st {};
    std::string key = std::string("file:") + path;
    if (stat(path, &st) == 0) {
        for (const uint64_t part :
             {static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
              static_cast<uint64_t>(st.st_mtim.tv_sec), static_cast<uint64_t>(st.st_mtim.tv_nsec)}) {
            key.append(":").append(std::to_string(part));
        }
    }
    return key;
}

// Reads the configuration once per source (a broken file says so once); state held.
const std::vector<xl::config::Channel>& configuredChannels(Driver& d) {
    if (d.refs > 0) {
        return d.channels;
    }
    const std::string key = configSourceKey();
    if (!d.configCached || key != d.configKey) {
        d.configCache = xl::config::load();
        d.configKey = key;
        d.configCached = true;
    }
    return d.configCache;
}

// ---- Ports -------------------------------------------------------------------------------------

std::shared_ptr<Port> findPort(XLportHandle h) {
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    auto it = d.ports.find(h);
    return it == d.ports.end() ? nullptr : it->second;
}

platform::Event* takeEvent() {
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.poolLock);
    if (d.eventPool.empty()) {
        return new platform::Event(true, false);
    }
    platform::Event* e = d.eventPool.back();
    d.eventPool.pop_back();
    return e;
}

void returnEvent(platform::Event* e) {
    if (e == nullptr) {
        return;
    }
    e->reset();
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.poolLock);
    d.eventPool.push_back(e);
}

void notifyIfDue(Port& p) {
    if (p.notify != nullptr && !p.queue.empty()) {
        p.notify->set();
    }
}

// A CAN frame whose identifier, code and length agree: stray identifier bits are dropped, a code
// above 15 counts as 15 and the length follows the code (bytes beyond `available` read as 0).
// Frames from other processes pass through it too, so no record claims more than it carries.
Frame canFrame(uint32_t id, unsigned dlc, uint8_t busFlags, const uint8_t* data, unsigned available) {
    Frame f;
    f.kind = Kind::kCan;
    f.id = id & (XL_CAN_EXT_MSG_ID | 0x1FFFFFFFu);
    if (!(f.id & XL_CAN_EXT_MSG_ID)) {
        f.id &= 0x7FF;
    }
    f.flags = busFlags & (xl::bus::kFlagFd | xl::bus::kFlagBrs | xl::bus::kFlagRemote);
    f.dlc = static_cast<uint8_t>(std::min(dlc, 15u));
    if (f.flags & xl::bus::kFlagRemote) {
        f.length = 0;
    } else if (f.flags & xl::bus::kFlagFd) {
        f.length = static_cast<uint8_t>(xlCanFdDlcToLength(f.dlc));
    } else {
        f.length = std::min<uint8_t>(f.dlc, MAX_MSG_LEN);
    }
    std::memcpy(f.data, data, std::min<unsigned>(f.length, available));
    return f;
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

// The frame a channel's switched-on slave entry sends for a header of id; false when it has none.
bool linResponse(const ChannelState& c, uint8_t id, Frame& out) {
    if (id > XL_LIN_MAX_ID || !c.slaves[id].on) {
        return false;
    }
    const LinSlave& s = c.slaves[id];
    out = Frame();
    out.kind = Kind::kLinFrame;
    out.id = id;
    out.dlc = s.dlc;
    out.length = s.dlc;
    std::memcpy(out.data, s.data, s.dlc);
    out.checksum = xl::lin::frameChecksum(id, s.checksum == XL_LIN_CALC_CHECKSUM_ENHANCED, s.data, s.dlc);
    out.bitrate = c.linParamsSet ? c.lin.baudrate : 0;
    return true;
}

// Files a LIN frame as a receive event; own: the channel sent the response itself.
void pushLin(Port& p, const ChannelState& c, const Frame& f, bool own) {
    RxEvent ev;
    ev.type = RxEvent::Type::kLin;
    ev.chanIndex = c.index;
    ev.timeNs = f.timeNs;
    ev.id = f.id & XL_LIN_MAX_ID;
    ev.dlc = std::min<uint8_t>(f.length, 8);
    ev.length = ev.dlc;
    std::memcpy(ev.data, f.data, ev.length);
    ev.linChecksum = f.checksum;
    const uint8_t id = static_cast<uint8_t>(ev.id);
    const bool fits = f.checksum == xl::lin::frameChecksum(id, false, f.data, ev.length) ||
                      f.checksum == xl::lin::frameChecksum(id, true, f.data, ev.length);
    ev.linFlags = static_cast<uint16_t>((own ? XL_LIN_MSGFLAG_TX : 0) | (fits ? 0 : XL_LIN_MSGFLAG_CRCERROR));
    push(p, ev);
}

// A response a channel owes the bus: sent by the I/O thread once the port's lock is free.
struct PendingResponse {
    ChannelState* channel;
    Frame frame;
};

void handleFrame(Port& p, ChannelState& c, const Frame& f,
                 std::vector<PendingResponse>* responses = nullptr) {
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
        if (p.busType != XL_BUS_TYPE_LIN || f.id > XL_LIN_MAX_ID) {
            return;
        }
        Frame response;
        if (f.kind == Kind::kLinFrame) {
            pushLin(p, c, f, false);
        } else if (responses != nullptr && linResponse(c, static_cast<uint8_t>(f.id), response)) {
            responses->push_back({&c, response});
        }
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

// Puts a slave response on the bus and files the responder's own copy (flagged as sent by it).
void sendLinResponse(Port& p, ChannelState& c, Frame f) {
    std::lock_guard<std::mutex> tx(p.txLock);
    if (p.closed) {
        return;  // the port closed meanwhile
    }
    c.node->send(f);
    std::lock_guard<std::mutex> guard(p.lock);
    if (c.active) {
        pushLin(p, c, f, true);
        notifyIfDue(p);
    }
}

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

void drainTimedQueue(Port& p);

// Takes a port off the bus and gives its event back; the port is out of the tables already. What it
// has queued for the bus goes first.
void teardown(Port& p) {
    {
        std::lock_guard<std::mutex> tx(p.txLock);
        std::lock_guard<std::mutex> guard(p.lock);
        p.closed = true;
    }
    drainTimedQueue(p);
    std::lock_guard<std::mutex> tx(p.txLock);
    std::lock_guard<std::mutex> guard(p.lock);
    for (ChannelState& c : p.channels) {
        if (c.node) {
            epoll_ctl(drv().epollFd, EPOLL_CTL_DEL, c.node->descriptor(), nullptr);
            c.node.reset();
        }
        c.active = false;
    }
    p.queue.clear();
    returnEvent(p.notify);
    p.notify = nullptr;
}

// Removes the socket files of ports still open when the process ends, so no one sends to them.
void unpublishAtExit() {
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    for (auto& [h, p] : d.ports) {
        std::lock_guard<std::mutex> pg(p->lock);
        for (ChannelState& c : p->channels) {
            if (c.node) {
                c.node->unpublish();
            }
        }
    }
}

// Common checks: a valid mask within the port, and the port's bus type.
XLstatus checkMask(const Port& p, XLaccess mask) {
    if (mask == 0 || (mask & ~p.accessMask) != 0) {
        return XL_ERR_INVALID_ACCESS;
    }
    return XL_SUCCESS;
}

XLstatus lookup(XLportHandle h, XLaccess mask, uint32_t busType, std::shared_ptr<Port>* out) {
    *out = findPort(h);
    if (!*out) {
        return XL_ERR_INVALID_PORT;
    }
    if (busType != XL_BUS_TYPE_NONE && (*out)->busType != busType) {
        return XL_ERR_WRONG_BUS_TYPE;
    }
    return checkMask(**out, mask);
}

// ---- Transmission ------------------------------------------------------------------------------

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

constexpr size_t kTxQueueDepth = 256;

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

// Waits until the timed transmit queue has sent every frame the port queued.
void drainTimedQueue(Port& p) {
    Transmitter& t = drv().tx;
    std::unique_lock<std::mutex> lk(t.lock);
    t.done.wait(lk, [&] { return queuedOnPort(p) == 0; });
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

// Puts one frame on the bus of every channel of mask (with bus timing: in their transmit queues).
XLstatus transmitFrame(Port& p, XLaccess mask, Frame f, std::unique_lock<std::mutex>& tx) {
    std::vector<ChannelState*> targets;
    {
        std::lock_guard<std::mutex> guard(p.lock);
        if (p.closed) {
            return XL_ERR_INVALID_PORT;
        }
        XLstatus status = XL_SUCCESS;
        bool fail = false;
        p.forEach(mask, [&](ChannelState& c) {
            if (!c.active) {
                status = XL_ERR_CHANNEL_NOT_ACTIVE;
            } else if (c.busOff && status == XL_SUCCESS) {
                status = XL_ERR_BUS_OFF;
            }
            fail = fail || c.failNext > 0;
            targets.push_back(&c);
        });
        if (status != XL_SUCCESS) {
            return status;
        }
        if (fail) {
            p.forEach(mask, [](ChannelState& c) { c.failNext -= c.failNext > 0 ? 1 : 0; });
            return XL_ERR_QUEUE_IS_FULL;
        }
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

XLstatus linChannelCall(XLportHandle h, XLaccess mask, const std::function<XLstatus(ChannelState&)>& body) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(h, mask, XL_BUS_TYPE_LIN, &p); s != XL_SUCCESS) {
        return s;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    XLstatus status = XL_SUCCESS;
    p->forEach(mask, [&](ChannelState& c) {
        if (status == XL_SUCCESS) {
            status = body(c);
        }
    });
    return status;
}

}  // namespace

// ---- Driver ------------------------------------------------------------------------------------

XLstatus xlOpenDriver() {
    Driver& d = drv();
    std::lock_guard<std::mutex> life(d.lifecycle);
    std::lock_guard<std::mutex> guard(d.state);
    if (d.refs == 0) {
        if (d.epollFd >= 0 && d.ioPid != getpid()) {
            // A child forked after an earlier open shares the parent's epoll and wake descriptors:
            // its I/O thread would take the parent's events. It makes its own.
            close(d.epollFd);
            close(d.wakeFd);
            d.epollFd = d.wakeFd = -1;
        }
        if (d.epollFd < 0) {
            d.ioPid = getpid();
            d.epollFd = epoll_create1(EPOLL_CLOEXEC);
            d.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            if (d.epollFd < 0 || d.wakeFd < 0) {
                return XL_ERR_BUS_UNAVAILABLE;
            }
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = 0;
            epoll_ctl(d.epollFd, EPOLL_CTL_ADD, d.wakeFd, &ev);
        }
        d.channels = configuredChannels(d);
        const char* timing = std::getenv("VOFLASH_BUS_TIMING");
        d.timing = timing != nullptr && std::strcmp(timing, "1") == 0;
        d.stopping.store(false);
        d.io = std::thread(ioLoop);
        if (d.timing) {
            d.tx.stopping = false;
            d.tx.thread = std::thread(transmitLoop);
        }
        if (!d.exitHookSet) {
            d.exitHookSet = true;
            std::atexit(unpublishAtExit);
        }
    }
    ++d.refs;
    return XL_SUCCESS;
}

XLstatus xlCloseDriver() {
    Driver& d = drv();
    std::lock_guard<std::mutex> life(d.lifecycle);
    std::map<XLportHandle, std::shared_ptr<Port>> ports;
    {
        std::lock_guard<std::mutex> guard(d.state);
        if (d.refs == 0) {
            return XL_ERR_DRIVER_NOT_OPEN;
        }
        if (--d.refs > 0) {
            return XL_SUCCESS;
        }
        ports.swap(d.ports);
        d.nodes.clear();
        d.initHolders.clear();
    }
    for (auto& [h, p] : ports) {
        teardown(*p);
    }
    d.stopping.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = write(d.wakeFd, &one, sizeof one);
    d.io.join();
    if (d.tx.thread.joinable()) {
        {
            std::lock_guard<std::mutex> guard(d.tx.lock);
            d.tx.stopping = true;
        }
        d.tx.work.notify_all();
        d.tx.thread.join();
    }
    return XL_SUCCESS;
}

XLstatus xlGetDriverConfig(XLdriverConfig* config) {
    if (config == nullptr) {
        return XL_ERR_WRONG_PARAMETER;
    }
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    const auto& channels = configuredChannels(d);
    std::memset(config, 0, sizeof *config);
    config->dllVersion = kDriverVersion;
    config->channelCount = static_cast<uint32_t>(channels.size());
    for (size_t i = 0; i < channels.size(); ++i) {
        XLchannelConfig& c = config->channel[i];
        const xl::config::Channel& s = channels[i];
        std::strncpy(c.name, s.name.c_str(), XL_MAX_LENGTH);
        c.hwType = s.hwType;
        c.hwIndex = s.hwIndex;
        c.hwChannel = s.hwChannel;
        c.channelIndex = static_cast<uint8_t>(i);
        c.channelMask = XLaccess{1} << i;
        c.channelBusCapabilities = s.busCapabilities;
        c.serialNumber = s.serialNumber;
        std::strncpy(c.busName, s.bus.c_str(), XL_MAX_LENGTH);
    }
    return XL_SUCCESS;
}

XLstatus xlGetApplConfig(const char* appName, uint32_t appChannel, uint32_t* hwType, uint32_t* hwIndex,
                         uint32_t* hwChannel, uint32_t busType) {
    if (appName == nullptr || hwType == nullptr || hwIndex == nullptr || hwChannel == nullptr) {
        return XL_ERR_WRONG_PARAMETER;
    }
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    auto it = d.appConfig.find({appName, busType, appChannel});
    if (it == d.appConfig.end()) {
        return XL_ERR_INVALID_APPL_CONFIG;
    }
    std::tie(*hwType, *hwIndex, *hwChannel) = it->second;
    return XL_SUCCESS;
}

XLstatus xlSetApplConfig(const char* appName, uint32_t appChannel, uint32_t hwType, uint32_t hwIndex,
                         uint32_t hwChannel, uint32_t busType) {
    if (appName == nullptr || *appName == '\0' || appChannel >= XL_CONFIG_MAX_CHANNELS) {
        return XL_ERR_WRONG_PARAMETER;
    }
    if (busType != XL_BUS_TYPE_CAN && busType != XL_BUS_TYPE_LIN) {
        return XL_ERR_WRONG_BUS_TYPE;
    }
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    d.appConfig[{appName, busType, appChannel}] = {hwType, hwIndex, hwChannel};
    return XL_SUCCESS;
}

XLaccess xlGetChannelMask(uint32_t hwType, uint32_t hwIndex, uint32_t hwChannel) {
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    const auto& channels = configuredChannels(d);
    for (size_t i = 0; i < channels.size(); ++i) {
        const xl::config::Channel& c = channels[i];
        if (c.hwType == hwType && c.hwIndex == hwIndex && c.hwChannel == hwChannel) {
            return XLaccess{1} << i;
        }
    }
    return 0;
}

// ---- Ports -------------------------------------------------------------------------------------

XLstatus xlOpenPort(XLportHandle* portHandle, const char* userName, XLaccess accessMask,
                    XLaccess* permissionMask, uint32_t rxQueueSize, uint32_t xlInterfaceVersion,
                    uint32_t busType) {
    if (portHandle == nullptr) {
        return XL_ERR_WRONG_PARAMETER;
    }
    *portHandle = XL_INVALID_PORTHANDLE;
    if (userName == nullptr || rxQueueSize == 0 || rxQueueSize > XL_MAX_RX_QUEUE_SIZE) {
        return XL_ERR_WRONG_PARAMETER;
    }
    if (busType != XL_BUS_TYPE_CAN && busType != XL_BUS_TYPE_LIN) {
        return XL_ERR_WRONG_BUS_TYPE;
    }
    if (xlInterfaceVersion != XL_INTERFACE_VERSION &&
        (xlInterfaceVersion != XL_INTERFACE_VERSION_V4 || busType != XL_BUS_TYPE_CAN)) {
        return XL_ERR_WRONG_INTERFACE_VERSION;
    }
    if (accessMask == 0) {
        return XL_ERR_INVALID_ACCESS;
    }
    Driver& d = drv();
    auto port = std::make_shared<Port>();
    {
        std::lock_guard<std::mutex> guard(d.state);
        if (d.refs == 0) {
            return XL_ERR_DRIVER_NOT_OPEN;
        }
        if (d.channels.size() < 64 && (accessMask >> d.channels.size()) != 0) {
            return XL_ERR_HW_NOT_PRESENT;
        }
        for (size_t i = 0; i < d.channels.size(); ++i) {
            if (accessMask & (XLaccess{1} << i)) {
                if ((d.channels[i].busCapabilities & (busType << 16)) == 0) {
                    return XL_ERR_WRONG_BUS_TYPE;
                }
                ChannelState c;
                c.index = static_cast<uint8_t>(i);
                c.config = d.channels[i];
                port->channels.push_back(std::move(c));
            }
        }
    }
    for (ChannelState& c : port->channels) {
        std::string error;
        c.node = xl::bus::Node::join(c.config.bus, &error);
        if (!c.node) {
            std::cerr << "voflash: XL channel \"" << c.config.name << "\" cannot join virtual bus "
                      << c.config.bus << ": " << error << std::endl;
            return XL_ERR_BUS_UNAVAILABLE;
        }
        std::fill(std::begin(c.linDlc), std::end(c.linDlc), 8);
    }
    port->appName = userName;
    port->busType = busType;
    port->ifVersion = xlInterfaceVersion;
    port->rxQueueSize = std::max(rxQueueSize, kMinRxQueueSize);
    port->accessMask = accessMask;
    port->clockBaseNs = nowNs();

    std::lock_guard<std::mutex> guard(d.state);
    if (d.refs == 0) {
        return XL_ERR_DRIVER_NOT_OPEN;
    }
    do {
        port->handle = d.nextHandle++;
    } while (port->handle == XL_INVALID_PORTHANDLE || port->handle == 0);
    const XLaccess wanted = permissionMask != nullptr ? (*permissionMask & accessMask) : 0;
    for (ChannelState& c : port->channels) {
        if ((wanted & (XLaccess{1} << c.index)) && d.initHolders.count(c.index) == 0) {
            d.initHolders[c.index] = port->handle;
            port->initMask |= XLaccess{1} << c.index;
        }
        c.nodeKey = d.nextNodeKey++;
        d.nodes[c.nodeKey] = {port->handle, c.index};
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = c.nodeKey;
        epoll_ctl(d.epollFd, EPOLL_CTL_ADD, c.node->descriptor(), &ev);
    }
    if (permissionMask != nullptr) {
        *permissionMask = port->initMask;
    }
    d.ports[port->handle] = port;
    *portHandle = port->handle;
    return XL_SUCCESS;
}

XLstatus xlClosePort(XLportHandle portHandle) {
    Driver& d = drv();
    std::shared_ptr<Port> port;
    {
        std::lock_guard<std::mutex> guard(d.state);
        auto it = d.ports.find(portHandle);
        if (it == d.ports.end()) {
            return XL_ERR_INVALID_PORT;
        }
        port = it->second;
        d.ports.erase(it);
        for (const ChannelState& c : port->channels) {
            d.nodes.erase(c.nodeKey);
            auto holder = d.initHolders.find(c.index);
            if (holder != d.initHolders.end() && holder->second == portHandle) {
                d.initHolders.erase(holder);
            }
        }
    }
    teardown(*port);
    return XL_SUCCESS;
}

XLstatus xlActivateChannel(XLportHandle portHandle, XLaccess accessMask, uint32_t busType, uint32_t flags) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_NONE, &p); s != XL_SUCCESS) {
        return s;
    }
    if (busType != p->busType) {
        return XL_ERR_WRONG_BUS_TYPE;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    const uint64_t now = nowNs();
    p->forEach(accessMask, [&](ChannelState& c) {
        // A channel back from bus off, like one newly on the bus, sees the frames sent from now on.
        if (!c.active || c.busOff) {
            c.active = true;
            c.activeSinceNs = now;
        }
        c.busOff = false;
    });
    if (flags & XL_ACTIVATE_RESET_CLOCK) {
        p->clockBaseNs = now;
    }
    return XL_SUCCESS;
}

XLstatus xlDeactivateChannel(XLportHandle portHandle, XLaccess accessMask) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_NONE, &p); s != XL_SUCCESS) {
        return s;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    p->forEach(accessMask, [](ChannelState& c) { c.active = false; });
    return XL_SUCCESS;
}

XLstatus xlFlushReceiveQueue(XLportHandle portHandle) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    p->queue.clear();
    p->overrunPending = false;
    return XL_SUCCESS;
}

XLstatus xlSetNotification(XLportHandle portHandle, XLhandle* handle, int queueLevel) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    if (handle == nullptr || queueLevel < 1) {
        return XL_ERR_WRONG_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    if (p->notify == nullptr) {
        p->notify = takeEvent();
    }
    *handle = p->notify;
    notifyIfDue(*p);
    return XL_SUCCESS;
}

XLstatus xlResetClock(XLportHandle portHandle) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    p->clockBaseNs = nowNs();
    return XL_SUCCESS;
}

XLstatus xlGetSyncTime(XLportHandle portHandle, XLuint64* time) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    if (time == nullptr) {
        return XL_ERR_WRONG_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    const uint64_t now = nowNs();
    *time = now > p->clockBaseNs ? now - p->clockBaseNs : 0;
    return XL_SUCCESS;
}

// ---- Receiving ---------------------------------------------------------------------------------

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
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    uint32_t n = 0;
    while (n < *eventCount && !p->queue.empty()) {
        const RxEvent& ev = p->queue.front();
        XLevent& out = events[n++];
        std::memset(&out, 0, sizeof out);
        out.chanIndex = ev.chanIndex;
        out.portHandle = static_cast<uint16_t>(p->handle);
        out.timeStamp = ev.timeNs > p->clockBaseNs ? ev.timeNs - p->clockBaseNs : 0;
        if (ev.type == RxEvent::Type::kChipState) {
            out.tag = XL_CHIP_STATE;
            out.tagData.chipState.busStatus = ev.busStatus;
            out.tagData.chipState.txErrorCounter = ev.txErrorCounter;
            out.tagData.chipState.rxErrorCounter = ev.rxErrorCounter;
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
        p->queue.pop_front();
    }
    *eventCount = n;
    notifyIfDue(*p);
    return n > 0 ? XL_SUCCESS : XL_ERR_QUEUE_IS_EMPTY;
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
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    if (p->queue.empty()) {
        return XL_ERR_QUEUE_IS_EMPTY;
    }
    const RxEvent& ev = p->queue.front();
    std::memset(event, 0, sizeof *event);
    event->size = sizeof *event;
    event->channelIndex = ev.chanIndex;
    event->timeStampSync = ev.timeNs > p->clockBaseNs ? ev.timeNs - p->clockBaseNs : 0;
    if (ev.type == RxEvent::Type::kChipState) {
        event->tag = XL_CAN_EV_TAG_CHIP_STATE;
        event->tagData.canChipState.busStatus = ev.busStatus;
        event->tagData.canChipState.txErrorCounter = ev.txErrorCounter;
        event->tagData.canChipState.rxErrorCounter = ev.rxErrorCounter;
    } else {
        XL_CAN_EV_RX_MSG& m = event->tagData.canRxOkMsg;
        event->tag = XL_CAN_EV_TAG_RX_OK;
        m.canId = ev.id;
        m.msgFlags = (ev.busFlags & xl::bus::kFlagFd ? XL_CAN_RXMSG_FLAG_EDL : 0) |
                     (ev.busFlags & xl::bus::kFlagBrs ? XL_CAN_RXMSG_FLAG_BRS : 0) |
                     (ev.busFlags & xl::bus::kFlagRemote ? XL_CAN_RXMSG_FLAG_RTR : 0) |
                     (ev.overrun ? XL_CAN_RXMSG_FLAG_OVERRUN : 0);
        m.dlc = ev.dlc;
        std::memcpy(m.data, ev.data, ev.length);
    }
    p->queue.pop_front();
    notifyIfDue(*p);
    return XL_SUCCESS;
}

// ---- CAN ---------------------------------------------------------------------------------------

XLstatus xlCanTransmit(XLportHandle portHandle, XLaccess accessMask, uint32_t* messageCount,
                       XLevent* messages) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    if (messageCount == nullptr || messages == nullptr || *messageCount == 0) {
        return XL_ERR_WRONG_PARAMETER;
    }
    const uint32_t wanted = *messageCount;
    *messageCount = 0;
    if (p->ifVersion != XL_INTERFACE_VERSION) {
        return XL_ERR_WRONG_INTERFACE_VERSION;
    }
    std::unique_lock<std::mutex> tx(p->txLock);
    for (uint32_t i = 0; i < wanted; ++i) {
        const XLevent& e = messages[i];
        if (e.tag != XL_TRANSMIT_MSG) {
            return XL_ERR_WRONG_PARAMETER;
        }
        const s_xl_can_msg& m = e.tagData.msg;
        const Frame f =
            canFrame(m.id, m.dlc, m.flags & XL_CAN_MSG_FLAG_REMOTE_FRAME ? xl::bus::kFlagRemote : 0, m.data,
                     MAX_MSG_LEN);
        if (XLstatus s = transmitFrame(*p, accessMask, f, tx); s != XL_SUCCESS) {
            return s;
        }
        *messageCount = i + 1;
    }
    return XL_SUCCESS;
}

XLstatus xlCanTransmitEx(XLportHandle portHandle, XLaccess accessMask, uint32_t msgCnt, uint32_t* msgCntSent,
                         XLcanTxEvent* events) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    if (msgCntSent == nullptr || events == nullptr || msgCnt == 0) {
        return XL_ERR_WRONG_PARAMETER;
    }
    *msgCntSent = 0;
    if (p->ifVersion != XL_INTERFACE_VERSION_V4) {
        return XL_ERR_WRONG_INTERFACE_VERSION;
    }
    std::unique_lock<std::mutex> tx(p->txLock);
    for (uint32_t i = 0; i < msgCnt; ++i) {
        const XLcanTxEvent& e = events[i];
        if (e.tag != XL_CAN_EV_TAG_TX_MSG) {
            return XL_ERR_WRONG_PARAMETER;
        }
        const XL_CAN_TX_MSG& m = e.tagData.canMsg;
        uint8_t flags = 0;
        if (m.msgFlags & XL_CAN_TXMSG_FLAG_EDL) {
            flags = xl::bus::kFlagFd | (m.msgFlags & XL_CAN_TXMSG_FLAG_BRS ? xl::bus::kFlagBrs : 0);
        } else if (m.msgFlags & XL_CAN_TXMSG_FLAG_RTR) {
            flags = xl::bus::kFlagRemote;
        }
        const Frame f = canFrame(m.canId, m.dlc, flags, m.data, XL_CAN_MAX_DATA_LEN);
        if (XLstatus s = transmitFrame(*p, accessMask, f, tx); s != XL_SUCCESS) {
            return s;
        }
        *msgCntSent = i + 1;
    }
    return XL_SUCCESS;
}

XLstatus xlCanFlushTransmitQueue(XLportHandle portHandle, XLaccess accessMask) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    // Only the timed transmit queue holds frames; the one on its way to the bus still goes.
    std::lock_guard<std::mutex> tx(p->txLock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
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
}

XLstatus xlCanSetChannelBitrate(XLportHandle portHandle, XLaccess accessMask, uint32_t bitrate) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    if ((accessMask & ~p->initMask) != 0) {
        return XL_ERR_NO_INIT_ACCESS;
    }
    if (bitrate == 0 || bitrate > kMaxCanBitrate) {
        return XL_ERR_WRONG_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    p->forEach(accessMask, [&](ChannelState& c) {
        c.bitrate = bitrate;
        c.fdConfigured = false;
    });
    return XL_SUCCESS;
}

XLstatus xlCanFdSetConfiguration(XLportHandle portHandle, XLaccess accessMask, const XLcanFdConf* conf) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    if ((accessMask & ~p->initMask) != 0) {
        return XL_ERR_NO_INIT_ACCESS;
    }
    if (conf == nullptr) {
        return XL_ERR_WRONG_PARAMETER;
    }
    const auto phaseOk = [](uint32_t sjw, uint32_t tseg1, uint32_t tseg2) {
        return tseg1 > 0 && tseg1 <= 255 && tseg2 > 0 && tseg2 <= 128 && sjw > 0 && sjw <= tseg2;
    };
    if (conf->arbitrationBitRate == 0 || conf->arbitrationBitRate > kMaxCanBitrate ||
        conf->dataBitRate < conf->arbitrationBitRate || conf->dataBitRate > kMaxCanFdDataBitrate ||
        !phaseOk(conf->sjwAbr, conf->tseg1Abr, conf->tseg2Abr) ||
        !phaseOk(conf->sjwDbr, conf->tseg1Dbr, conf->tseg2Dbr)) {
        return XL_ERR_WRONG_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    p->forEach(accessMask, [&](ChannelState& c) {
        c.fd = *conf;
        c.fdConfigured = true;
        c.bitrate = conf->arbitrationBitRate;
    });
    return XL_SUCCESS;
}

// ---- LIN ----------------------------------------------------------------------------------------
// A master's header (xlLinSendRequest) is answered by the node whose switched-on slave entry holds
// the identifier (the master itself first): that node sends the entry's data, data length and the
// checksum of its model, and every node of the bus files the frame as an XL_LIN_MSG event, the
// responder's own copy flagged XL_LIN_MSGFLAG_TX. A header that no node serves gives no frame. A
// slave entry is switched on by xlLinSetSlave and keeps its data until the next one.

XLstatus xlLinSetChannelParams(XLportHandle portHandle, XLaccess accessMask, XLlinStatPar params) {
    return linChannelCall(portHandle, accessMask, [&](ChannelState& c) {
        if ((params.LINMode != XL_LIN_MASTER && params.LINMode != XL_LIN_SLAVE) ||
            params.baudrate < XL_LIN_MIN_BAUDRATE || params.baudrate > XL_LIN_MAX_BAUDRATE ||
            params.LINVersion < XL_LIN_VERSION_1_3 || params.LINVersion > XL_LIN_VERSION_2_1) {
            return XL_ERR_WRONG_PARAMETER;
        }
        c.lin = params;
        c.linParamsSet = true;
        return XL_SUCCESS;
    });
}

XLstatus xlLinSetDLC(XLportHandle portHandle, XLaccess accessMask, const uint8_t dlc[64]) {
    return linChannelCall(portHandle, accessMask, [&](ChannelState& c) {
        if (dlc == nullptr || std::any_of(dlc, dlc + 64, [](uint8_t v) { return v > 8; })) {
            return XL_ERR_WRONG_PARAMETER;
        }
        std::memcpy(c.linDlc, dlc, 64);
        return XL_SUCCESS;
    });
}

XLstatus xlLinSetSlave(XLportHandle portHandle, XLaccess accessMask, uint8_t linId, const uint8_t data[8],
                       uint8_t dlc, uint16_t checksum) {
    return linChannelCall(portHandle, accessMask, [&](ChannelState& c) {
        if (linId > XL_LIN_MAX_ID || data == nullptr || dlc > 8 ||
            (checksum != XL_LIN_CALC_CHECKSUM && checksum != XL_LIN_CALC_CHECKSUM_ENHANCED)) {
            return XL_ERR_WRONG_PARAMETER;
        }
        LinSlave& s = c.slaves[linId];
        std::memcpy(s.data, data, 8);
        s.dlc = dlc;
        s.checksum = checksum;
        s.on = true;
        return XL_SUCCESS;
    });
}

XLstatus xlLinSwitchSlave(XLportHandle portHandle, XLaccess accessMask, uint8_t linId, uint8_t mode) {
    return linChannelCall(portHandle, accessMask, [&](ChannelState& c) {
        if (linId > XL_LIN_MAX_ID || (mode != XL_LIN_SLAVE_ON && mode != XL_LIN_SLAVE_OFF)) {
            return XL_ERR_WRONG_PARAMETER;
        }
        c.slaves[linId].on = mode == XL_LIN_SLAVE_ON;
        return XL_SUCCESS;
    });
}

XLstatus xlLinSetChecksum(XLportHandle portHandle, XLaccess accessMask, const uint8_t checksum[60]) {
    return linChannelCall(portHandle, accessMask, [&](ChannelState& c) {
        if (checksum == nullptr ||
            std::any_of(checksum, checksum + 60, [](uint8_t v) { return v > XL_LIN_CHECKSUM_ENHANCED; })) {
            return XL_ERR_WRONG_PARAMETER;
        }
        std::memcpy(c.linChecksum, checksum, 60);
        return XL_SUCCESS;
    });
}

XLstatus xlLinSendRequest(XLportHandle portHandle, XLaccess accessMask, uint8_t linId, uint32_t flags) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_LIN, &p); s != XL_SUCCESS) {
        return s;
    }
    if (linId > XL_LIN_MAX_ID || flags != 0) {
        return XL_ERR_WRONG_PARAMETER;
    }
    std::lock_guard<std::mutex> tx(p->txLock);
    std::vector<ChannelState*> targets;
    {
        std::lock_guard<std::mutex> guard(p->lock);
        if (p->closed) {
            return XL_ERR_INVALID_PORT;
        }
        XLstatus status = XL_SUCCESS;
        p->forEach(accessMask, [&](ChannelState& c) {
            if (!c.active) {
                status = XL_ERR_CHANNEL_NOT_ACTIVE;
            } else if (c.linParamsSet && c.lin.LINMode != XL_LIN_MASTER && status == XL_SUCCESS) {
                status = XL_ERR_CMD_FAILED;  // only a master sends headers
            }
            targets.push_back(&c);
        });
        if (status != XL_SUCCESS) {
            return status;
        }
    }
    for (ChannelState* c : targets) {
        // A master whose own slave table serves the identifier answers its header itself: the bus
        // then carries the frame; otherwise the header goes out for the node that serves it.
        Frame f;
        bool own = false;
        {
            std::lock_guard<std::mutex> guard(p->lock);
            own = linResponse(*c, linId, f);
            if (!own) {
                f.kind = Kind::kLinHeader;
                f.id = linId;
                f.dlc = c->linDlc[linId];
                f.bitrate = c->linParamsSet ? c->lin.baudrate : 0;
            }
        }
        c->node->send(f);
        if (own) {
            std::lock_guard<std::mutex> guard(p->lock);
            pushLin(*p, *c, f, true);
            notifyIfDue(*p);
        }
    }
    return XL_SUCCESS;
}

// ---- Texts ---------------------------------------------------------------------------------------

const char* xlGetErrorString(XLstatus status) {
    switch (status) {
        case XL_SUCCESS:
            return "XL_SUCCESS";
        case XL_ERR_QUEUE_IS_EMPTY:
            return "XL_ERR_QUEUE_IS_EMPTY: no event waits";
        case XL_ERR_QUEUE_IS_FULL:
            return "XL_ERR_QUEUE_IS_FULL: transmit queue full, nothing sent";
        case XL_ERR_INVALID_APPL_CONFIG:
            return "XL_ERR_INVALID_APPL_CONFIG: no such application channel";
        case XL_ERR_CMD_FAILED:
            return "XL_ERR_CMD_FAILED: the channel refuses this in its mode";
        case XL_ERR_INVALID_ACCESS:
            return "XL_ERR_INVALID_ACCESS: access mask names no channel of the port";
        case XL_ERR_WRONG_PARAMETER:
            return "XL_ERR_WRONG_PARAMETER";
        case XL_ERR_WRONG_INTERFACE_VERSION:
            return "XL_ERR_WRONG_INTERFACE_VERSION: call not for the port's interface version";
        case XL_ERR_WRONG_BUS_TYPE:
            return "XL_ERR_WRONG_BUS_TYPE: bus type not served by the port or channel";
        case XL_ERR_CHANNEL_NOT_ACTIVE:
            return "XL_ERR_CHANNEL_NOT_ACTIVE: channel not activated";
        case XL_ERR_BUS_OFF:
            return "XL_ERR_BUS_OFF: channel is bus off until activated again";
        case XL_ERR_NO_INIT_ACCESS:
            return "XL_ERR_NO_INIT_ACCESS: the port has no init access to the channel";
        case XL_ERR_HW_NOT_PRESENT:
            return "XL_ERR_HW_NOT_PRESENT: no configured channel";
        case XL_ERR_INVALID_PORT:
            return "XL_ERR_INVALID_PORT: not a port handle of the driver";
        case XL_ERR_DRIVER_NOT_OPEN:
            return "XL_ERR_DRIVER_NOT_OPEN";
        case XL_ERR_BUS_UNAVAILABLE:
            return "XL_ERR_BUS_UNAVAILABLE: the virtual bus cannot be reached";
        default:
            return "unknown XL status";
    }
}

// ---- Test controls ---------------------------------------------------------------------------------

namespace xl::test {

XLstatus injectChipState(XLportHandle port, XLaccess accessMask, uint8_t busStatus, uint8_t txErrorCounter,
                         uint8_t rxErrorCounter) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(port, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    XLstatus status = XL_SUCCESS;
    p->forEach(accessMask, [&](ChannelState& c) { status = c.active ? status : XL_ERR_CHANNEL_NOT_ACTIVE; });
    if (status != XL_SUCCESS) {
        return status;
    }
    Frame f;
    f.kind = Kind::kChipState;
    f.busStatus = busStatus;
    f.txErrorCounter = txErrorCounter;
    f.rxErrorCounter = rxErrorCounter;
    f.timeNs = nowNs();
    p->forEach(accessMask, [&](ChannelState& c) { handleFrame(*p, c, f); });
    notifyIfDue(*p);
    return XL_SUCCESS;
}

XLstatus failNextTransmits(XLportHandle port, XLaccess accessMask, uint32_t count) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(port, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    p->forEach(accessMask, [&](ChannelState& c) { c.failNext = count; });
    return XL_SUCCESS;
}

namespace {

XLstatus sendControl(const std::string& bus, Frame f, XLportHandle from) {
    if (from == XL_INVALID_PORTHANDLE) {
        std::string error;
        if (xl::bus::sendFromOutside(bus, f, &error) < 0) {
            std::cerr << "voflash: virtual bus " << bus << ": " << error << std::endl;
            return XL_ERR_BUS_UNAVAILABLE;
        }
        return XL_SUCCESS;
    }
    std::shared_ptr<Port> p = findPort(from);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    std::lock_guard<std::mutex> tx(p->txLock);
    if (p->closed) {
        return XL_ERR_INVALID_PORT;
    }
    for (ChannelState& c : p->channels) {
        if (c.node && c.config.bus == bus) {
            c.node->send(f);
            return XL_SUCCESS;
        }
    }
    return XL_ERR_INVALID_ACCESS;
}

}  // namespace

XLstatus busInjectChipState(const std::string& bus, uint8_t busStatus, uint8_t txErrorCounter,
                            uint8_t rxErrorCounter, XLportHandle from) {
    Frame f;
    f.kind = Kind::kChipState;
    f.busStatus = busStatus;
    f.txErrorCounter = txErrorCounter;
    f.rxErrorCounter = rxErrorCounter;
    return sendControl(bus, f, from);
}

XLstatus busFailNextTransmits(const std::string& bus, uint32_t count, XLportHandle from) {
    Frame f;
    f.kind = Kind::kTxFail;
    f.count = count;
    return sendControl(bus, f, from);
}

}  // namespace xl::test
