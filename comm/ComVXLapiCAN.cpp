#include "comm/ComVXLapiCAN.h"

#include <algorithm>
#include <cstring>

#include "comm/UtilTimeout.h"
#include "platform/event.h"

namespace {

constexpr uint32_t kClassicDataLength = 8;
constexpr uint32_t kFdDataLength = 64;
constexpr uint32_t kClassicRxQueueSize = 256;
constexpr uint32_t kFdRxQueueSize = 8192;
constexpr uint32_t kMaxStandardId = 0x7FF;
constexpr uint32_t kFdTxFlags = XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS;
constexpr uint32_t kQueueFullPauseMs = 30;
constexpr uint32_t kBusOffPauseMs = 20;
constexpr uint32_t kPollMs = 3;

// A received identifier as the queue files it: without the extended-frame flag.
uint32_t fileId(uint32_t rawId) {
    return rawId > kMaxStandardId ? rawId ^ XL_CAN_EXT_MSG_ID : rawId;
}

}  // namespace

// ---- ComVXLapiCANbase

ComVXLapiCANbase::ComVXLapiCANbase(const ComParamsVXLapiCAN& params, uint32_t rxId)
    : ComVXLapi(new ComParamsVXLapiCAN(params), rxId) {
    auto* own = static_cast<ComParamsVXLapiCAN*>(getComParams());
    if (own->notificationLevel == 0) {
        own->notificationLevel = 1;
    }
    if (rxId != 0) {
        setRxIds({rxId});
    }
    setChannel(own->channel);
}

ComVXLapiCANbase::~ComVXLapiCANbase() {
    stopRxThread();
}

const ComParamsVXLapiCAN& ComVXLapiCANbase::canParams() const {
    return *static_cast<const ComParamsVXLapiCAN*>(getComParams());
}

const std::string& ComVXLapiCANbase::name() const {
    std::call_once(nameOnce, [this] {
        nameText = "COM_VXL_API_CAN_BASE_" + std::to_string(hwType()) + "_" + std::to_string(hwIndex()) +
                   "_" + std::to_string(hwChannel());
    });
    return nameText;
}

uint32_t ComVXLapiCANbase::maxDataLength() const {
    return canParams().canFd ? kFdDataLength : kClassicDataLength;
}

uint32_t ComVXLapiCANbase::rxQueueLimit() const {
    return canParams().rxQueueLimit;
}

uint32_t ComVXLapiCANbase::hwType() const {
    return canParams().hwType;
}

uint32_t ComVXLapiCANbase::hwIndex() const {
    return canParams().hwIndex;
}

uint32_t ComVXLapiCANbase::hwChannel() const {
    return channel;
}

uint32_t ComVXLapiCANbase::busType() const {
    return XL_BUS_TYPE_CAN;
}

const std::string& ComVXLapiCANbase::appName() const {
    static const std::string text = "VOCan";
    return text;
}

XLstatus ComVXLapiCANbase::openPort() {
    return canParams().canFd ? openPortWith(kFdRxQueueSize, XL_INTERFACE_VERSION_V4)
                             : openPortWith(kClassicRxQueueSize, XL_INTERFACE_VERSION);
}

uint8_t ComVXLapiCANbase::canFdLengthToDlc(uint32_t length) {
    if (length <= 8) {
        return static_cast<uint8_t>(length);
    }
    constexpr uint32_t kLimits[] = {12, 16, 20, 24, 32, 48};
    uint8_t dlc = 9;
    for (uint32_t limit : kLimits) {
        if (length <= limit) {
            return dlc;
        }
        ++dlc;
    }
    return 15;
}

// ---- sending

bool ComVXLapiCANbase::write(uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& frame) {
    if (frame.empty()) {
        return true;
    }
    const uint32_t length = std::min(rxId, maxDataLength());
    uint8_t bytes[kFdDataLength] = {};
    std::memcpy(bytes, frame.data(), std::min<size_t>(length, frame.size()));
    return transmit(txId, length, bytes);
}

