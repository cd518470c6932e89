#pragma once
// Byte vectors written and shown as hexadecimal text ("43 01 5A"), so that frame tables read like a
// bus trace.

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// "43 01 5a" (any spacing, upper or lower case) to bytes.
inline Bytes bytes(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        out.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
    return out;
}

inline std::string hex(const Bytes& data) {
    std::string out;
    char two[4];
    for (uint8_t b : data) {
        std::snprintf(two, sizeof two, "%02X", b);
        if (!out.empty()) {
            out += ' ';
        }
        out += two;
    }
    return out;
}

inline std::vector<std::string> hex(const std::vector<Bytes>& frames) {
    std::vector<std::string> out;
    for (const Bytes& f : frames) {
        out.push_back(hex(f));
    }
    return out;
}

// n bytes counting up from first.
inline Bytes counting(size_t n, uint8_t first = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(first + i);
    }
    return out;
}

}  // namespace testing_support
