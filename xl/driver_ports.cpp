// The virtual XL driver's ports: the port table, opening and closing ports, activating their
// channels, their notification events and their clocks.
//
// Locks: state alone for the tables (a port is looked up, then let go of state); a call on a port
// then takes Port::lock (or txLock, then lock, to mark it closed), and checks the closed mark under
// it. poolLock is taken under Port::lock and nothing under it.

#include <sys/epoll.h>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "xl/bus.h"
#include "xl/driver_internal.h"
#include "xl/xl_api.h"

namespace xl::driver {

namespace {

// A port's receive queue holds at least this many events, whatever size the port asked for: the
// bus carries frames far faster than a real one, and a receive thread held up for a few
// milliseconds on a loaded machine must not lose a burst that a 256-event queue would overrun.
constexpr uint32_t kMinRxQueueSize = 4096;

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

// Common checks: a valid mask within the port.
XLstatus checkMask(const Port& p, XLaccess mask) {
    if (mask == 0 || (mask & ~p.accessMask) != 0) {
        return XL_ERR_INVALID_ACCESS;
    }
    return XL_SUCCESS;
}

}  // namespace

std::shared_ptr<Port> findPort(XLportHandle h) {
    Driver& d = drv();
    std::lock_guard<std::mutex> guard(d.state);
    auto it = d.ports.find(h);
    return it == d.ports.end() ? nullptr : it->second;
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

XLstatus sendTargets(Port& p, XLaccess mask, XLstatus (*refusal)(const ChannelState&),
                     std::vector<ChannelState*>* targets) {
    XLstatus status = XL_SUCCESS;
    p.forEach(mask, [&](ChannelState& c) {
        if (!c.active) {
            status = XL_ERR_CHANNEL_NOT_ACTIVE;
        } else if (status == XL_SUCCESS) {
            status = refusal(c);
        }
        targets->push_back(&c);
    });
    return status;
}

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

}  // namespace xl::driver

using namespace xl::driver;

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
    return whileOpen(*p, [&] {
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
    });
}

XLstatus xlDeactivateChannel(XLportHandle portHandle, XLaccess accessMask) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(portHandle, accessMask, XL_BUS_TYPE_NONE, &p); s != XL_SUCCESS) {
        return s;
    }
    return setChannels(*p, accessMask, [](ChannelState& c) { c.active = false; });
}

XLstatus xlFlushReceiveQueue(XLportHandle portHandle) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    return whileOpen(*p, [&] {
        p->queue.clear();
        p->overrunPending = false;
        return XL_SUCCESS;
    });
}

XLstatus xlSetNotification(XLportHandle portHandle, XLhandle* handle, int queueLevel) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    if (handle == nullptr || queueLevel < 1) {
        return XL_ERR_WRONG_PARAMETER;
    }
    return whileOpen(*p, [&] {
        if (p->notify == nullptr) {
            p->notify = takeEvent();
        }
        *handle = p->notify;
        notifyIfDue(*p);
        return XL_SUCCESS;
    });
}

XLstatus xlResetClock(XLportHandle portHandle) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    return whileOpen(*p, [&] {
        p->clockBaseNs = nowNs();
        return XL_SUCCESS;
    });
}

XLstatus xlGetSyncTime(XLportHandle portHandle, XLuint64* time) {
    std::shared_ptr<Port> p = findPort(portHandle);
    if (!p) {
        return XL_ERR_INVALID_PORT;
    }
    if (time == nullptr) {
        return XL_ERR_WRONG_PARAMETER;
    }
    return whileOpen(*p, [&] {
        *time = p->clockTime(nowNs());
        return XL_SUCCESS;
    });
}
