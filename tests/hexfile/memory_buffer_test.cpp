#include "hexfile/MemoryBuffer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "tests/hexfile/hexfile_test_support.h"

// A refused allocation is to come back as a null pointer here, as it does without the sanitizer.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

using Buffer::MemoryBuffer;
using Buffer::MemoryBufferElement;
using hexfile_test::bytesOf;
using hexfile_test::CoutCapture;
using hexfile_test::imageOf;
using hexfile_test::setFlagsOf;

constexpr uint64_t top = std::numeric_limits<uint64_t>::max();

class MemoryBufferTest : public hexfile_test::HexfileTest {};

MemoryBufferElement unsetWithFill(uint8_t fill) {
    MemoryBufferElement cell;
    cell.fillValue = fill;
    return cell;
}

struct ConstructorCase {
    const char* name;
    uint64_t start;
    uint64_t length;
    uint64_t expectedLength;
    std::string expectedOutput;
};

void PrintTo(const ConstructorCase& c, std::ostream* out) {
    *out << c.name;
}

class MemoryBufferConstructor : public MemoryBufferTest,
                                public ::testing::WithParamInterface<ConstructorCase> {};

TEST_P(MemoryBufferConstructor, GivesTheCellsOrRefusesWithItsMessage) {
    const ConstructorCase& c = GetParam();
    CoutCapture out;
    const MemoryBuffer image(c.start, c.length);
    EXPECT_EQ(image.getLength(), c.expectedLength);
    EXPECT_EQ(image.getStartAddress(), c.start);
    EXPECT_EQ(out.text(), c.expectedOutput);
    for (const MemoryBufferElement& cell : image.cells()) {
        ASSERT_FALSE(cell.isSet);
        ASSERT_EQ(cell.value, 0);
        ASSERT_EQ(cell.fillValue, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemoryBufferConstructor,
    ::testing::Values(
        ConstructorCase{"EndPastTheAddressSpace", top - 255, 256, 0,
                        "MemoryBuffer(Constructor-Operation). The sum of startAddress + dataLength are not "
                        "addressable.\n  Nothing was filled!\n"},
        ConstructorCase{"EndAtTheLastAddress", top - 255, 255, 255, ""},
        ConstructorCase{
            "LengthAtTheLimit", 0, 0xFFFFFFFF, 0,
            "MemoryBuffer(Constructor-Operation). The dataLength was bigger than "
            "MAX_ALLOWED_MEMORY_BUFFER_SIZE int(0xffffffff).\n  An empty Memorybuffer was created!\n"},
        ConstructorCase{"Empty", 0x1234, 0, 0, ""}, ConstructorCase{"Small", 0x100, 16, 16, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemoryBufferTest, TheLargestImageIsMadeWithoutTouchingItsCells) {
    CoutCapture out;
    const MemoryBuffer image(0, 0xFFFFFFFE);
    EXPECT_EQ(image.getLength(), 0xFFFFFFFEu);
    EXPECT_EQ(out.text(), "");
}

// Limits the address space of this process to what it uses now and 256 MiB more.
void limitAddressSpace() {
    std::ifstream status("/proc/self/status");
    std::string line;
    rlim_t used = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) {
            used = std::stoull(line.substr(7)) * 1024;
        }
    }
    const rlimit limit{used + (256u << 20), used + (256u << 20)};
    setrlimit(RLIMIT_AS, &limit);
}

// Makes an image that passes the checks but cannot be allocated, and exits with 0 when it was refused
// as it should be.
[[noreturn]] void makeAnImageThatCannotBeAllocated() {
    limitAddressSpace();
    CoutCapture out;
    const MemoryBuffer image(0x10, 0xFFFFFFFE);
    const bool reported = out.text() ==
                          "MemoryBuffer(Constructor-Operation). The memory for dataLength int(0xfffffffe) "
                          "could not be allocated.\n  An empty Memorybuffer was created!\n";
    std::_Exit(image.getLength() == 0 && image.getStartAddress() == 0x10 && reported ? 0 : 1);
}

// A length that passes the checks but cannot be allocated takes the refusal path: a message and an
// empty image, no exception.
TEST_F(MemoryBufferTest, AnImageThatCannotBeAllocatedIsEmptyAndReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(makeAnImageThatCannotBeAllocated(), ::testing::ExitedWithCode(0), "");
}

// Copies an image of 144 MiB where there is room for one only, and exits with 0 when the copy is
// empty and the assignment leaves its target as it was, each with its message.
[[noreturn]] void copyAnImageThatCannotBeCopied() {
    limitAddressSpace();
    const MemoryBuffer image(0x20, 0x3000000);
    CoutCapture out;
    const MemoryBuffer copy(image);
    bool refused = copy.getLength() == 0 && copy.getStartAddress() == 0x20 &&
                   out.take() ==
                       "MemoryBuffer(CopyConstructor-Operation). The memory for dataLength int(0x3000000) "
                       "could not be allocated.\n  An empty Memorybuffer was created!\n";
    MemoryBuffer target = imageOf(0x40, {1, 2});
    target = image;
    refused = refused && target.getStartAddress() == 0x40 && bytesOf(target) == std::vector<uint8_t>{1, 2} &&
              out.take() ==
                  "MemoryBuffer(operator=-Operation). The memory for dataLength int(0x3000000) could not be "
                  "allocated.\n  The MemoryBuffer has not been changed!\n";
    std::_Exit(refused ? 0 : 1);
}

TEST_F(MemoryBufferTest, ACopyThatCannotBeAllocatedIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(copyAnImageThatCannotBeCopied(), ::testing::ExitedWithCode(0), "");
}

TEST_F(MemoryBufferTest, AddressRangeIncludesTheAddressPastTheLastCell) {
    const MemoryBuffer image(0x100, 16);
    EXPECT_TRUE(image.isAddressInRange(0x100));
    EXPECT_TRUE(image.isAddressInRange(0x10F));
    EXPECT_TRUE(image.isAddressInRange(0x110));
    EXPECT_FALSE(image.isAddressInRange(0xFF));
    EXPECT_FALSE(image.isAddressInRange(0x111));
    const MemoryBuffer atTop(top - 3, 3);
    EXPECT_TRUE(atTop.isAddressInRange(top));
    EXPECT_FALSE(atTop.isAddressInRange(0));
}

TEST_F(MemoryBufferTest, FillRepeatsThePattern) {
    MemoryBuffer image(0x10, 10);
    const std::vector<MemoryBufferElement> pattern{MemoryBufferElement(0xA0), MemoryBufferElement(0xA1),
                                                   MemoryBufferElement(0xA2)};
    CoutCapture out;
    image.fillMemory(pattern, 0x11, 8);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(bytesOf(image), (std::vector<uint8_t>{0, 0xA0, 0xA1, 0xA2, 0xA0, 0xA1, 0xA2, 0xA0, 0xA1, 0}));
    EXPECT_EQ(setFlagsOf(image), "0111111110");
}

TEST_F(MemoryBufferTest, AnUnsetPatternCellChangesOnlyTheFillValue) {
    MemoryBuffer image = imageOf(0, {0x11, 0x22});
    image.fillMemory({unsetWithFill(0x55)}, 0, 2);
    ASSERT_EQ(image.getLength(), 2u);
    for (const MemoryBufferElement& cell : image.cells()) {
        EXPECT_TRUE(cell.isSet);
        EXPECT_EQ(cell.fillValue, 0x55);
    }
    EXPECT_EQ(bytesOf(image), (std::vector<uint8_t>{0x11, 0x22}));

    MemoryBuffer blank(0, 1);
    blank.fillMemory({unsetWithFill(0x66)}, 0);
    EXPECT_EQ(setFlagsOf(blank), "0");
    EXPECT_EQ(bytesOf(blank), (std::vector<uint8_t>{0x66}));
}

struct FillRefusal {
    const char* name;
    std::vector<MemoryBufferElement> pattern;
    uint64_t address;
    uint64_t count;
    std::string expectedOutput;
};

void PrintTo(const FillRefusal& c, std::ostream* out) {
    *out << c.name;
}

class MemoryBufferFillRefusal : public MemoryBufferTest, public ::testing::WithParamInterface<FillRefusal> {};

TEST_P(MemoryBufferFillRefusal, PrintsItsLinesAndChangesNothing) {
    const FillRefusal& c = GetParam();
    MemoryBuffer image = imageOf(0x100, {1, 2, 3, 4});
    CoutCapture out;
    image.fillMemory(c.pattern, c.address, c.count);
    EXPECT_EQ(out.text(), c.expectedOutput);
    EXPECT_EQ(bytesOf(image), (std::vector<uint8_t>{1, 2, 3, 4}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemoryBufferFillRefusal,
    ::testing::Values(
        FillRefusal{"EmptyPattern",
                    {},
                    0x100,
                    1,
                    "MemoryBuffer(fillMemory-Operation). dataPattern was empty, so nothing is filled\n  "
                    "Nothing was filled!\n"},
        // The address comes in the stream's base of the moment (decimal here), the range in hex.
        FillRefusal{
            "BelowTheImage",
            {MemoryBufferElement(9)},
            255,
            1,
            "MemoryBuffer(fillMemory-Operation). StartAddress int (255) was not in range of memoryBuffer.\n  "
            "Possible max range could be from int [ 0x100 to 0x104].\n  Nothing was filled!\n"},
        FillRefusal{
            "PastTheAddressAfterTheImage",
            {MemoryBufferElement(9)},
            0x105,
            1,
            "MemoryBuffer(fillMemory-Operation). StartAddress int (261) was not in range of memoryBuffer.\n  "
            "Possible max range could be from int [ 0x100 to 0x104].\n  Nothing was filled!\n"},
        FillRefusal{"OneCellAfterTheImage",
                    {MemoryBufferElement(9)},
                    0x104,
                    1,
                    "MemoryBuffer(fillMemory - Operation). NumberOfElements int ( 0x1) are too many.\n  "
                    "Nothing was filled!\n"},
        FillRefusal{"TooManyCells",
                    {MemoryBufferElement(9)},
                    0x101,
                    4,
                    "MemoryBuffer(fillMemory - Operation). NumberOfElements int ( 0x4) are too many.\n  "
                    "Nothing was filled!\n"},
        FillRefusal{"NothingAfterTheImage", {MemoryBufferElement(9)}, 0x104, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemoryBufferTest, NumbersAfter0xLeaveStandardOutputInHexadecimal) {
    MemoryBuffer image(0x100, 4);
    CoutCapture out;
    image.fillMemory({MemoryBufferElement(1)}, 0x104, 1);
    out.take();
    std::cout << 255;
    EXPECT_EQ(out.take(), "ff");
    // A later "int (" number is written in that base too.
    image.fillMemory({MemoryBufferElement(1)}, 0x10, 1);
    EXPECT_NE(out.take().find("StartAddress int (10)"), std::string::npos);
}

TEST_F(MemoryBufferTest, ExtractCopiesTheCellsOfTheRange) {
    MemoryBuffer image(0x100, 16);
    image.fillMemory({MemoryBufferElement(0xAB)}, 0x10C, 2);
    image.fillMemory({unsetWithFill(0x77)}, 0x10E, 1);
    CoutCapture out;
    const MemoryBuffer last = image.extractMemory(0x10C, 4);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(last.getStartAddress(), 0x10Cu);
    EXPECT_EQ(setFlagsOf(last), "1100");
    EXPECT_EQ(bytesOf(last), (std::vector<uint8_t>{0xAB, 0xAB, 0x77, 0}));
}

struct ExtractRefusal {
    const char* name;
    uint64_t address;
    uint64_t length;
    std::string expectedOutput;
};

void PrintTo(const ExtractRefusal& c, std::ostream* out) {
    *out << c.name;
}

class MemoryBufferExtractRefusal : public MemoryBufferTest,
                                   public ::testing::WithParamInterface<ExtractRefusal> {};

TEST_P(MemoryBufferExtractRefusal, PrintsItsLinesAndReturnsAnEmptyImageAtZero) {
    const ExtractRefusal& c = GetParam();
    const MemoryBuffer image = imageOf(0x100, hexfile_test::counting(16));
    CoutCapture out;
    const MemoryBuffer part = image.extractMemory(c.address, c.length);
    EXPECT_EQ(out.text(), c.expectedOutput);
    EXPECT_EQ(part.getLength(), 0u);
    EXPECT_EQ(part.getStartAddress(),
              c.expectedOutput.find("dataPattern") == std::string::npos ? 0 : c.address);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemoryBufferExtractRefusal,
    ::testing::Values(
        ExtractRefusal{"OneTooMany", 0x10C, 5,
                       "MemoryBuffer(extractMemory-Operation). Requested dataLength (0x5) are too large.\n  "
                       "Nothing has been extracted!\n"},
        ExtractRefusal{"LengthThatWouldWrap", 0x101, top,
                       "MemoryBuffer(extractMemory-Operation). Requested dataLength (0xffffffffffffffff) are "
                       "too large.\n  Nothing has been extracted!\n"},
        ExtractRefusal{"NotInRange", 0xFF, 1,
                       "MemoryBuffer(extractMemory-Operation). StartAddress (0xff) is not in range.\n  "
                       "Possible max range could be from [0x100 to 0x110].\n  Nothing has been extracted!\n"},
        // Nothing asked for: the new image is empty and the fill reports its empty pattern.
        ExtractRefusal{"NothingAsked", 0x104, 0,
                       "MemoryBuffer(fillMemory-Operation). dataPattern was empty, so nothing is filled\n  "
                       "Nothing was filled!\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemoryBufferTest, StartAddressMovesOnlyWhereTheCellsStillFit) {
    MemoryBuffer image = imageOf(0, {1, 2, 3});
    image.setStartingAddress(top - 3);
    EXPECT_EQ(image.getStartAddress(), top - 3);
    CoutCapture out;
    image.setStartingAddress(top - 2);
    EXPECT_EQ(image.getStartAddress(), top - 3);
    EXPECT_EQ(out.text(),
              "MemoryBuffer(setStartingAddress-Operation). StartAddress (0xfffffffffffffffd) is to big.\n  "
              "Possible max startAddress for this object is (0xfffffffffffffffc).\n  StartAddress has not "
              "been changed!\n");
    EXPECT_EQ(bytesOf(image), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(MemoryBufferTest, AppendBytesGivesValuesAndFillValuesOrNothing) {
    MemoryBuffer image = imageOf(0x10, {1, 2, 3, 4});
    image.fillMemory({unsetWithFill(0xEE)}, 0x12, 1);
    MemoryBuffer gap(0x14, 1);
    gap.fillMemory({unsetWithFill(0xCC)}, 0x14);
    image.merge(gap);  // no overlap: nothing changes

    std::vector<uint8_t> bytes{0x99};
    image.appendBytes(bytes, 0x11, 3);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x99, 2, 3, 4}));

    MemoryBuffer blank(0, 2);
    blank.fillMemory({unsetWithFill(0xEE)}, 0, 2);
    std::vector<uint8_t> fills;
    blank.appendBytes(fills, 0, 2);
    EXPECT_EQ(fills, (std::vector<uint8_t>{0xEE, 0xEE}));

    CoutCapture out;
    std::vector<uint8_t> untouched{7};
    image.appendBytes(untouched, 0x0F, 1);
    image.appendBytes(untouched, 0x12, 3);
    image.appendBytes(untouched, 0x11, top);
    EXPECT_EQ(untouched, (std::vector<uint8_t>{7}));
    EXPECT_EQ(out.text(), "");
}

TEST_F(MemoryBufferTest, MergeCopiesTheOverlappingCellsWhole) {
    MemoryBuffer image = imageOf(0x10, {1, 2, 3, 4});
    MemoryBuffer other(0x12, 4);
    other.fillMemory({MemoryBufferElement(0xB0)}, 0x13, 1);
    image.merge(other);
    // 0x12 takes the other's unset cell, 0x13 its set one; 0x14 and 0x15 lie outside this image.
    EXPECT_EQ(setFlagsOf(image), "1101");
    EXPECT_EQ(bytesOf(image), (std::vector<uint8_t>{1, 2, 0, 0xB0}));

    MemoryBuffer unchanged = imageOf(0x10, {1, 2});
    unchanged.merge(imageOf(0x12, {9, 9}));
    unchanged.merge(imageOf(0x0, {9, 9}));
    EXPECT_EQ(bytesOf(unchanged), (std::vector<uint8_t>{1, 2}));
}

TEST_F(MemoryBufferTest, CopiesAreIndependent) {
    MemoryBuffer image = imageOf(0x40, {1, 2});
    MemoryBuffer copy(image);
    MemoryBuffer assigned(0, 0);
    assigned = image;
    image.fillMemory({MemoryBufferElement(9)}, 0x40, 2);
    EXPECT_EQ(bytesOf(copy), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(bytesOf(assigned), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(assigned.getStartAddress(), 0x40u);
}

}  // namespace
