#pragma once
// The virtual XL driver's shared state: configured channels, application channels, ports and their
// receive queues, over the virtual bus of xl/bus.h. The xl* calls are served by
//
//   driver.cpp               opening and closing the driver, the configuration, the status texts
//   driver_ports.cpp         the port table, opening, closing and activating ports, port clocks
//   driver_receive.cpp       the I/O thread, the receive queues and the receive calls
//   driver_transmit.cpp      the timed transmitter and its transmit queues
//   driver_can.cpp           CAN frames, the CAN transmit calls and bit rates
//   driver_lin.cpp           LIN: slave tables, headers and their responses
//   driver_test_control.cpp  the test controls of xl/xl_test_control.h
//
// Each channel of an open port is a node on its channel's bus.
//
// A call may find a port in the tables just before another thread closes it. The close marks the
// port closed (under both of its locks) before it takes the port off the bus, and every call checks
// the mark under the lock it works under, so a call that comes too late answers XL_ERR_INVALID_PORT
// as for a handle never given, and nothing brings a closed channel back.
//
// Locks, in the order they may be taken: lifecycle (open and close of the driver), Port::txLock
// (transmits; keeps the port's nodes alive), Transmitter::lock (the timed transmit queue), state (the
// tables of Driver), Port::lock (queue and channel state). poolLock comes last: nothing is taken
// under it.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "xl/bus.h"
#include "xl/config.h"
#include "xl/xl_api.h"

namespace xl::driver {

using xl::bus::Frame;
using xl::bus::Kind;

inline uint64_t nowNs() {
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
    // What the entry holds once it has answered a header (xl::test::linSlaveAfterResponse).
    bool renewed = false;
    uint8_t renewedData[8] = {};
    uint8_t renewedDlc = 0;
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
    // A CLOCK_MONOTONIC time on the port's clock (0 before its base).
    uint64_t clockTime(uint64_t ns) const { return ns > clockBaseNs ? ns - clockBaseNs : 0; }
    template <typename F>
    void forEach(XLaccess mask, F f) {
        for (ChannelState& c : channels) {
            if (mask & (XLaccess{1} << c.index)) {
                f(c);
            }
        }
    }
};

// Runs body() with lock (the port's lock, or its txLock) held and answers what it answers, unless the
// port has closed since it was looked up: then XL_ERR_INVALID_PORT, as for a handle never given.
template <typename Body>
XLstatus whileOpen(Port& p, std::mutex& lock, Body&& body) {
    std::lock_guard<std::mutex> guard(lock);
    if (p.closed) {
        return XL_ERR_INVALID_PORT;
    }
    return body();
}

template <typename Body>
XLstatus whileOpen(Port& p, Body&& body) {
    return whileOpen(p, p.lock, std::forward<Body>(body));
}

// Runs set(channel) on every channel of mask under the port's lock, unless the port has closed.
template <typename Set>
XLstatus setChannels(Port& p, XLaccess mask, Set&& set) {
    return whileOpen(p, [&] {
        p.forEach(mask, set);
        return XL_SUCCESS;
    });
}

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

// The one driver of the process, never destroyed: threads may call in during exit.
Driver& drv();

// A response a channel owes the bus: sent by the I/O thread once the port's lock is free.
struct PendingResponse {
    ChannelState* channel;
    Frame frame;
};

// ---- Ports (driver_ports.cpp) -------------------------------------------------------------------

// The open port of a handle, or null; takes state.
std::shared_ptr<Port> findPort(XLportHandle h);

// Finds the port of h and checks it: its bus type (unless busType is XL_BUS_TYPE_NONE) and a mask
// that names channels of the port only.
XLstatus lookup(XLportHandle h, XLaccess mask, uint32_t busType, std::shared_ptr<Port>* out);

// The channels of mask, for a call that sends on each of them; Port::lock held. A channel not
// activated answers XL_ERR_CHANNEL_NOT_ACTIVE, else the first channel that refuses (refusal(c) other
// than XL_SUCCESS) answers its refusal.
XLstatus sendTargets(Port& p, XLaccess mask, XLstatus (*refusal)(const ChannelState&),
                     std::vector<ChannelState*>* targets);

// Takes a port off the bus and gives its event back; the port is out of the tables already. What it
// has queued for the bus goes first. Takes txLock and lock; no lock held.
void teardown(Port& p);

// ---- Receiving (driver_receive.cpp) -------------------------------------------------------------

// Sets the port's notification event while events wait; lock held.
void notifyIfDue(Port& p);

// Files an event; lock held. A full queue drops it and marks the next frame.
void push(Port& p, RxEvent ev);

// Files what a channel's node took from the bus; lock held. LIN responses the channel owes go to
// responses (none are sent without it).
void handleFrame(Port& p, ChannelState& c, const Frame& f, std::vector<PendingResponse>* responses = nullptr);

// The I/O thread: reads every node's socket until Driver::stopping.
void ioLoop();

// ---- Transmission (driver_transmit.cpp) ---------------------------------------------------------

// Starts and stops the thread of the timed transmit queues (with bus timing); lifecycle held.
void startTransmitter();
void stopTransmitter();

// Waits until the timed transmit queue has sent every frame the port queued; no lock held.
void drainTimedQueue(Port& p);

// Puts one frame on the bus of every channel of mask (with bus timing: in their transmit queues);
// tx holds Port::txLock.
XLstatus transmitFrame(Port& p, XLaccess mask, Frame f, std::unique_lock<std::mutex>& tx);

// ---- CAN (driver_can.cpp) -----------------------------------------------------------------------

// A CAN frame whose identifier, code and length agree: stray identifier bits are dropped, a code
// above 15 counts as 15 and the length follows the code (bytes beyond `available` read as 0).
// Frames from other processes pass through it too, so no record claims more than it carries.
Frame canFrame(uint32_t id, unsigned dlc, uint8_t busFlags, const uint8_t* data, unsigned available);

// ---- LIN (driver_lin.cpp) -----------------------------------------------------------------------

// Files a LIN header or frame that reached a channel; lock held. A header the channel's slave table
// serves adds its response to responses (when given).
void handleLinFrame(Port& p, ChannelState& c, const Frame& f, std::vector<PendingResponse>* responses);

// Puts a slave response on the bus and files the responder's own copy (flagged as sent by it).
// Takes txLock, then lock; no lock held.
void sendLinResponse(Port& p, ChannelState& c, Frame f);

}  // namespace xl::driver
