#pragma once
// LIN frame arithmetic shared by the virtual driver and the LIN channel: protected identifiers and
// the frame checksum.

#include <cstddef>
#include <cstdint>

namespace xl::lin {

// Identifier 0 to 63 with its two parity bits: bit 6 = i0^i1^i2^i4, bit 7 = !(i1^i3^i4^i5).
constexpr uint8_t protectedId(uint8_t id) {
    const auto bit = [id](unsigned n) { return (id >> n) & 1u; };
    const unsigned p0 = bit(0) ^ bit(1) ^ bit(2) ^ bit(4);
    const unsigned p1 = 1u ^ (bit(1) ^ bit(3) ^ bit(4) ^ bit(5));
    return static_cast<uint8_t>((id & 0x3F) | (p0 << 6) | (p1 << 7));
}

// The inverted 8-bit sum with carry (a sum above 255 loses 255) of `start` and the data bytes. The
// classic checksum starts at 0, the enhanced one at the protected identifier.
constexpr uint8_t checksum(uint8_t start, const uint8_t* data, size_t length) {
    unsigned sum = start;
    for (size_t i = 0; i < length; ++i) {
        sum += data[i];
        if (sum > 255) {
            sum -= 255;
        }
    }
    return static_cast<uint8_t>(~sum);
}

// Identifiers 60 to 63 (diagnostic and reserved frames) always carry the classic checksum.
constexpr bool enhancedAllowed(uint8_t id) {
    return id < 60;
}

// The checksum of a frame of identifier id under a model (XL_LIN_CALC_CHECKSUM or ..._ENHANCED).
constexpr uint8_t frameChecksum(uint8_t id, bool enhanced, const uint8_t* data, size_t length) {
    return checksum(enhanced && enhancedAllowed(id) ? protectedId(id) : 0, data, length);
}

}  // namespace xl::lin
