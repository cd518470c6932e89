#include "sim/XlLinLink.h"

#include <chrono>

#include "sim/XlChannel.h"
#include "xl/lin_slave_peer.h"

namespace sim {

XlLinLink::XlLinLink(uint8_t requestId, uint8_t responseId, const Bytes& flowControl)
    : requestId_(requestId), responseId_(responseId), flowControl_(flowControl) {
    flowControl_.resize(8, 0x00);
}

XlLinLink::~XlLinLink() = default;

bool XlLinLink::open(unsigned channel, std::string* error) {
    const std::optional<XLchannelConfig> c = findChannel(channel, XL_BUS_ACTIVE_CAP_LIN, "LIN", error);
    if (!c) {
        return false;
    }
    xl::LinSlavePeer::Options options;
    options.hwType = c->hwType;
    options.hwIndex = c->hwIndex;
    options.hwChannel = c->hwChannel;
    options.requestId = requestId_;
    options.responseId = responseId_;
    options.idleResponse = flowControl_;
    peer_ = xl::LinSlavePeer::open(options, error);
    return peer_ != nullptr;
}

namespace {

bool beginsMessage(const Bytes& frame, uint8_t address) {
    return frame.size() >= 2 && frame[0] == address && (frame[1] >> 4 == 0 || frame[1] >> 4 == 1);
}

}  // namespace

bool XlLinLink::sendFrame(const Bytes& frame) {
    if (!peer_ || frame.size() < 2) {
        return false;
    }
    if (frame[1] == 0x30) {
        // The flow control armed while idle serves.
        return true;
    }
    peer_->queueResponse(frame);
    return true;
}

std::optional<Bytes> XlLinLink::receiveFrame(uint32_t timeoutMs) {
    if (!peer_) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // In short slices, so that a stop is seen soon.
    constexpr int kSliceMs = 20;
    while (!stopping()) {
        Bytes frame;
        if (peer_->nextRequest(frame, kSliceMs)) {
            if (beginsMessage(frame, flowControl_[0])) {
                // The tool's next request: what it did not fetch of earlier replies is stale.
                peer_->clearResponses();
            }
            return frame;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    return std::nullopt;
}

}  // namespace sim
