#pragma once
// Bytes as two upper-case hexadecimal digits, as the Intel HEX and S-record writers put them.

#include <cstdint>
#include <string>

namespace Io {

inline void appendHexByte(std::string& text, uint8_t byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
}

inline std::string toHexByteString(uint8_t byte) {
    std::string text;
    appendHexByte(text, byte);
    return text;
}

}  // namespace Io
