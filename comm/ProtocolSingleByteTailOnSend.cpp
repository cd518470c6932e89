#include "comm/ProtocolSingleByteTailOnSend.h"

ProtocolSingleByteTailOnSend::ProtocolSingleByteTailOnSend() : ProtocolSingleFrame(0, 0) {}

const std::string& ProtocolSingleByteTailOnSend::name() const {
    static const std::string text = "PROTOCOL_ProtocolSingleByteTailOnSend";
    return text;
}

bool ProtocolSingleByteTailOnSend::encode(std::vector<uint8_t>& frame, const std::vector<uint8_t>& payload) {
    frame.clear();
    if (payload.empty()) {
        return false;
    }
    frame = payload;
    frame.push_back(tailByte());
    return true;
}

uint8_t ProtocolSingleByteTailOnSend::tailByte() const {
    return 0x00;
}

ProtocolSingleByteTailOnSend_LF::ProtocolSingleByteTailOnSend_LF() = default;

const std::string& ProtocolSingleByteTailOnSend_LF::name() const {
    static const std::string text = "PROTOCOL_ProtocolSingleByteTailOnSend_LF";
    return text;
}

uint8_t ProtocolSingleByteTailOnSend_LF::tailByte() const {
    return 0x0A;
}
