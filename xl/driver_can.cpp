// The virtual XL driver's CAN calls: frames as the bus carries them, the transmit calls of both
// interface versions and the channels' bit rates.
//
// Locks: the transmit calls hold Port::txLock while they send (see driver_transmit.cpp); the bit
// rate settings take Port::lock only.

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "xl/bus.h"
#include "xl/driver_internal.h"
#include "xl/xl_api.h"

namespace xl::driver {

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

}  // namespace xl::driver

using namespace xl::driver;

namespace {

constexpr uint32_t kMaxCanBitrate = 1000000;
constexpr uint32_t kMaxCanFdDataBitrate = 8000000;

// The frame of an xlCanTransmit record; none for one that is no transmit request.
std::optional<Frame> classicFrame(const XLevent& e) {
    if (e.tag != XL_TRANSMIT_MSG) {
        return std::nullopt;
    }
    const s_xl_can_msg& m = e.tagData.msg;
    return canFrame(m.id, m.dlc, m.flags & XL_CAN_MSG_FLAG_REMOTE_FRAME ? xl::bus::kFlagRemote : 0, m.data,
                    MAX_MSG_LEN);
}

// The frame of an xlCanTransmitEx record; none for one that is no transmit request.
std::optional<Frame> fdFrame(const XLcanTxEvent& e) {
    if (e.tag != XL_CAN_EV_TAG_TX_MSG) {
        return std::nullopt;
    }
    const XL_CAN_TX_MSG& m = e.tagData.canMsg;
    uint8_t flags = 0;
    if (m.msgFlags & XL_CAN_TXMSG_FLAG_EDL) {
        flags = xl::bus::kFlagFd | (m.msgFlags & XL_CAN_TXMSG_FLAG_BRS ? xl::bus::kFlagBrs : 0);
    } else if (m.msgFlags & XL_CAN_TXMSG_FLAG_RTR) {
        flags = xl::bus::kFlagRemote;
    }
    return canFrame(m.canId, m.dlc, flags, m.data, XL_CAN_MAX_DATA_LEN);
}

// Sends count records in order, each on every channel of mask, holding the port's txLock; *sent
// counts those that went. A record frameOf gives no frame for, and one that cannot go, end the call.
template <typename Record, typename FrameOf>
XLstatus transmitRecords(Port& p, XLaccess mask, const Record* records, uint32_t count, uint32_t* sent,
                         FrameOf frameOf) {
    std::unique_lock<std::mutex> tx(p.txLock);
    for (uint32_t i = 0; i < count; ++i) {
        const std::optional<Frame> f = frameOf(records[i]);
        if (!f) {
            return XL_ERR_WRONG_PARAMETER;
        }
        if (XLstatus s = transmitFrame(p, mask, *f, tx); s != XL_SUCCESS) {
            return s;
        }
        *sent = i + 1;
    }
    return XL_SUCCESS;
}

}  // namespace

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
    return transmitRecords(*p, accessMask, messages, wanted, messageCount, classicFrame);
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
    return transmitRecords(*p, accessMask, events, msgCnt, msgCntSent, fdFrame);
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
    return setChannels(*p, accessMask, [&](ChannelState& c) {
        c.bitrate = bitrate;
        c.fdConfigured = false;
    });
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
    return setChannels(*p, accessMask, [&](ChannelState& c) {
        c.fd = *conf;
        c.fdConfigured = true;
        c.bitrate = conf->arbitrationBitRate;
    });
}