bool ComVXLapiCANbase::transmit(uint32_t id, uint32_t length, const uint8_t* bytes) {
    if (id > kMaxStandardId) {
        id |= XL_CAN_EXT_MSG_ID;
    }
    const XLaccess mask = accessMaskOf(channel);
    // A full transmit queue is flushed and the frame tried once more after a pause.
    const auto sendWithRetry = [&](const auto& send) {
        XLstatus status = send();
        if (status == XL_ERR_QUEUE_IS_FULL) {
            xlCanFlushTransmitQueue(portHandle, mask);
            sleepMs(kQueueFullPauseMs);
            status = send();
        }
        return status == XL_SUCCESS;
    };
    if (canParams().canFd) {
        XLcanTxEvent event{};
        event.tag = XL_CAN_EV_TAG_TX_MSG;
        event.tagData.canMsg.canId = id;
        event.tagData.canMsg.msgFlags = kFdTxFlags;
        event.tagData.canMsg.dlc = canFdLengthToDlc(length);
        std::memcpy(event.tagData.canMsg.data, bytes, std::min(length, kFdDataLength));
        return sendWithRetry([&] {
            uint32_t sent = 0;
            return xlCanTransmitEx(portHandle, mask, 1, &sent, &event);
        });
    }
    XLevent event{};
    event.tag = XL_TRANSMIT_MSG;
    event.tagData.msg.id = id;
    event.tagData.msg.flags = 0;
    event.tagData.msg.dlc = static_cast<uint16_t>(length);
    std::memcpy(event.tagData.msg.data, bytes, std::min(length, kClassicDataLength));
    return sendWithRetry([&] {
        uint32_t count = 1;
        return xlCanTransmit(portHandle, mask, &count, &event);
    });
}

// ---- bus set-up

bool ComVXLapiCANbase::setupChannel() {
    const ComParamsVXLapiCAN& p = canParams();
    XLstatus status = XL_SUCCESS;
    if (permissionMaskOf(channel) != 0) {
        if (p.canFd) {
            XLcanFdConf conf{};
            conf.arbitrationBitRate = p.fdArbitrationBitrate;
            conf.sjwAbr = p.fdArbitrationSjw;
            conf.tseg1Abr = p.fdArbitrationTseg1;
            conf.tseg2Abr = p.fdArbitrationTseg2;
            conf.dataBitRate = p.bitrate;
            conf.sjwDbr = p.fdDataSjw;
            conf.tseg1Dbr = p.fdDataTseg1;
            conf.tseg2Dbr = p.fdDataTseg2;
            status = xlCanFdSetConfiguration(portHandle, accessMaskOf(channel), &conf);
        } else {
            status = xlCanSetChannelBitrate(portHandle, accessMaskOf(channel), p.bitrate);
        }
        if (status != XL_SUCCESS) {
            return false;
        }
    }
    if (portHandle != XL_INVALID_PORTHANDLE) {
        status = xlSetNotification(portHandle, &notifyEventHandle, static_cast<int>(p.notificationLevel));
    }
    return status == XL_SUCCESS;
}

// ---- receiving

bool ComVXLapiCANbase::startRxThread() {
    if (canParams().canFd) {
        return launchRxThread([this] { return rxThreadProcFd(this); });
    }
    return launchRxThread([this] { return rxThreadProc(this); });
}

uint32_t ComVXLapiCANbase::rxThreadProcFd(ComVXLapiCANbase* self) {
    self->rxLoopFd();
    return 0;
}

uint32_t ComVXLapiCANbase::rxWaitMs() const {
    return canParams().notificationLevel == 1 ? platform::kInfinite : kPollMs;
}

void ComVXLapiCANbase::rxLoop() {
    // One xlReceive fetches up to the notification level of events; more than the port's queue
    // could hold would only cost memory.
    const uint32_t room = std::clamp<uint32_t>(canParams().notificationLevel, 1, kClassicRxQueueSize);
    std::vector<XLevent> events(room);
    while (waitForDriver(rxWaitMs())) {
        while (!stopRequested()) {
            std::fill(events.begin(), events.end(), XLevent{});
            uint32_t count = room;
            if (xlReceive(portHandle, &count, events.data()) != XL_SUCCESS) {
                break;
            }
            for (uint32_t i = 0; i < count && i < room; ++i) {
                const XLevent& ev = events[i];
                if (ev.tag == XL_RECEIVE_MSG) {
                    const s_xl_can_msg& m = ev.tagData.msg;
                    if ((m.flags & classicFlagMask) == 0) {
                        fileFrame(m.id, m.data, std::min<uint32_t>(m.dlc, kClassicDataLength), ev.timeStamp,
                                  m.dlc, m.flags);
                    }
                } else if (ev.tag == XL_CHIP_STATE) {
                    const s_xl_chip_state& s = ev.tagData.chipState;
                    handleChipState(s.busStatus, s.txErrorCounter, s.rxErrorCounter);
                }
            }
        }
    }
}

