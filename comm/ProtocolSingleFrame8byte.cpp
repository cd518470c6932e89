#include "comm/ProtocolSingleFrame8byte.h"

ProtocolSingleFrame8byte::ProtocolSingleFrame8byte(uint64_t address, uint64_t value)
    : ProtocolSingleFrame(address, value), frame(kFrameSize, 0x00) {}

uint64_t ProtocolSingleFrame8byte::headerLength() const {
    return 0;
}

uint64_t ProtocolSingleFrame8byte::tailLength() const {
    return 0;
}

uint64_t ProtocolSingleFrame8byte::auxLengthA() const {
    return 0;
}

bool ProtocolSingleFrame8byte::decode(std::vector<uint8_t>& payload, const std::vector<uint8_t>&) {
    payload.clear();
    // A tail computed from a bad length does not fit in the frame: nothing is decoded.
    return stripFrame(payload, frame, headerLength(), tailLength()) && !payload.empty();
}
