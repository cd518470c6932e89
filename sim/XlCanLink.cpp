#include "sim/XlCanLink.h"

#include <chrono>

#include "sim/XlChannel.h"

namespace sim {

XlCanLink::XlCanLink(uint32_t requestId, uint32_t responseId)
    : requestId_(requestId), responseId_(responseId) {}

XlCanLink::~XlCanLink() {
    close();
}

uint32_t XlCanLink::wireId(uint32_t id) {
    return id > 0x7FF ? ((id & 0x1FFFFFFFu) | XL_CAN_EXT_MSG_ID) : id;
}

bool XlCanLink::open(unsigned channel, std::string* error) {
    if (xlOpenDriver() != XL_SUCCESS) {
        *error = "the XL driver does not open";
        return false;
    }
    driverOpen_ = true;
    const std::optional<XLchannelConfig> c = findChannel(channel, XL_BUS_ACTIVE_CAP_CAN, "CAN", error);
    if (!c) {
        close();
        return false;
    }
    mask_ = c->channelMask;
    XLaccess permission = mask_;
    XLstatus s =
        xlOpenPort(&port_, "ecu-sim", mask_, &permission, 8192, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN);
    if (s != XL_SUCCESS) {
        *error = std::string("xlOpenPort: ") + xlGetErrorString(s);
        port_ = XL_INVALID_PORTHANDLE;
        close();
        return false;
    }
    if ((permission & mask_) != 0) {
        xlCanSetChannelBitrate(port_, mask_, 500000);
    }
    s = xlSetNotification(port_, &notification_, 1);
    if (s == XL_SUCCESS) {
        s = xlActivateChannel(port_, mask_, XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK);
    }
    if (s != XL_SUCCESS) {
        *error = std::string("channel set-up: ") + xlGetErrorString(s);
        close();
        return false;
    }
    return true;
}

void XlCanLink::close() {
    if (port_ != XL_INVALID_PORTHANDLE) {
        xlDeactivateChannel(port_, mask_);
        xlClosePort(port_);
        port_ = XL_INVALID_PORTHANDLE;
        notification_ = nullptr;
    }
    if (driverOpen_) {
        xlCloseDriver();
        driverOpen_ = false;
    }
}

bool XlCanLink::sendFrame(const Bytes& frame) {
    XLevent e{};
    e.tag = XL_TRANSMIT_MSG;
    e.tagData.msg.id = wireId(responseId_);
    e.tagData.msg.dlc = static_cast<uint16_t>(std::min<size_t>(frame.size(), MAX_MSG_LEN));
    std::copy(frame.begin(), frame.begin() + e.tagData.msg.dlc, e.tagData.msg.data);
    // A full transmit queue is a moment's congestion: a few tries.
    for (int attempt = 0; attempt < 20; ++attempt) {
        uint32_t count = 1;
        const XLstatus s = xlCanTransmit(port_, mask_, &count, &e);
        if (s == XL_SUCCESS) {
            return true;
        }
        if (s != XL_ERR_QUEUE_IS_FULL || !pause(1)) {
            return false;
        }
    }
    return false;
}

std::optional<Bytes> XlCanLink::receiveFrame(uint32_t timeoutMs) {
    if (port_ == XL_INVALID_PORTHANDLE) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const uint32_t wanted = wireId(requestId_);
    constexpr uint16_t kSkip =
        XL_CAN_MSG_FLAG_ERROR_FRAME | XL_CAN_MSG_FLAG_REMOTE_FRAME | XL_CAN_MSG_FLAG_TX_COMPLETED;
    while (!stopping()) {
        notification_->reset();
        for (;;) {
            XLevent e{};
            uint32_t n = 1;
            if (xlReceive(port_, &n, &e) != XL_SUCCESS || n != 1) {
                break;
            }
            if (e.tag != XL_RECEIVE_MSG || e.tagData.msg.id != wanted || (e.tagData.msg.flags & kSkip) != 0) {
                continue;
            }
            const size_t dlc = std::min<size_t>(e.tagData.msg.dlc, MAX_MSG_LEN);
            return Bytes(e.tagData.msg.data, e.tagData.msg.data + dlc);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            return std::nullopt;
        }
        platform::waitAny({&stop_, notification_}, static_cast<uint32_t>(left));
    }
    return std::nullopt;
}

}  // namespace sim
