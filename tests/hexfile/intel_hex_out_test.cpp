#include "hexfile/IntelHexOutFile.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "hexfile/HexText.h"
#include "hexfile/IntelHexInFile.h"
#include "tests/hexfile/hexfile_test_support.h"

namespace {

using Buffer::MemoryBuffer;
using hexfile_test::counting;
using hexfile_test::CoutCapture;
using hexfile_test::ihex;
using hexfile_test::imageOf;
using Io::Export::IntelHexOutFile;

const std::string eof = ":00000001FF\n";

std::string lines(const std::vector<std::string>& records) {
    std::string text;
    for (const std::string& record : records) {
        text += record + "\n";
    }
    return text;
}

struct WriteCase {
    const char* name;
    std::vector<MemoryBuffer> images;
    IntelHexOutFile::OutputStyle style;
    std::string expected;
    std::string output;
    bool setStart = false;
    uint64_t start = 0;
};

void PrintTo(const WriteCase& c, std::ostream* out) {
    *out << c.name;
}

class IntelHexOutTest : public hexfile_test::HexfileTest {};

class IntelHexWrite : public hexfile_test::HexfileTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(IntelHexWrite, WritesTheRecords) {
    const WriteCase& c = GetParam();
    CoutCapture out;
    IntelHexOutFile writer(path("out.hex").c_str(), c.style);
    for (const MemoryBuffer& image : c.images) {
        writer.insertMemoryBuffer(image);
    }
    if (c.setStart) {
        writer.setStartAddress(c.start);
    }
    writer.writeFile();
    EXPECT_EQ(out.text(), c.output);
    EXPECT_EQ(readText("out.hex"), c.expected);
}

MemoryBuffer withUnsetCell() {
    MemoryBuffer image = imageOf(0x10, {1, 2, 3});
    MemoryBuffer gap(0x11, 1);
    image.merge(gap);
    return image;
}

std::vector<std::string> dataRecords(uint16_t address, const std::vector<uint8_t>& bytes,
                                     std::size_t length) {
    std::vector<std::string> records;
    for (std::size_t k = 0; k < bytes.size(); k += length) {
        const std::size_t n = std::min(length, bytes.size() - k);
        records.push_back(ihex(static_cast<uint16_t>(address + k), 0,
                               std::vector<uint8_t>(bytes.begin() + k, bytes.begin() + k + n)));
    }
    return records;
}

std::string join(std::vector<std::string> first, const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return lines(first);
}

const std::vector<uint8_t> bytes300 = counting(300);

INSTANTIATE_TEST_SUITE_P(
    Cases, IntelHexWrite,
    ::testing::Values(
        WriteCase{"ThreeBytes",
                  {imageOf(0, {0xAA, 0xBB, 0xCC})},
                  {false, 16},
                  ":020000040000FA\n:03000000AABBCCCC\n" + eof,
                  ""},
        WriteCase{"RecordsOfTheLengthAndTheRest",
                  {imageOf(0, counting(40))},
                  {false, 16},
                  join({":020000040000FA"}, dataRecords(0, counting(40), 16)) + eof,
                  ""},
        WriteCase{"PiecesEndAtWindowBoundaries",
                  {imageOf(0xFFF0, counting(32))},
                  {false, 16},
                  ":020000040000FA\n" + ihex(0xFFF0, 0, counting(16)) + "\n:020000040001F9\n" +
                      ihex(0, 0, counting(16, 16)) + "\n" + eof,
                  ""},
        WriteCase{"HighLinearAddress",
                  {imageOf(0x08000000, {1})},
                  {false, 16},
                  ":020000040800F2\n" + ihex(0, 0, {1}) + "\n" + eof,
                  ""},
        WriteCase{"SegmentAddressing",
                  {imageOf(0x12345, {1, 2})},
                  {true, 16},
                  ":020000021234B6\n" + ihex(5, 0, {1, 2}) + "\n" + eof,
                  ""},
        WriteCase{"SeparateImagesEachGetTheirRecord",
                  {imageOf(0x10, {1}), imageOf(0x20, {2})},
                  {false, 16},
                  ":020000040000FA\n" + ihex(0x10, 0, {1}) + "\n:020000040000FA\n" + ihex(0x20, 0, {2}) +
                      "\n" + eof,
                  ""},
        WriteCase{"UnsetCellIsWrittenAsItsFillValue",
                  {withUnsetCell()},
                  {false, 16},
                  ":020000040000FA\n" + ihex(0x10, 0, {1, 0, 3}) + "\n" + eof,
                  ""},
        WriteCase{"RecordLengthZeroBecomesOne",
                  {imageOf(0, {1, 2})},
                  {false, 0},
                  ":020000040000FA\n" + ihex(0, 0, {1}) + "\n" + ihex(1, 0, {2}) + "\n" + eof,
                  "IntelHexOutFile(Constructor-Operation). outputStyle.dataRecordLength was :0\nThe allowed "
                  "minimum have to be 1, so the value was reset to 1\n"},
        WriteCase{"RecordLengthAbove255Becomes255",
                  {imageOf(0, bytes300)},
                  {false, 300},
                  join({":020000040000FA"}, dataRecords(0, bytes300, 255)) + eof,
                  "IntelHexOutFile(Constructor-Operation). outputStyle.dataRecordLength was :300\nThe "
                  "allowed maximum have to be 255, so the value was reset to 255\n"},
        WriteCase{"StartLinearAddress", {}, {false, 16}, ":0400000508000000EF\n" + eof, "", true, 0x08000000},
        WriteCase{"StartSegmentAddress",
                  {},
                  {true, 16},
                  ihex(0, 3, {0x12, 0x34, 0, 5}) + "\n" + eof,
                  "",
                  true,
                  0x12345},
        WriteCase{"NothingInserted", {}, {false, 16}, eof, ""},
        WriteCase{"EmptyImageAddsNoPiece", {MemoryBuffer(0x100, 0)}, {false, 16}, eof, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    std::vector<MemoryBuffer> images;
    IntelHexOutFile::OutputStyle style;
    bool setStart;
    uint64_t start;
    std::string output;  // %F stands for the file name
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.name;
}

class IntelHexRefusal : public hexfile_test::HexfileTest,
                        public ::testing::WithParamInterface<RefusalCase> {};

// A piece or a start address that the file's addressing cannot hold writes no file at all: an existing
// one keeps its content.
TEST_P(IntelHexRefusal, WritesNothingAndLeavesTheFileAsItWas) {
    const RefusalCase& c = GetParam();
    const std::string file = writeText("out.hex", "old\n");
    CoutCapture out;
    IntelHexOutFile writer(file.c_str(), c.style);
    for (const MemoryBuffer& image : c.images) {
        writer.insertMemoryBuffer(image);
    }
    if (c.setStart) {
        writer.setStartAddress(c.start);
    }
    writer.writeFile();
    EXPECT_EQ(out.text(), hexfile_test::withFile(c.output, file));
    EXPECT_EQ(readText("out.hex"), "old\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"out.hex"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntelHexRefusal,
    ::testing::Values(
        RefusalCase{"LinearPieceAbove32Bits",
                    {imageOf(0x100000000, {1})},
                    {false, 16},
                    false,
                    0,
                    "IntelHexOutFile(setOffsetInformation-Operation). StartAddress int (4294967296) is not "
                    "addressable with\nLinearAddressing. Nothing was written in file (%F)!\n"},
        // One piece that cannot be written keeps the others out of the file too.
        RefusalCase{"LaterImageAbove32Bits",
                    {imageOf(0, {1}), imageOf(0xFFFFFFF0, counting(0x20)), imageOf(0x200, {2})},
                    {false, 16},
                    false,
                    0,
                    "IntelHexOutFile(setOffsetInformation-Operation). StartAddress int (4294967296) is not "
                    "addressable with\nLinearAddressing. Nothing was written in file (%F)!\n"},
        RefusalCase{"SegmentPieceAtOneMegabyte",
                    {imageOf(0x100000, {1})},
                    {true, 16},
                    false,
                    0,
                    "IntelHexOutFile(setOffsetInformation-Operation). StartAddress int (1048576) is not "
                    "addressable with\nSegmentAddressing. Nothing was written in file (%F)!\n"},
        RefusalCase{"LinearStartAddressAbove32Bits",
                    {imageOf(0, {1})},
                    {false, 16},
                    true,
                    0x100000000,
                    "IntelHexOutFile(writeFile-Operation). The execution start address int (4294967296) is "
                    "not addressable with\nLinearAddressing. Nothing was written in file (%F)!\n"},
        RefusalCase{"SegmentStartAddressAtOneMegabyte",
                    {imageOf(0, {1})},
                    {true, 16},
                    true,
                    0x100000,
                    "IntelHexOutFile(writeFile-Operation). The execution start address int (1048576) is not "
                    "addressable with\nSegmentAddressing. Nothing was written in file (%F)!\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// In segment mode a piece starts at a paragraph offset below 16 and runs up to the end of its segment.
TEST_F(IntelHexOutTest, SegmentPiecesRunToTheEndOfTheirSegment) {
    IntelHexOutFile writer(path("out.hex").c_str(), {true, 255});
    writer.insertMemoryBuffer(imageOf(0x1FFFE, counting(0x10000)));
    writer.writeFile();
    std::vector<std::string> addressRecords;
    std::string lastOfFirstPiece;
    std::string previous;
    std::istringstream text(readText("out.hex"));
    for (std::string line; std::getline(text, line);) {
        if (line.substr(7, 2) == "02") {
            addressRecords.push_back(line);
            if (addressRecords.size() == 2) {
                lastOfFirstPiece = previous;
            }
        }
        previous = line;
    }
    EXPECT_EQ(addressRecords, (std::vector<std::string>{ihex(0, 2, {0x1F, 0xFF}), ihex(0, 2, {0x2F, 0xFF})}));
    // 0xFFF2 bytes from offset 0xE: the last record of the first piece, 0xF2 bytes at 0xFF0E, ends at 0xFFFF.
    EXPECT_EQ(lastOfFirstPiece.substr(0, 9), ":F2FF0E00");
}

TEST_F(IntelHexOutTest, BytesAreTwoUpperCaseDigits) {
    for (const auto& [byte, text] : std::vector<std::pair<uint8_t, std::string>>{
             {0x00, "00"}, {0x0A, "0A"}, {0xA0, "A0"}, {0x5F, "5F"}, {0xFF, "FF"}}) {
        EXPECT_EQ(Io::Export::toHexByteString(byte), text);
    }
}

TEST_F(IntelHexOutTest, FileThatCannotBeOpenedThrowsBadOpen) {
    IntelHexOutFile writer(path("missing/out.hex").c_str(), {});
    writer.insertMemoryBuffer(imageOf(0, {1}));
    EXPECT_THROW(writer.writeFile(), Io::bad_open);
    EXPECT_TRUE(entries().empty());
}

// What the writer writes, the reader reads back to the same blocks and bytes.
TEST_F(IntelHexOutTest, ReadsBackToTheSameBlocks) {
    for (const bool segment : {false, true}) {
        SCOPED_TRACE(segment ? "segment" : "linear");
        const std::vector<uint8_t> a = counting(0x150, 1);
        const std::vector<uint8_t> b = counting(0x20000, 7);
        const std::vector<uint8_t> c = counting(5, 9);
        const uint64_t high = segment ? 0xFFF00 : 0xFFFFFF00;
        IntelHexOutFile writer(path("out.hex").c_str(), {segment, 32});
        writer.insertMemoryBuffer(imageOf(0x10, a));
        writer.insertMemoryBuffer(imageOf(0x1FFF0, b));
        writer.insertMemoryBuffer(imageOf(high, c));
        writer.setStartAddress(0x12345);
        writer.writeFile();

        CoutCapture out;
        const Io::Import::IntelHexInFile reader(path("out.hex").c_str());
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(reader.getBlockList(),
                  (hexfile_test::Blocks{{0x10, a.size()}, {0x1FFF0, b.size()}, {high, 5}}));
        EXPECT_EQ(hexfile_test::bytesOf(reader.getMemory(0x10, a.size())), a);
        EXPECT_EQ(hexfile_test::bytesOf(reader.getMemory(0x1FFF0, b.size())), b);
        EXPECT_EQ(hexfile_test::bytesOf(reader.getMemory(high, 5)), c);
        EXPECT_TRUE(reader.hasStartAddress());
        EXPECT_EQ(reader.getStartAddress(), 0x12345u);
    }
}

}  // namespace
