#include "sim/XlLinLink.h"

#include <chrono>

#include "sim/XlChannel.h"
#include "xl/lin_slave_peer.h"

namespace sim {

namespace {

// How often an idle link looks whether its flow control went out and must be armed again.
constexpr int kPollMs = 2;

}  // namespace

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
    peer_ = xl::LinSlavePeer::open(options, error);
    if (!peer_) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    armFlowControlIfIdle();
    return true;
}

void XlLinLink::armFlowControlIfIdle() {
    if (peer_->pendingResponses() == 0) {
        peer_->queueResponse(flowControl_);
    }
}

bool XlLinLink::sendFrame(const Bytes& frame) {
    if (!peer_ || frame.size() < 2) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (frame[1] == 0x30) {
        // The armed flow control serves; one is put up if it already went out.
        armFlowControlIfIdle();
        return true;
    }
    const uint8_t type = frame[1] >> 4;
    if (type == 0 || type == 1) {
        // A new message: the armed flow control and anything left of an earlier reply go.
        peer_->clearResponses();
    }
    peer_->queueResponse(frame);
    return true;
}

std::optional<Bytes> XlLinLink::receiveFrame(uint32_t timeoutMs) {
    if (!peer_) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!stopping()) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            armFlowControlIfIdle();
        }
        Bytes frame;
        if (peer_->nextRequest(frame, kPollMs)) {
            return frame;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    return std::nullopt;
}

}  // namespace sim
