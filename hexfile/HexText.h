#pragma once
// Bytes as two upper-case hexadecimal digits, as the Intel HEX and S-record writers put them.

#include <cstdint>
#include <string>

namespace Io::Export {

// Appends the byte's two digits to the text.
inline void toHexByteString(std::string& text, uint8_t byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
}

// The byte's two digits, zero-padded: 0x0A gives "0A".
inline std::string toHexByteString(uint8_t byte) {
    std::string text;
    toHexByteString(text, byte);
    return text;
}

}  // namespace Io::Export
