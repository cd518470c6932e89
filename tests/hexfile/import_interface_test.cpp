// The import operations that the Intel HEX and the S-record reader share, run against both.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "hexfile/IntelHexInFile.h"
#include "hexfile/MotorolaS_InFile.h"
#include "tests/hexfile/hexfile_test_support.h"

namespace {

using Buffer::MemoryBuffer;
using hexfile_test::bytesOf;
using hexfile_test::CoutCapture;
using hexfile_test::setFlagsOf;

// The data of every test: 01 02 at 0x10, 04 at 0x13.
struct IntelHex {
    using Reader = Io::Import::IntelHexInFile;
    static constexpr const char* name = "IntelHexInFile";
    static std::string content() {
        return hexfile_test::ihex(0x10, 0, {1, 2}) + "\n" + hexfile_test::ihex(0x13, 0, {4}) +
               "\n:00000001FF\n";
    }
};

struct SRecord {
    using Reader = Io::Import::MotorolaS_InFile;
    static constexpr const char* name = "MotorolaS_InFile";
    static std::string content() {
        return hexfile_test::srec('1', {0, 0x10}, {1, 2}) + "\n" + hexfile_test::srec('1', {0, 0x13}, {4}) +
               "\nS9030000FC\n";
    }
};

template <class Format>
class ImportInterface : public hexfile_test::HexfileTest {
  protected:
    typename Format::Reader reader() const {
        return typename Format::Reader(writeText("in", Format::content()).c_str());
    }
    // The text with the reader's class name for every %C, followed by its information block.
    static std::string withInformation(const std::string& text) {
        return withClass(text +
                         "Information about current %C Object\ndataLength: (int)4\nminAddress: (int)16\n"
                         "maxAddress: (int)19\n");
    }
    static std::string withClass(std::string text) {
        for (std::size_t at = text.find("%C"); at != std::string::npos; at = text.find("%C", at)) {
            text.replace(at, 2, Format::name);
        }
        return text;
    }
};

using Formats = ::testing::Types<IntelHex, SRecord>;
TYPED_TEST_SUITE(ImportInterface, Formats);

TYPED_TEST(ImportInterface, WholeMemorySpansFromTheLowestToTheHighestDataAddress) {
    const auto reader = this->reader();
    EXPECT_EQ(reader.getMinAddress(), 0x10u);
    EXPECT_EQ(reader.getDataLength(), 4u);
    const MemoryBuffer image = reader.getWholeMemory();
    EXPECT_EQ(image.getStartAddress(), 0x10u);
    EXPECT_EQ(bytesOf(image), (std::vector<uint8_t>{1, 2, 0, 4}));
    EXPECT_EQ(setFlagsOf(image), "1101");
    EXPECT_EQ(reader.getBlockList(), (hexfile_test::Blocks{{0x10, 2}, {0x13, 1}}));
}

TYPED_TEST(ImportInterface, RangesPastTheDataComeBackUnset) {
    const auto reader = this->reader();
    CoutCapture out;
    const MemoryBuffer image = reader.getMemory(0x13, 3);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(image.getStartAddress(), 0x13u);
    EXPECT_EQ(setFlagsOf(image), "100");
}

TYPED_TEST(ImportInterface, NothingAskedIsAnEmptyImageWithoutAMessage) {
    const auto reader = this->reader();
    CoutCapture out;
    for (const uint64_t start : {uint64_t{0}, uint64_t{0x11}, uint64_t{0x1000}}) {
        const MemoryBuffer image = reader.getMemory(start, 0);
        EXPECT_EQ(image.getLength(), 0u);
        EXPECT_EQ(image.getStartAddress(), start);
    }
    EXPECT_EQ(out.text(), "");
}

TYPED_TEST(ImportInterface, RangeBelowTheDataIsRefused) {
    const auto reader = this->reader();
    CoutCapture out;
    const MemoryBuffer image = reader.getMemory(0xF, 2);
    EXPECT_EQ(out.text(),
              this->withInformation(
                  "%C(getMemory-Operation). The requested extraction range from int address [15 to 17] "
                  "was out of range. Empty buffer was returned.\n  Possible max range could be from "
                  "int [16 to 20].\n"));
    EXPECT_EQ(image.getLength(), 0u);
    EXPECT_EQ(image.getStartAddress(), 0u);
}

TYPED_TEST(ImportInterface, RangesTheImageCannotHoldGiveTheImageRefusal) {
    const auto reader = this->reader();
    CoutCapture out;
    const MemoryBuffer tooLong = reader.getMemory(0x10, 0xFFFFFFFF);
    EXPECT_EQ(
        out.take(),
        "MemoryBuffer(Constructor-Operation). The dataLength was bigger than MAX_ALLOWED_MEMORY_BUFFER_SIZE "
        "int(0xffffffff).\n  An empty Memorybuffer was created!\nMemoryBuffer(fillMemory - Operation). "
        "NumberOfElements int ( 0xffffffff) are too many.\n  Nothing was filled!\n");
    EXPECT_EQ(tooLong.getLength(), 0u);
    EXPECT_EQ(tooLong.getStartAddress(), 0x10u);

    const uint64_t top = std::numeric_limits<uint64_t>::max();
    const MemoryBuffer pastTheEnd = reader.getMemory(top - 1, 5);
    EXPECT_EQ(out.take(),
              "MemoryBuffer(Constructor-Operation). The sum of startAddress + dataLength are not "
              "addressable.\n  Nothing was filled!\nMemoryBuffer(fillMemory - Operation). NumberOfElements "
              "int ( 0x5) are too many.\n  Nothing was filled!\n");
    EXPECT_EQ(pastTheEnd.getLength(), 0u);
}

// A message with a "0x" number leaves standard output in hexadecimal, so a reader's later message
// numbers come out in hexadecimal too; its information block stays decimal.
TYPED_TEST(ImportInterface, MessageNumbersLeaveStandardOutputInHexadecimal) {
    const auto reader = this->reader();
    CoutCapture out;
    reader.getMemory(0x10, 0xFFFFFFFF);
    out.take();
    std::cout << 255;
    EXPECT_EQ(out.take(), "ff");
    reader.getMemory(0xF, 2);
    EXPECT_EQ(out.take(),
              this->withInformation(
                  "%C(getMemory-Operation). The requested extraction range from int address [f to 11] "
                  "was out of range. Empty buffer was returned.\n  Possible max range could be from "
                  "int [10 to 14].\n"));
    std::cout << 255;
    EXPECT_EQ(out.take(), "ff");
}

TYPED_TEST(ImportInterface, FillSetsTheDataAndClearsTheFillValueOfGaps) {
    const auto reader = this->reader();
    MemoryBuffer buffer(0x10, 4);
    Buffer::MemoryBufferElement fill;
    fill.fillValue = 0x55;
    buffer.fillMemory({fill}, 0x10, 4);
    CoutCapture out;
    reader.fillMemoryBuffer(buffer);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(bytesOf(buffer), (std::vector<uint8_t>{1, 2, 0, 4}));
    EXPECT_EQ(setFlagsOf(buffer), "1101");
}

TYPED_TEST(ImportInterface, FillBeyondTheDataIsRefused) {
    const auto reader = this->reader();
    MemoryBuffer buffer(0x10, 5);
    CoutCapture out;
    reader.fillMemoryBuffer(buffer);
    EXPECT_EQ(out.text(),
              this->withInformation(
                  "%C(fillMemoryBuffer-Operation). The requested extraction range from int address [16 "
                  "to 21] was out of range. Nothing was filled\n  Possible max range could be from "
                  "int [16 to 19].\n"));
    EXPECT_EQ(setFlagsOf(buffer), "00000");
}

}  // namespace
