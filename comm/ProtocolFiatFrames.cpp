#include "comm/ProtocolFiatFrames.h"

#include <algorithm>

namespace {

uint8_t byteAt(const std::vector<uint8_t>& bytes, size_t index) {
    return index < bytes.size() ? bytes[index] : 0x00;
}

// Copies a received frame into held; one longer than 8 bytes is copied only when truncate is set.
void copyReceived(std::vector<uint8_t>& held, const std::vector<uint8_t>& received, bool truncate) {
    if (received.size() > held.size() && !truncate) {
        return;
    }
    const size_t n = std::min(received.size(), held.size());
    std::copy_n(received.begin(), n, held.begin());
}

// Fills held with the address, the type byte and, from index at, the data.
void fill(std::vector<uint8_t>& held, uint8_t address, uint8_t type, size_t at, const std::vector<uint8_t>& data) {
    std::fill(held.begin(), held.end(), 0x00);
    held[0] = address;
    held[1] = type;
    std::copy(data.begin(), data.end(), held.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace

// ---- single frame

ProtocolFiatSF::ProtocolFiatSF(uint8_t address, uint8_t length, const std::vector<uint8_t>& payload)
    : ProtocolSingleFrame8byte(address, 0), length(length) {
    std::vector<uint8_t> unused;
    encode(unused, payload);
}

ProtocolFiatSF::ProtocolFiatSF(const std::vector<uint8_t>& received)
    : ProtocolSingleFrame8byte(byteAt(received, 0), 0), length(byteAt(received, 1) & 0x07) {
    copyReceived(frame, received, false);
}

bool ProtocolFiatSF::validate() {
    return (frame[1] & 0xF0) == 0x00;
}

uint64_t ProtocolFiatSF::headerLength() const {
    return 2;
}

uint64_t ProtocolFiatSF::tailLength() const {
    return uint64_t{kMaxLength} - length;
}

bool ProtocolFiatSF::encode(std::vector<uint8_t>&, const std::vector<uint8_t>& payload) {
    if (length > kMaxLength || payload.size() != length) {
        return false;
    }
    fill(frame, addressByte(), static_cast<uint8_t>(payload.size()), 2, payload);
    return true;
}

// ---- first frame

ProtocolFiatFF::ProtocolFiatFF(uint8_t address, uint16_t length, const std::vector<uint8_t>& data)
    : ProtocolSingleFrame8byte(address, 0), length(length) {
    std::vector<uint8_t> unused;
    encode(unused, data);
}

ProtocolFiatFF::ProtocolFiatFF(const std::vector<uint8_t>& received)
    : ProtocolSingleFrame8byte(byteAt(received, 0), 0),
      length(static_cast<uint16_t>((byteAt(received, 1) & 0x0F) << 8 | byteAt(received, 2))) {
    copyReceived(frame, received, true);
}

bool ProtocolFiatFF::validate() {
    return (frame[1] & 0xF0) == 0x10;
}

uint64_t ProtocolFiatFF::headerLength() const {
    return 3;
}

uint64_t ProtocolFiatFF::tailLength() const {
    return 0;
}

bool ProtocolFiatFF::encode(std::vector<uint8_t>&, const std::vector<uint8_t>& data) {
    if (length > kMaxLength || data.size() > kDataBytes) {
        return false;
    }
    fill(frame, addressByte(), static_cast<uint8_t>(0x10 | length >> 8), 3, data);
    frame[2] = static_cast<uint8_t>(length & 0xFF);
    return true;
}

// ---- consecutive frame

ProtocolFiatCF::ProtocolFiatCF(uint8_t address, uint8_t sequenceNumber, const std::vector<uint8_t>& data)
    : ProtocolSingleFrame8byte(address, 0), sequenceNumber(sequenceNumber & 0x0F) {
    std::vector<uint8_t> unused;
    encode(unused, data);
}

ProtocolFiatCF::ProtocolFiatCF(const std::vector<uint8_t>& received)
    : ProtocolSingleFrame8byte(byteAt(received, 0), 0), sequenceNumber(byteAt(received, 1) & 0x0F) {
    copyReceived(frame, received, false);
}

bool ProtocolFiatCF::validate() {
    return (frame[1] & 0xF0) == 0x20;
}

uint64_t ProtocolFiatCF::headerLength() const {
    return 2;
}

uint64_t ProtocolFiatCF::tailLength() const {
    return 0;
}

bool ProtocolFiatCF::encode(std::vector<uint8_t>&, const std::vector<uint8_t>& data) {
    if (data.size() > kDataBytes) {
        return false;
    }
    fill(frame, addressByte(), static_cast<uint8_t>(0x20 | sequenceNumber), 2, data);
    return true;
}

// ---- flow control

ProtocolFiatFC::ProtocolFiatFC(uint8_t address, uint8_t blockSize, uint8_t stMin)
    : ProtocolSingleFrame8byte(address, 0), blockSize(blockSize), stMin(stMin) {
    std::vector<uint8_t> unused;
    encode(unused, unused);
}

ProtocolFiatFC::ProtocolFiatFC(const std::vector<uint8_t>& received)
    : ProtocolSingleFrame8byte(byteAt(received, 0), 0),
      blockSize(byteAt(received, 2)),
      stMin(byteAt(received, 3)) {
    copyReceived(frame, received, false);
}

bool ProtocolFiatFC::validate() {
    return frame[1] == kType;
}

uint64_t ProtocolFiatFC::headerLength() const {
    return 0;
}

uint64_t ProtocolFiatFC::tailLength() const {
    return 0;
}

bool ProtocolFiatFC::encode(std::vector<uint8_t>&, const std::vector<uint8_t>&) {
    fill(frame, addressByte(), kType, 2, {blockSize, stMin});
    return true;
}
