#include "comm/Protocol.h"

#include "comm/Communication.h"

Protocol::Protocol(uint64_t address, uint64_t value) : address(address), value(value) {}

Protocol::~Protocol() = default;

const std::string& Protocol::name() const {
    static const std::string text = "PROTOCOL";
    return text;
}

bool Protocol::setOptionFlag(uint8_t) {
    return false;
}

uint64_t Protocol::headerLength() const {
    return 0;
}

uint64_t Protocol::tailLength() const {
    return 0;
}

uint64_t Protocol::auxLengthA() const {
    return 0;
}

uint64_t Protocol::auxLengthB() const {
    return 0;
}

bool Protocol::encode(std::vector<uint8_t>& frame, const std::vector<uint8_t>& payload) {
    frame = payload;
    return true;
}

bool Protocol::decode(std::vector<uint8_t>& payload, const std::vector<uint8_t>& frame) {
    payload = frame;
    return true;
}

bool Protocol::auxTransform(std::vector<uint8_t>&, const std::vector<uint8_t>&) {
    return true;
}

bool Protocol::send(Communication* channel, uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& payload) {
    return writeFrame(channel, txId, rxId, payload);
}

bool Protocol::receive(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                       uint32_t count) {
    return readFrame(channel, txId, rxId, out, count);
}

bool Protocol::isValid() {
    if (!validChecked) {
        validChecked = true;
        valid = validate();
    }
    return valid;
}

bool Protocol::writeFrame(Communication* channel, uint32_t txId, uint32_t rxId,
                          const std::vector<uint8_t>& frame) {
    return channel != nullptr && channel->write(txId, rxId, frame);
}

bool Protocol::readFrame(Communication* channel, uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out,
                         uint32_t count) {
    return channel != nullptr && channel->read(txId, rxId, out, count);
}

bool Protocol::flushReceive(Communication* channel, uint32_t rxId) {
    return channel != nullptr && channel->flushReceive(rxId);
}

bool Protocol::sendBreak(Communication* channel, uint32_t duration) {
    return channel != nullptr && channel->sendBreak(duration);
}
