#include "checksum/UtilChecksum.h"

#include <algorithm>
#include <array>
#include <climits>
#include <numeric>

namespace {

template <typename T>
constexpr int kBits = static_cast<int>(sizeof(T) * CHAR_BIT);

// Reflected (least significant bit first) CRC, four bits a step: entry n is the 4-bit value n shifted
// right four times through the reversed polynomial.
template <typename T>
constexpr std::array<T, 16> reflectedNibbleTable(T reversedPoly) {
    std::array<T, 16> table{};
    for (unsigned n = 0; n < table.size(); ++n) {
        T crc = static_cast<T>(n);
        for (int bit = 0; bit < 4; ++bit) {
            crc = static_cast<T>((crc & 1u) ? (crc >> 1) ^ reversedPoly : crc >> 1);
        }
        table[n] = crc;
    }
    return table;
}

// Most significant bit first, four bits a step: entry n is the remainder of n * x^width modulo the
// polynomial.
template <typename T>
constexpr std::array<T, 16> msbNibbleTable(T poly) {
    constexpr T top = static_cast<T>(T{1} << (kBits<T> - 1));
    std::array<T, 16> table{};
    for (unsigned n = 0; n < table.size(); ++n) {
        T crc = static_cast<T>(T(n) << (kBits<T> - 4));
        for (int bit = 0; bit < 4; ++bit) {
            crc = static_cast<T>((crc & top) ? (crc << 1) ^ poly : crc << 1);
        }
        table[n] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> reflectedByteTable(uint32_t reversedPoly) {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < table.size(); ++n) {
        uint32_t crc = n;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ reversedPoly : crc >> 1;
        }
        table[n] = crc;
    }
    return table;
}

constexpr auto T8 = reflectedNibbleTable<uint8_t>(0xE0);
constexpr auto T16 = reflectedNibbleTable<uint16_t>(0xA001);
constexpr auto TC = msbNibbleTable<uint16_t>(0x1021);
constexpr auto TM = msbNibbleTable<uint32_t>(0x04C11DB7);
constexpr auto TCrc32 = reflectedByteTable(0xEDB88320);

static_assert(T8[1] == 0x1C && T8[8] == 0xE0 && T8[15] == 0xB4);
static_assert(T16[1] == 0xCC01 && T16[8] == 0xA001 && T16[15] == 0x4400);
static_assert(TC[1] == 0x1021 && TC[2] == 0x2042 && TC[15] == 0xF1EF);
static_assert(TM[1] == 0x04C11DB7 && TM[8] == 0x2608EDB8 && TM[15] == 0x384FBDBD);
static_assert(TCrc32[1] == 0x77073096 && TCrc32[255] == 0x2D02EF8D);

// Low nibble first.
template <typename T>
constexpr T reflectedNibbleStep(T crc, uint8_t b, const std::array<T, 16>& table) {
    crc = static_cast<T>((crc >> 4) ^ table[crc & 0xFu] ^ table[b & 0xFu]);
    crc = static_cast<T>((crc >> 4) ^ table[crc & 0xFu] ^ table[b >> 4]);
    return crc;
}

// High nibble first.
template <typename T>
constexpr T msbNibbleStep(T crc, uint8_t b, const std::array<T, 16>& table) {
    constexpr int shift = kBits<T> - 4;
    crc = static_cast<T>((crc << 4) ^ table[(crc >> shift) ^ (b >> 4)]);
    crc = static_cast<T>((crc << 4) ^ table[(crc >> shift) ^ (b & 0xFu)]);
    return crc;
}

// One nibble step function per byte of the data.
template <typename T>
T crcNibbles(const ByteVector& data, T init, T (*step)(T, uint8_t, const std::array<T, 16>&),
             const std::array<T, 16>& table) {
    return std::accumulate(data.begin(), data.end(), init,
                           [&](T crc, uint8_t b) { return step(crc, b, table); });
}

template <typename T, typename It>
T sum(It first, It last, T init) {
    return std::accumulate(first, last, init, [](T acc, uint8_t b) { return static_cast<T>(acc + b); });
}

struct Crc8Reflected {
    uint8_t crc;
    void operator()(uint8_t b) { crc = reflectedNibbleStep(crc, b, T8); }
};

}  // namespace

uint8_t calcSum8(const ByteVector& data, uint8_t init) {
    return sum(data.begin(), data.end(), init);
}

uint8_t calcOnesComplementSum8(const ByteVector& data, uint8_t init) {
    return static_cast<uint8_t>(~calcSum8(data, static_cast<uint8_t>(~init)));
}

uint8_t calcTwosComplementSum8(const ByteVector& data, uint8_t init) {
    return static_cast<uint8_t>(calcOnesComplementSum8(data, static_cast<uint8_t>(init - 1)) + 1);
}

uint8_t calcCrc8(const ByteVector& data, uint8_t init) {
    return crc8Reflected(data.begin(), data.end(), init);
}

uint16_t calcSum16(const ByteVector& data, uint16_t init) {
    return sum(data.begin(), data.end(), init);
}

// Big-endian words, carries out of bit 15 dropped; data of odd length add nothing.
uint16_t calcOnesComplementSum16(const ByteVector& data, uint16_t init) {
    uint32_t acc = static_cast<uint16_t>(~init);
    if (data.size() % 2 == 0) {
        for (size_t i = 0; i < data.size(); i += 2) {
            acc += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
        }
    }
    return static_cast<uint16_t>(~acc);
}

uint16_t calcTwosComplementSum16(const ByteVector& data, uint16_t init) {
    return static_cast<uint16_t>(calcOnesComplementSum16(data, static_cast<uint16_t>(init - 1)) + 1);
}

uint16_t calcCrc16(const ByteVector& data, uint16_t init) {
    return crcNibbles(data, init, reflectedNibbleStep<uint16_t>, T16);
}

uint16_t calcCrc16Ccitt(const ByteVector& data, uint16_t init) {
    return crcNibbles(data, init, msbNibbleStep<uint16_t>, TC);
}

uint32_t calcSum32(const ByteVector& data, uint32_t init) {
    return sum(data.begin(), data.end(), init);
}

uint32_t calcCrc32Msb(const ByteVector& data, uint32_t init) {
    return crcNibbles(data, init, msbNibbleStep<uint32_t>, TM);
}

// The result is inverted, so continuing over more data takes ~result as the starting value.
uint32_t calcCrc32(const ByteVector& data, uint32_t init) {
    uint32_t crc = init;
    for (uint8_t b : data) {
        crc ^= b;
        crc = (crc >> 8) ^ TCrc32[crc & 0xFFu];
    }
    return ~crc;
}

uint8_t crc8Reflected(ByteVector::const_iterator first, ByteVector::const_iterator last, uint8_t init) {
    return std::for_each(first, last, Crc8Reflected{init}).crc;
}

uint8_t invertedSum8(ByteVector::const_iterator first, ByteVector::const_iterator last, uint8_t init) {
    return static_cast<uint8_t>(~sum(first, last, static_cast<uint8_t>(255 - init)));
}
