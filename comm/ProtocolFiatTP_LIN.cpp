#include "comm/ProtocolFiatTP_LIN.h"

#include "comm/UtilTimeout.h"

namespace {

constexpr uint32_t kFlowControlReadBytes = 4;

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
    const bool requested = requestSlaveFrame(channel);
    sleepMs(kHeaderWaitMs);
    std::vector<uint8_t> received;
    const bool read = readFrame(channel, 0, kSlaveResponseId, received, kFlowControlReadBytes);
    flushReceive(channel, rxId);
    uint8_t blockSize = 0;
    uint8_t stMin = 0;
    if (!requested || !read || !parseFlowControl(received, blockSize, stMin)) {
        return false;
    }
    // The ECU's STmin does not pace LIN frames: the master's schedule does.
    return writeBlock(channel, txId, rxId, blockLength(blockSize), kFrameWaitMs);
}

bool ProtocolFiatTP_LIN::receive(Communication* channel, uint32_t txId, uint32_t rxId,
                                 std::vector<uint8_t>& out, uint32_t count) {
    sleepMs(kHeaderWaitMs);
    const UtilTimeout deadline(kReceiveRetryMs);
    for (;;) {
        const bool requested = requestSlaveFrame(channel);
        sleepMs(kHeaderWaitMs);
        // An attempt runs to its end even when the deadline passes during it.
        if (ProtocolFiatTP::receive(channel, txId, rxId, out, count) && requested) {
            return true;
        }
        if (deadline.expired()) {
            return false;
        }
    }
}
