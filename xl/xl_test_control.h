#pragma once
// Test controls of the virtual XL driver: faults that real interfaces show now and then, made to
// order for tests and simulators.
//
// The port controls act at once on ports of this process. The bus controls travel on the virtual
// bus like a frame, in bus order, and act on every activated port of that bus in every process
// (this one included), except the sending port when one is named.

#include <cstdint>
#include <string>

#include "xl/xl_api.h"

namespace xl::test {

// Queues a chip-state event (XL_CHIP_STATE, or XL_CAN_EV_TAG_CHIP_STATE on a CAN FD port) on each
// activated channel of accessMask. XL_CHIPSTAT_BUSOFF also takes the channel off the bus: its
// transmits answer XL_ERR_BUS_OFF and it receives nothing until it is activated again.
XLstatus injectChipState(XLportHandle port, XLaccess accessMask, uint8_t busStatus, uint8_t txErrorCounter,
                         uint8_t rxErrorCounter);

// The next `count` transmits on the channels of accessMask answer XL_ERR_QUEUE_IS_FULL and send
// nothing (0 ends an earlier request).
XLstatus failNextTransmits(XLportHandle port, XLaccess accessMask, uint32_t count);

// LIN: from now on, whenever the switched-on slave entry of linId on the channels of accessMask
// has answered a header, it holds these dlc bytes (sent with the entry's checksum model) until the
// next xlLinSetSlave renews it; data null ends this. A node that renews its entry only once it has
// seen its frame go out is late for a header that comes at once: that header gets these bytes
// rather than a copy of the frame before.
XLstatus linSlaveAfterResponse(XLportHandle port, XLaccess accessMask, uint8_t linId, const uint8_t* data,
                               uint8_t dlc);

// The same for every port on the named bus. XL_ERR_BUS_UNAVAILABLE when the bus cannot be reached;
// XL_ERR_INVALID_ACCESS when `from` is a port with no channel on that bus.
XLstatus busInjectChipState(const std::string& bus, uint8_t busStatus, uint8_t txErrorCounter,
                            uint8_t rxErrorCounter, XLportHandle from = XL_INVALID_PORTHANDLE);
XLstatus busFailNextTransmits(const std::string& bus, uint32_t count,
                              XLportHandle from = XL_INVALID_PORTHANDLE);

}  // namespace xl::test
