// The virtual XL driver's test controls (xl/xl_test_control.h).
//
// Locks: the port controls take Port::lock; a bus control sent from a port holds its Port::txLock.

#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "xl/bus.h"
#include "xl/driver_internal.h"
#include "xl/xl_api.h"
#include "xl/xl_test_control.h"

using namespace xl::driver;

namespace xl::test {

namespace {

Frame chipStateFrame(uint8_t busStatus, uint8_t txErrorCounter, uint8_t rxErrorCounter) {
    Frame f;
    f.kind = Kind::kChipState;
    f.busStatus = busStatus;
    f.txErrorCounter = txErrorCounter;
    f.rxErrorCounter = rxErrorCounter;
    return f;
}

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
    return whileOpen(*p, p->txLock, [&] {
        for (ChannelState& c : p->channels) {
            if (c.node && c.config.bus == bus) {
                c.node->send(f);
                return XL_SUCCESS;
            }
        }
        return XL_ERR_INVALID_ACCESS;
    });
}

}  // namespace

XLstatus injectChipState(XLportHandle port, XLaccess accessMask, uint8_t busStatus, uint8_t txErrorCounter,
                         uint8_t rxErrorCounter) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(port, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    return whileOpen(*p, [&] {
        XLstatus status = XL_SUCCESS;
        p->forEach(accessMask,
                   [&](ChannelState& c) { status = c.active ? status : XL_ERR_CHANNEL_NOT_ACTIVE; });
        if (status != XL_SUCCESS) {
            return status;
        }
        Frame f = chipStateFrame(busStatus, txErrorCounter, rxErrorCounter);
        f.timeNs = nowNs();
        p->forEach(accessMask, [&](ChannelState& c) { handleFrame(*p, c, f); });
        notifyIfDue(*p);
        return XL_SUCCESS;
    });
}

XLstatus failNextTransmits(XLportHandle port, XLaccess accessMask, uint32_t count) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(port, accessMask, XL_BUS_TYPE_CAN, &p); s != XL_SUCCESS) {
        return s;
    }
    return setChannels(*p, accessMask, [&](ChannelState& c) { c.failNext = count; });
}

XLstatus busInjectChipState(const std::string& bus, uint8_t busStatus, uint8_t txErrorCounter,
                            uint8_t rxErrorCounter, XLportHandle from) {
    return sendControl(bus, chipStateFrame(busStatus, txErrorCounter, rxErrorCounter), from);
}

XLstatus busFailNextTransmits(const std::string& bus, uint32_t count, XLportHandle from) {
    Frame f;
    f.kind = Kind::kTxFail;
    f.count = count;
    return sendControl(bus, f, from);
}

}  // namespace xl::test
