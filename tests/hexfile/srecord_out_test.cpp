#include "hexfile/MotorolaS_OutFile.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "hexfile/MotorolaS_InFile.h"
#include "tests/hexfile/hexfile_test_support.h"

namespace {

using Buffer::MemoryBuffer;
using hexfile_test::counting;
using hexfile_test::CoutCapture;
using hexfile_test::imageOf;
using hexfile_test::srec;
using Io::Export::MotorolaS_OutFile;

std::vector<uint8_t> textBytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string headerLine(const std::string& name = std::string(10, ' '),
                       const std::string& description = "Created By Morvane 2008") {
    std::vector<uint8_t> data = textBytes(name);
    data.push_back(0);
    data.push_back(0);
    const std::vector<uint8_t> text = textBytes(description);
    data.insert(data.end(), text.begin(), text.end());
    return srec('0', {0, 0}, data) + "\n";
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

struct WriteCase {
    const char* name;
    std::vector<MemoryBuffer> images;
    std::string expected;
    std::string output;
};

void PrintTo(const WriteCase& c, std::ostream* out) {
    *out << c.name;
}

class SRecordOutTest : public hexfile_test::HexfileTest {
  protected:
    std::string writeImages(const std::vector<MemoryBuffer>& images,
                            const MotorolaS_OutFile::OutputStyle& style = {}) {
        MotorolaS_OutFile writer(path("out.s19").c_str(), style);
        for (const MemoryBuffer& image : images) {
            writer.insertMemoryBuffer(image);
        }
        writer.writeFile();
        return readText("out.s19");
    }
};

class SRecordWrite : public SRecordOutTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SRecordWrite, WritesTheRecords) {
    CoutCapture out;
    EXPECT_EQ(writeImages(GetParam().images), GetParam().expected);
    EXPECT_EQ(out.text(), GetParam().output);
}

// Data records of 36 bytes with addresses of the type's size.
std::string dataRecords(char type, uint64_t start, const std::vector<uint8_t>& bytes) {
    const unsigned size = type - '0' + 1;
    std::string text;
    for (std::size_t k = 0; k < bytes.size(); k += 36) {
        const uint64_t a = start + k;
        std::vector<uint8_t> address;
        for (unsigned i = size; i-- > 0;) {
            address.push_back(static_cast<uint8_t>(a >> (8 * i)));
        }
        const std::size_t n = std::min<std::size_t>(36, bytes.size() - k);
        text += srec(type, address, std::vector<uint8_t>(bytes.begin() + k, bytes.begin() + k + n)) + "\n";
    }
    return text;
}

const std::vector<uint8_t> top64k = counting(0x10000, 3);

INSTANTIATE_TEST_SUITE_P(
    Cases, SRecordWrite,
    ::testing::Values(
        // A file of fewer than 65535 data records has no count record.
        WriteCase{"FourBytes",
                  {imageOf(0, {1, 2, 3, 4})},
                  "S026000020202020202020202020000043726561746564204279204D6F7276616E65203230303824\n"
                  "S107000001020304EE\nS9030000FC\n",
                  ""},
        WriteCase{"RecordsOfTheMaximumSizeAndTheRest",
                  {imageOf(0, counting(40))},
                  headerLine() + srec('1', {0, 0}, counting(36)) + "\n" +
                      srec('1', {0, 0x24}, counting(4, 36)) + "\nS9030000FC\n",
                  ""},
        WriteCase{"ImageEndingPast16BitsUsesThreeByteAddresses",
                  {imageOf(0xFF00, counting(0x100))},
                  headerLine() + dataRecords('2', 0xFF00, counting(0x100)) + "S804000000FB\n",
                  ""},
        WriteCase{"ImageEndingAtFourGigabytesUsesFourByteAddresses",
                  {imageOf(0xFFFF0000, top64k)},
                  headerLine() + dataRecords('3', 0xFFFF0000, top64k) + "S70500000000FA\n",
                  ""},
        WriteCase{"OneAddressSizeForTheWholeFile",
                  {imageOf(0x10, {1}), imageOf(0x123456, {2})},
                  headerLine() + srec('2', {0, 0, 0x10}, {1}) + "\n" + srec('2', {0x12, 0x34, 0x56}, {2}) +
                      "\nS804000000FB\n",
                  ""},
        WriteCase{"EmptyImageWritesARecordWithoutData",
                  {MemoryBuffer(0x100, 0)},
                  headerLine() + "S1030100FB\nS9030000FC\n",
                  ""},
        WriteCase{"NothingInsertedHasNoCountRecord", {}, headerLine() + "S9030000FC\n", ""},
        WriteCase{"EmptyImageAtTheLastFourByteAddress",
                  {MemoryBuffer(0xFFFFFFFF, 0)},
                  headerLine() + srec('3', {0xFF, 0xFF, 0xFF, 0xFF}, {}) + "\nS70500000000FA\n",
                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

// From 65535 data records on, one count record holding the total follows the last data record: an S5
// record for 65535, an S6 record above.
TEST_F(SRecordOutTest, CountRecordFrom65535DataRecordsOn) {
    for (const unsigned records : {65534u, 65535u, 65536u}) {
        SCOPED_TRACE(records);
        const std::vector<std::string> lines =
            linesOf(writeImages({imageOf(0, std::vector<uint8_t>(records * 21u, 0x5A))},
                                {"", "Created By Morvane 2008", 0, 0, 21}));
        const bool counted = records >= 65535;
        ASSERT_EQ(lines.size(), records + (counted ? 3u : 2u));
        for (std::size_t i = 1; i <= records; ++i) {
            ASSERT_TRUE(lines[i].rfind("S2", 0) == 0 || lines[i].rfind("S1", 0) == 0) << lines[i];
        }
        if (counted) {
            EXPECT_EQ(lines[records + 1],
                      records == 65535 ? "S503FFFFFE" : srec('6', {0x01, 0x00, 0x00}, {}));
        }
        EXPECT_EQ(lines.back().substr(0, 2), records * 21u > 0xFFFF ? "S8" : "S9");

        CoutCapture out;
        const Io::Import::MotorolaS_InFile reader(path("out.s19").c_str());
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(reader.getBlockList(), (hexfile_test::Blocks{{0, records * 21u}}));
    }
}

TEST_F(SRecordOutTest, RecordSizeOutsideItsRangeIsClamped) {
    struct Case {
        uint32_t size;
        std::size_t written;
        std::string output;
    };
    const std::vector<Case> cases{
        {20, 21,
         "MotorolaS_OutFile(Constructor-Operation). outputStyle.maximumRecordSize was :20\nThe allowed "
         "minimum have to be (int)21, so the value was reset to (int) 21\n"},
        {120, 119,
         "MotorolaS_OutFile(Constructor-Operation). outputStyle.maximumRecordSize was :120\nThe allowed "
         "maximum have to be (int)119, so the value was reset to (int) 119\n"},
        {static_cast<uint32_t>(-1), 119,
         "MotorolaS_OutFile(Constructor-Operation). outputStyle.maximumRecordSize was :4294967295\nThe "
         "allowed maximum have to be (int)119, so the value was reset to (int) 119\n"},
    };
    for (const Case& c : cases) {
        CoutCapture out;
        const std::vector<std::string> lines =
            linesOf(writeImages({imageOf(0, counting(200))}, {"", "Created By Morvane 2008", 0, 0, c.size}));
        EXPECT_EQ(out.text(), c.output);
        EXPECT_EQ(lines.at(1), srec('1', {0, 0}, counting(c.written)));
    }
}

TEST_F(SRecordOutTest, HeaderFieldsAreLaidOutAndCutToFitTheCountByte) {
    struct Case {
        std::string name;
        std::string description;
        std::string headerName;         // as read back
        std::string headerDescription;  // as read back
    };
    const std::string longText(300, 'd');
    const std::string nul(1, '\0');
    const std::vector<Case> cases{
        {"ABC", "Created By Morvane 2008", "       ABC", "Created By Morvane 2008"},
        // A longer name stays whole; the reader takes its first 10 bytes as the name.
        {"ModuleNameLonger", "Created By Morvane 2008", "ModuleName",
         "nger" + nul + nul + "Created By Morvane 2008"},
        {"", "short", "          ", "short"},
        {"", longText, "          ", std::string(240, 'd')},
        // The description goes first, then the name is cut to 250 bytes.
        {std::string(300, 'n'), longText, "nnnnnnnnnn", std::string(238, 'n') + nul + nul},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        MotorolaS_OutFile::OutputStyle style;
        style.moduleName = c.name;
        style.description = c.description;
        style.version = 0;
        writeImages({imageOf(0, {1})}, style);
        const std::vector<std::string> lines = linesOf(readText("out.s19"));
        ASSERT_FALSE(lines.empty());
        EXPECT_LE(lines[0].size(), 2u + 2 * 256);

        CoutCapture out;
        const Io::Import::MotorolaS_InFile reader(path("out.s19").c_str());
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(reader.getHeader().moduleName, c.headerName);
        EXPECT_EQ(reader.getHeader().description, c.headerDescription);
        EXPECT_EQ(reader.getBlockList(), (hexfile_test::Blocks{{0, 1}}));
    }
}

TEST_F(SRecordOutTest, StartAddressGoesIntoTheTerminationRecord) {
    struct Case {
        uint64_t start;
        std::string termination;
    };
    const std::vector<Case> cases{{0x1234, srec('9', {0x12, 0x34}, {})},
                                  {0x123456, srec('8', {0x12, 0x34, 0x56}, {})},
                                  {0xFFFFFFFF, srec('7', {0xFF, 0xFF, 0xFF, 0xFF}, {})}};
    for (const Case& c : cases) {
        MotorolaS_OutFile writer(path("out.s19").c_str(), {});
        writer.insertMemoryBuffer(imageOf(0x10, {1}));
        writer.setStartAddress(c.start);
        writer.writeFile();
        EXPECT_EQ(linesOf(readText("out.s19")).back(), c.termination);
        CoutCapture out;
        const Io::Import::MotorolaS_InFile reader(path("out.s19").c_str());
        EXPECT_EQ(out.text(), "");
        EXPECT_TRUE(reader.hasStartAddress());
        EXPECT_EQ(reader.getStartAddress(), c.start);
    }
}

// What the format cannot address leaves the file as it was, whatever else the writer was given: an
// image (an empty one at 0x100000000 would need a fifth address byte) or the start address.
TEST_F(SRecordOutTest, WhatTheFormatCannotAddressLeavesTheFileAsItWas) {
    const std::string refusedImage =
        "MotorolaS_OutFile(insertMemoryBuffer-Operation). The inserted MemoryBuffer has a to big Offset for "
        "Motorola Format.\nThe MemoryBuffer will not be inserted.\nThe allowed maximum Offset have to be "
        "(int)4294967295\n";
    const struct {
        const char* name;
        std::vector<MemoryBuffer> images;
        uint64_t startAddress;
        std::string output;  // %F stands for the file name
    } cases[] = {
        {"EmptyImageAtFourGigabytes",
         {MemoryBuffer(0x100000000, 0), imageOf(0, {1})},
         0,
         refusedImage + "MotorolaS_OutFile(writeFile-Operation). A MemoryBuffer was not inserted.\n"},
        {"ImageEndingPastFourGigabytes",
         {imageOf(0x10, {1}), imageOf(0xFFFF0000, counting(0x10001))},
         0,
         refusedImage + "MotorolaS_OutFile(writeFile-Operation). A MemoryBuffer was not inserted.\n"},
        {"StartAddressPastFourBytes",
         {imageOf(0x10, {1})},
         0x100000000,
         "MotorolaS_OutFile(writeFile-Operation). The execution start address int (4294967296) is not "
         "addressable with Motorola Format.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = writeText("out.s19", "old\n");
        CoutCapture out;
        MotorolaS_OutFile writer(file.c_str(), {});
        for (const MemoryBuffer& image : c.images) {
            writer.insertMemoryBuffer(image);
        }
        if (c.startAddress != 0) {
            writer.setStartAddress(c.startAddress);
        }
        writer.writeFile();
        EXPECT_EQ(out.take(), c.output + "Nothing was written in file (" + file + ")!\n");
        EXPECT_EQ(readText("out.s19"), "old\n");
        EXPECT_EQ(entries().size(), 1u);
    }
}

TEST_F(SRecordOutTest, FileThatCannotBeOpenedThrowsBadOpen) {
    MotorolaS_OutFile writer(path("missing/out.s19").c_str(), {});
    EXPECT_THROW(writer.writeFile(), Io::bad_open);
    EXPECT_TRUE(entries().empty());
}

TEST_F(SRecordOutTest, ReadsBackToTheSameBlocks) {
    const std::vector<uint8_t> a = counting(0x150, 1);
    const std::vector<uint8_t> b = counting(0x20000, 7);
    const std::vector<uint8_t> c = counting(5, 9);
    writeImages({imageOf(0x10, a), imageOf(0x1FFF0, b), imageOf(0xFFFFFFFB, c)});
    CoutCapture out;
    const Io::Import::MotorolaS_InFile reader(path("out.s19").c_str());
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(reader.getBlockList(),
              (hexfile_test::Blocks{{0x10, a.size()}, {0x1FFF0, b.size()}, {0xFFFFFFFB, 5}}));
    EXPECT_EQ(hexfile_test::bytesOf(reader.getMemory(0x10, a.size())), a);
    EXPECT_EQ(hexfile_test::bytesOf(reader.getMemory(0x1FFF0, b.size())), b);
    EXPECT_EQ(hexfile_test::bytesOf(reader.getMemory(0xFFFFFFFB, 5)), c);
}

}  // namespace
