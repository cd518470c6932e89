#include "comm/ProtocolFiatTP_LIN.h"

#include <algorithm>
#include <optional>

#include "comm/Communication.h"
#include "comm/ProtocolFiatFrames.h"
#include "comm/UtilTimeout.h"

namespace {

constexpr uint32_t kFlowControlReadBytes = 4;

bool isFlowControlFrame(const std::vector<uint8_t>& frame) {
    return frame.size() >= 2 && frame[1] == ProtocolFiatFC::kType;
}

}  // namespace

ProtocolFiatTP_LIN::ProtocolFiatTP_LIN(uint8_t address) : ProtocolFiatTP(address) {}

ProtocolFiatTP_LIN::~ProtocolFiatTP_LIN() {
    stopThreads();
}

const std::string& ProtocolFiatTP_LIN::name() const {
    static const std::string text = "PROTOCOL_StandardizedCanFiatTP_LIN";
    return text;
}

bool ProtocolFiatTP_LIN::requestSlaveFrame(Communication* channel) {
    return writeFrame(channel, kSlaveResponseId, 0, {});
}

bool ProtocolFiatTP_LIN::send(Communication* channel, uint32_t txId, uint32_t rxId,
                              const std::vector<uint8_t>& payload) {
    return sendSegmented(channel, txId, rxId, payload, [&] { return sendBlock(channel, txId, rxId); });
}

bool ProtocolFiatTP_LIN::sendBlock(Communication* channel, uint32_t txId, uint32_t rxId) {
    // The receive time-out runs from the first read, after the first header's wait, as a read
    // without frames to drop would wait it.
    std::optional<UtilTimeout> window;
    std::vector<uint8_t> received;
    bool isFlowControl = false;
    uint8_t blockSize = 0;
    uint8_t stMin = 0;
    for (;;) {
        const bool requested = requestSlaveFrame(channel);
        sleepMs(kHeaderWaitMs);
        if (!window) {
            window.emplace(receiveTimeoutMs(channel));
        }
        const bool read =
            readWithin(channel, 0, kSlaveResponseId, received, kFlowControlReadBytes, window->remainingMs());
        isFlowControl = requested && read && parseFlowControl(received, blockSize, stMin);
        if (isFlowControl || !requested || !read || window->expired()) {
            break;
        }
        // Not a flow control (a reply of the ECU that came after its time-out): dropped; the next
        // header fetches the ECU's next frame.
        dropRestOfFrame(channel, 0, kSlaveResponseId, received);
    }
    flushReceive(channel, rxId);
    if (!isFlowControl) {
        return false;
    }
    // The ECU's STmin does not pace LIN frames: the master's schedule does.
    return writeBlock(channel, txId, rxId, blockLength(blockSize), kFrameWaitMs);
}

bool ProtocolFiatTP_LIN::receive(Communication* channel, uint32_t txId, uint32_t rxId,
                                 std::vector<uint8_t>& out, uint32_t) {
    dropNewArrival();
    sleepMs(kHeaderWaitMs);
    const UtilTimeout deadline(kReceiveRetryMs);
    for (;;) {
        // A frame that broke off the message before has been fetched already.
        bool requested = true;
        if (!holdsNewArrival()) {
            requested = requestSlaveFrame(channel);
            sleepMs(kHeaderWaitMs);
        }
        // An attempt runs to its end even when the deadline passes during it. A frame that begins no
        // message, and a message that answers another request, fail the attempt like a missing one:
        // the next header fetches the ECU's next frame.
        const Arrival arrival = receiveMessage(channel, txId, rxId, out, receiveTimeoutMs(channel));
        if (arrival == Arrival::message && requested) {
            if (channel->isAwaitedReply(out)) {
                return true;
            }
            out.clear();
        }
        if (deadline.expired()) {
            dropNewArrival();
            return false;
        }
    }
}

bool ProtocolFiatTP_LIN::fetchNextFrame(Communication* channel, uint32_t txId, uint32_t rxId,
                                        std::vector<uint8_t>& out) {
    const UtilTimeout window(receiveTimeoutMs(channel));
    for (;;) {
        sleepMs(kFrameWaitMs);
        out.clear();
        const bool read =
            requestSlaveFrame(channel) &&
            readWithin(channel, txId, rxId, out, kFrameSize, std::min(kFrameFetchMs, window.remainingMs()));
        // A slave that has the next frame not ready yet answers with the flow control it keeps armed,
        // or not at all: asked again.
        if (read && !isFlowControlFrame(out)) {
            return true;
        }
        if (window.expired()) {
            out.clear();
            return false;
        }
    }
}
