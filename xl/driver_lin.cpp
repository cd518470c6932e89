// The virtual XL driver's LIN side: the channels' slave tables, the headers a master sends and the
// responses they get.
//
// A master's header (xlLinSendRequest) is answered by the node whose switched-on slave entry holds
// the identifier (the master itself first): that node sends the entry's data, data length and the
// checksum of its model, and every node of the bus files the frame as an XL_LIN_MSG event, the
// responder's own copy flagged XL_LIN_MSGFLAG_TX. A header that no node serves gives no frame. A
// slave entry is switched on by xlLinSetSlave and keeps its data until the next one, or, with
// xl::test::linSlaveAfterResponse, until it has answered a header.
//
// A header from another node reaches a channel through the I/O thread (handleLinFrame, under
// Port::lock); the response it owes goes out once that lock is free (sendLinResponse).
//
// Locks: the settings take Port::lock only; sending a header or a response holds Port::txLock and
// takes Port::lock under it.

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "xl/bus.h"
#include "xl/driver_internal.h"
#include "xl/lin.h"
#include "xl/xl_api.h"
#include "xl/xl_test_control.h"

namespace xl::driver {

namespace {

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

// The frame the entry sends for a header of id, which it thereby answers; false when it has none.
bool answerLinHeader(ChannelState& c, uint8_t id, Frame& out) {
    if (!linResponse(c, id, out)) {
        return false;
    }
    LinSlave& s = c.slaves[id];
    if (s.renewed) {
        std::memcpy(s.data, s.renewedData, 8);
        s.dlc = s.renewedDlc;
    }
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

XLstatus linChannelCall(XLportHandle h, XLaccess mask, const std::function<XLstatus(ChannelState&)>& body) {
    std::shared_ptr<Port> p;
    if (XLstatus s = lookup(h, mask, XL_BUS_TYPE_LIN, &p); s != XL_SUCCESS) {
        return s;
    }
    return whileOpen(*p, [&] {
        XLstatus status = XL_SUCCESS;
        p->forEach(mask, [&](ChannelState& c) {
            if (status == XL_SUCCESS) {
                status = body(c);
            }
        });
        return status;
    });
}

}  // namespace

void handleLinFrame(Port& p, ChannelState& c, const Frame& f, std::vector<PendingResponse>* responses) {
    if (p.busType != XL_BUS_TYPE_LIN || f.id > XL_LIN_MAX_ID) {
        return;
    }
    Frame response;
    if (f.kind == Kind::kLinFrame) {
        pushLin(p, c, f, false);
    } else if (responses != nullptr && answerLinHeader(c, static_cast<uint8_t>(f.id), response)) {
        responses->push_back({&c, response});
    }
}

void sendLinResponse(Port& p, ChannelState& c, Frame f) {
    // A port closed meanwhile sends nothing.
    whileOpen(p, p.txLock, [&] {
        c.node->send(f);
        std::lock_guard<std::mutex> guard(p.lock);
        if (c.active) {
            pushLin(p, c, f, true);
            notifyIfDue(p);
        }
        return XL_SUCCESS;
    });
}

}  // namespace xl::driver

using namespace xl::driver;

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
    const auto notMaster = [](const ChannelState& c) {  // only a master sends headers
        return c.linParamsSet && c.lin.LINMode != XL_LIN_MASTER ? XL_ERR_CMD_FAILED : XL_SUCCESS;
    };
    if (XLstatus s = whileOpen(*p, [&] { return sendTargets(*p, accessMask, notMaster, &targets); });
        s != XL_SUCCESS) {
        return s;
    }
    for (ChannelState* c : targets) {
        // A master whose own slave table serves the identifier answers its header itself: the bus
        // then carries the frame; otherwise the header goes out for the node that serves it.
        Frame f;
        bool own = false;
        {
            std::lock_guard<std::mutex> guard(p->lock);
            own = answerLinHeader(*c, linId, f);
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

XLstatus xl::test::linSlaveAfterResponse(XLportHandle port, XLaccess accessMask, uint8_t linId,
                                         const uint8_t* data, uint8_t dlc) {
    return linChannelCall(port, accessMask, [&](ChannelState& c) {
        if (linId > XL_LIN_MAX_ID || dlc > 8) {
            return XL_ERR_WRONG_PARAMETER;
        }
        LinSlave& s = c.slaves[linId];
        s.renewed = data != nullptr;
        std::memset(s.renewedData, 0, 8);
        if (data != nullptr) {
            std::memcpy(s.renewedData, data, dlc);
        }
        s.renewedDlc = dlc;
        return XL_SUCCESS;
    });
}
