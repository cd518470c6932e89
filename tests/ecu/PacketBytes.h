#pragma once
// Request and reply bytes of the packet services (BB <sub> address pages data) and of the RAM
// download, for the tests of the ECU classes.

#include <cstddef>
#include <cstdint>

#include "tests/ecu/EcuTestSupport.h"
#include "tests/ecu/ScriptedEcu.h"

namespace ecutest {

inline Bytes packet(uint8_t sub, uint32_t address, uint8_t pageByte, const Bytes& data = {}) {
    Bytes request = {0xBB,
                     sub,
                     static_cast<uint8_t>(address >> 24),
                     static_cast<uint8_t>(address >> 16),
                     static_cast<uint8_t>(address >> 8),
                     static_cast<uint8_t>(address),
                     pageByte};
    request.insert(request.end(), data.begin(), data.end());
    return request;
}

// BD, the address big-endian and the data: one download request of the RAM application.
inline Bytes download(uint32_t address, const Bytes& data) {
    Bytes request = {0xBD, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                     static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    request.insert(request.end(), data.begin(), data.end());
    return request;
}

inline Bytes slice(const Bytes& data, size_t from, size_t n) {
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(from),
                 data.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// Scripts the writes of data from address in packets of chunk bytes (BB sub address pageByte and the
// packet's bytes), each answered with answer.
inline void expectPacketWrites(ScriptedEcu& bus, uint8_t sub, uint64_t address, const Bytes& data,
                               size_t chunk, uint8_t pageByte, const Answer& answer) {
    for (size_t offset = 0; offset < data.size(); offset += chunk) {
        bus.expect(packet(sub, static_cast<uint32_t>(address + offset), pageByte, slice(data, offset, chunk)),
                   answer);
    }
}

// A read reply: two header bytes and n bytes counting from first. The reads do not look at the second
// header byte; it names no BB service, so the reply answers a code read and a data read alike.
inline Bytes readReply(size_t n, uint8_t first) {
    Bytes reply = {0xFB, 0x00};
    const Bytes data = counting(n, first);
    reply.insert(reply.end(), data.begin(), data.end());
    return reply;
}

}  // namespace ecutest
