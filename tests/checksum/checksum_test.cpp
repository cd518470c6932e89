#include "checksum/UtilChecksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <numeric>
#include <string>

namespace {

ByteVector bytes(const std::string& text) {
    return ByteVector(text.begin(), text.end());
}

ByteVector allByteValues() {
    ByteVector data(256);
    std::iota(data.begin(), data.end(), uint8_t{0});
    return data;
}

// Every function seen with a 32-bit starting value and result, so that one table holds them all.
using Checksum = std::function<uint32_t(const ByteVector&, uint32_t)>;

struct Function {
    const char* name;
    Checksum fn;
};

const Function kSum8{"calcSum8", [](const ByteVector& d, uint32_t i) { return calcSum8(d, uint8_t(i)); }};
const Function kOnes8{"calcOnesComplementSum8",
                      [](const ByteVector& d, uint32_t i) { return calcOnesComplementSum8(d, uint8_t(i)); }};
const Function kTwos8{"calcTwosComplementSum8",
                      [](const ByteVector& d, uint32_t i) { return calcTwosComplementSum8(d, uint8_t(i)); }};
const Function kCrc8{"calcCrc8", [](const ByteVector& d, uint32_t i) { return calcCrc8(d, uint8_t(i)); }};
const Function kSum16{"calcSum16", [](const ByteVector& d, uint32_t i) { return calcSum16(d, uint16_t(i)); }};
const Function kOnes16{"calcOnesComplementSum16", [](const ByteVector& d, uint32_t i) {
                           return calcOnesComplementSum16(d, uint16_t(i));
                       }};
const Function kTwos16{"calcTwosComplementSum16", [](const ByteVector& d, uint32_t i) {
                           return calcTwosComplementSum16(d, uint16_t(i));
                       }};
const Function kCrc16{"calcCrc16", [](const ByteVector& d, uint32_t i) { return calcCrc16(d, uint16_t(i)); }};
const Function kCcitt{"calcCrc16Ccitt",
                      [](const ByteVector& d, uint32_t i) { return calcCrc16Ccitt(d, uint16_t(i)); }};
const Function kSum32{"calcSum32", [](const ByteVector& d, uint32_t i) { return calcSum32(d, i); }};
const Function kCrc32Msb{"calcCrc32Msb", [](const ByteVector& d, uint32_t i) { return calcCrc32Msb(d, i); }};
const Function kCrc32{"calcCrc32", [](const ByteVector& d, uint32_t i) { return calcCrc32(d, i); }};
const Function kCrc8Range{"crc8Reflected", [](const ByteVector& d, uint32_t i) {
                              return crc8Reflected(d.begin(), d.end(), uint8_t(i));
                          }};
const Function kInverted8{"invertedSum8", [](const ByteVector& d, uint32_t i) {
                              return invertedSum8(d.begin(), d.end(), uint8_t(i));
                          }};

struct CheckValue {
    std::string name;
    Function function;
    ByteVector data;
    uint32_t init;
    uint32_t expected;
};

void PrintTo(const CheckValue& c, std::ostream* os) {
    *os << c.name;
}

class ChecksumCheckValue : public testing::TestWithParam<CheckValue> {};

TEST_P(ChecksumCheckValue, Matches) {
    const CheckValue& c = GetParam();
    EXPECT_EQ(c.function.fn(c.data, c.init), c.expected) << c.function.name;
}

// The values over "123456789" are the published check values of the variant each starting value selects;
// those over the bytes 0 to 255 reach every table entry.
INSTANTIATE_TEST_SUITE_P(
    Abc, ChecksumCheckValue,
    testing::Values(CheckValue{"Sum8", kSum8, bytes("abc"), 0, 0x26},
                    CheckValue{"Ones8", kOnes8, bytes("abc"), 0xFF, 0xD9},
                    CheckValue{"Twos8", kTwos8, bytes("abc"), 0, 0xDA},
                    CheckValue{"Sum16", kSum16, bytes("abc"), 0, 0x126},
                    CheckValue{"Sum32", kSum32, bytes("abc"), 0, 0x126},
                    CheckValue{"Inverted8", kInverted8, bytes("abc"), 0xFF, 0xD9},
                    CheckValue{"Crc8", kCrc8, bytes("abc"), 0, 0xF0},
                    CheckValue{"Crc8Range", kCrc8Range, bytes("abc"), 0, 0xF0},
                    CheckValue{"Crc16", kCrc16, bytes("abc"), 0, 0x9738},
                    CheckValue{"Ccitt", kCcitt, bytes("abc"), 0xFFFF, 0x514A},
                    CheckValue{"Crc32Msb", kCrc32Msb, bytes("abc"), 0, 0x2C17398C},
                    CheckValue{"Crc32", kCrc32, bytes("abc"), 0xFFFFFFFF, 0x352441C2},
                    CheckValue{"Ones16Abcd", kOnes16, bytes("abcd"), 0xFFFF, 0x3B39},
                    CheckValue{"Twos16Abcd", kTwos16, bytes("abcd"), 0, 0x3B3A},
                    CheckValue{"Ones16Carry", kOnes16, {0xFF, 0xFF, 0x00, 0x02}, 0xFFFF, 0xFFFE}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Published, ChecksumCheckValue,
    testing::Values(CheckValue{"Crc8Rohc", kCrc8, bytes("123456789"), 0xFF, 0xD0},
                    CheckValue{"Crc8RangeRohc", kCrc8Range, bytes("123456789"), 0xFF, 0xD0},
                    CheckValue{"Crc16Arc", kCrc16, bytes("123456789"), 0, 0xBB3D},
                    CheckValue{"Crc16Modbus", kCrc16, bytes("123456789"), 0xFFFF, 0x4B37},
                    CheckValue{"Crc16Ibm3740", kCcitt, bytes("123456789"), 0xFFFF, 0x29B1},
                    CheckValue{"Crc16Xmodem", kCcitt, bytes("123456789"), 0, 0x31C3},
                    CheckValue{"Crc32IsoHdlc", kCrc32, bytes("123456789"), 0xFFFFFFFF, 0xCBF43926},
                    CheckValue{"Crc32Mpeg2", kCrc32Msb, bytes("123456789"), 0xFFFFFFFF, 0x0376E6E7},
                    CheckValue{"Crc8AllBytes", kCrc8, allByteValues(), 0, 0x65},
                    CheckValue{"Crc16AllBytes", kCrc16, allByteValues(), 0, 0xBAD3},
                    CheckValue{"CcittAllBytes", kCcitt, allByteValues(), 0xFFFF, 0x3FBD},
                    CheckValue{"Crc32MsbAllBytes", kCrc32Msb, allByteValues(), 0, 0xAC148725},
                    CheckValue{"Crc32AllBytes", kCrc32, allByteValues(), 0xFFFFFFFF, 0x29058C73}),
    [](const auto& info) { return info.param.name; });

// The 16-bit word sums add nothing for data of odd length.
INSTANTIATE_TEST_SUITE_P(OddLength, ChecksumCheckValue,
                         testing::Values(CheckValue{"Ones16Abc", kOnes16, bytes("abc"), 0xFFFF, 0xFFFF},
                                         CheckValue{"Ones16AbcOtherInit", kOnes16, bytes("abc"), 0x1234,
                                                    0x1234},
                                         CheckValue{"Twos16Abc", kTwos16, bytes("abc"), 0x1234, 0x1234},
                                         CheckValue{"Ones16OneByte", kOnes16, {0x80}, 0, 0}),
                         [](const auto& info) { return info.param.name; });

// Over empty data the starting value comes back; calcCrc32 inverts its result, so it gives ~init.
INSTANTIATE_TEST_SUITE_P(Empty, ChecksumCheckValue,
                         testing::Values(CheckValue{"Sum8", kSum8, {}, 0xA5, 0xA5},
                                         CheckValue{"Ones8", kOnes8, {}, 0xA5, 0xA5},
                                         CheckValue{"Twos8", kTwos8, {}, 0xA5, 0xA5},
                                         CheckValue{"Crc8", kCrc8, {}, 0xA5, 0xA5},
                                         CheckValue{"Sum16", kSum16, {}, 0xA55A, 0xA55A},
                                         CheckValue{"Ones16", kOnes16, {}, 0xA55A, 0xA55A},
                                         CheckValue{"Twos16", kTwos16, {}, 0xA55A, 0xA55A},
                                         CheckValue{"Crc16", kCrc16, {}, 0xA55A, 0xA55A},
                                         CheckValue{"Ccitt", kCcitt, {}, 0xA55A, 0xA55A},
                                         CheckValue{"Sum32", kSum32, {}, 0xA55A3CC3, 0xA55A3CC3},
                                         CheckValue{"Crc32Msb", kCrc32Msb, {}, 0xA55A3CC3, 0xA55A3CC3},
                                         CheckValue{"Crc32", kCrc32, {}, 0xA55A3CC3, 0x5AA5C33C},
                                         CheckValue{"Crc32Standard", kCrc32, {}, 0xFFFFFFFF, 0},
                                         CheckValue{"Crc8Range", kCrc8Range, {}, 0xA5, 0xA5},
                                         CheckValue{"Inverted8", kInverted8, {}, 0xA5, 0xA5}),
                         [](const auto& info) { return info.param.name; });

// A checksum computed over two blocks, the second started from the first's result, equals the one over
// the whole data.
struct Continuation {
    Function function;
    uint32_t init;
    // How a result is turned into the starting value for the next block.
    std::function<uint32_t(uint32_t)> resume;
    // The word sums are split at word boundaries only.
    size_t splitStep;
};

void PrintTo(const Continuation& c, std::ostream* os) {
    *os << c.function.name;
}

class ChecksumContinuation : public testing::TestWithParam<Continuation> {};

TEST_P(ChecksumContinuation, TwoBlocksEqualTheWhole) {
    const Continuation& c = GetParam();
    const ByteVector whole = bytes("The quick brown fox jumps over the lazy dog!");
    ASSERT_EQ(whole.size() % 2, 0u);
    const uint32_t expected = c.function.fn(whole, c.init);
    for (size_t split = 0; split <= whole.size(); split += c.splitStep) {
        const ByteVector first(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(split));
        const ByteVector second(whole.begin() + static_cast<ptrdiff_t>(split), whole.end());
        EXPECT_EQ(c.function.fn(second, c.resume(c.function.fn(first, c.init))), expected)
            << c.function.name << " split at " << split;
    }
}

uint32_t same(uint32_t previous) {
    return previous;
}
uint32_t inverted(uint32_t previous) {
    return ~previous;
}

INSTANTIATE_TEST_SUITE_P(
    All, ChecksumContinuation,
    testing::Values(Continuation{kSum8, 0, same, 1}, Continuation{kOnes8, 0xFF, same, 1},
                    Continuation{kTwos8, 0, same, 1}, Continuation{kCrc8, 0xFF, same, 1},
                    Continuation{kSum16, 0, same, 1}, Continuation{kOnes16, 0xFFFF, same, 2},
                    Continuation{kTwos16, 0, same, 2}, Continuation{kCrc16, 0xFFFF, same, 1},
                    Continuation{kCcitt, 0xFFFF, same, 1}, Continuation{kSum32, 0, same, 1},
                    Continuation{kCrc32Msb, 0xFFFFFFFF, same, 1},
                    Continuation{kCrc32, 0xFFFFFFFF, inverted, 1}, Continuation{kCrc8Range, 0, same, 1},
                    Continuation{kInverted8, 0xFF, same, 1}),
    [](const auto& info) { return std::string(info.param.function.name); });

TEST(Checksum, RangeFunctionsCoverOnlyTheirRange) {
    const ByteVector data = bytes("xxabcyy");
    const ByteVector abc = bytes("abc");
    EXPECT_EQ(crc8Reflected(data.begin() + 2, data.begin() + 5, 0), calcCrc8(abc, 0));
    EXPECT_EQ(invertedSum8(data.begin() + 2, data.begin() + 5, 0x37), calcOnesComplementSum8(abc, 0x37));
}

}  // namespace
