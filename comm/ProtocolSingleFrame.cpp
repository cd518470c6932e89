#include "comm/ProtocolSingleFrame.h"

ProtocolSingleFrame::ProtocolSingleFrame() : ProtocolSingleFrame(0, 0) {}

ProtocolSingleFrame::ProtocolSingleFrame(uint64_t address, uint64_t value) : Protocol(address, value) {}

const std::string& ProtocolSingleFrame::name() const {
    static const std::string text = "PROTOCOL_SingleFrame";
    return text;
}

bool ProtocolSingleFrame::validate() {
    return true;
}

bool ProtocolSingleFrame::encode(std::vector<uint8_t>& frame, const std::vector<uint8_t>& payload) {
    frame = payload;
    return true;
}

bool ProtocolSingleFrame::decode(std::vector<uint8_t>& payload, const std::vector<uint8_t>& frame) {
    return stripFrame(payload, frame, headerLength(), tailLength());
}

bool ProtocolSingleFrame::stripFrame(std::vector<uint8_t>& payload, const std::vector<uint8_t>& frame,
                                     uint64_t header, uint64_t tail) {
    const uint64_t size = frame.size();
    if (header > size || tail > size - header) {
        return false;
    }
    payload.assign(frame.begin() + static_cast<std::ptrdiff_t>(header),
                   frame.end() - static_cast<std::ptrdiff_t>(tail));
    return true;
}

bool ProtocolSingleFrame::send(Communication* channel, uint32_t txId, uint32_t rxId,
                               const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    if (!payload.empty() && !encode(frame, payload)) {
        return false;
    }
    return writeFrame(channel, txId, rxId, frame);
}

bool ProtocolSingleFrame::receive(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                                  uint32_t count) {
    std::vector<uint8_t> frame;
    if (!readFrame(channel, txId, rxId, frame, count)) {
        return false;
    }
    if (frame.empty()) {
        return true;
    }
    return decode(out, frame);
}
