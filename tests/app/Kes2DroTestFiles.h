#pragma once
// Data for the KES2 and DRO tests.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kes2dro_test {

// n bytes of a pattern that differs from address to address and from seed to seed, never 0xFF.
inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + (i >> 8) + seed) % 0xFF);
    }
    return bytes;
}

}  // namespace kes2dro_test