void ComVXLapiCANbase::rxLoopFd() {
    XLcanRxEvent ev;
    while (waitForDriver(rxWaitMs())) {
        while (!stopRequested()) {
            std::memset(&ev, 0, sizeof ev);
            if (xlCanReceive(portHandle, &ev) != XL_SUCCESS) {
                break;
            }
            if (ev.tag == XL_CAN_EV_TAG_RX_OK) {
                const XL_CAN_EV_RX_MSG& m = ev.tagData.canRxOkMsg;
                if ((m.msgFlags & fdFlagMask) == 0) {
                    // Codes above 8 count only with the extended data length; above 15 as 15.
                    const uint32_t length = m.dlc <= 8                             ? m.dlc
                                            : (m.msgFlags & XL_CAN_RXMSG_FLAG_EDL) ? xlCanFdDlcToLength(m.dlc)
                                                                                   : kClassicDataLength;
                    fileFrame(m.canId, m.data, length, ev.timeStampSync, m.dlc, m.msgFlags);
                }
            } else if (ev.tag == XL_CAN_EV_TAG_CHIP_STATE) {
                const XL_CAN_EV_CHIP_STATE& s = ev.tagData.canChipState;
                handleChipState(s.busStatus, s.txErrorCounter, s.rxErrorCounter);
            }
        }
    }
}

void ComVXLapiCANbase::fileFrame(uint32_t rawId, const uint8_t* data, uint32_t length, uint64_t timestamp,
                                 uint32_t dlc, uint32_t flags) {
    const uint32_t id = fileId(rawId);
    if (!isRxIdAccepted(id)) {
        return;
    }
    const VXLapiMsg msg(std::vector<uint8_t>(data, data + length), id, 0, timestamp, dlc, flags);
    rxQueue.push(id, msg, canParams().rxQueueLimit);
}

void ComVXLapiCANbase::handleChipState(uint8_t status, uint8_t txErrors, uint8_t rxErrors) {
    busStatus.store(status);
    const XLaccess mask = accessMaskOf(hwChannel());
    if (status == XL_CHIPSTAT_BUSOFF && mask != 0) {
        xlDeactivateChannel(portHandle, mask);
        sleepMs(kBusOffPauseMs);
        xlActivateChannel(portHandle, mask, busType(), XL_ACTIVATE_RESET_CLOCK);
    }
    txErrorCounter.store(txErrors);
    rxErrorCounter.store(rxErrors);
}

bool ComVXLapiCANbase::isRxIdAccepted(uint32_t id) {
    if (!rxIdLock.lock()) {
        return false;
    }
    const bool found = std::find(rxIds.begin(), rxIds.end(), id) != rxIds.end();
    rxIdLock.unlock();
    return found;
}

std::vector<uint32_t> ComVXLapiCANbase::copyRxIds() {
    if (!rxIdLock.lock()) {
        return {};
    }
    std::vector<uint32_t> copy = rxIds;
    rxIdLock.unlock();
    return copy;
}

// ---- ComVXLapiCAN

ComVXLapiCAN::ComVXLapiCAN(const ComParamsVXLapiCAN& params, uint32_t rxId)
    : ComVXLapiCANbase(params, rxId) {}

ComVXLapiCAN::~ComVXLapiCAN() {
    stopRxThread();
}

uint32_t ComVXLapiCAN::available(uint32_t rxId) {
    return rxQueue.count(rxId);
}

bool ComVXLapiCAN::read(uint32_t, uint32_t rxId, std::vector<uint8_t>& out, uint32_t count) {
    return readQueued(rxId, out, count);
}
