// Record files that hold bytes text does not hold, as tools and editors leave them: padding after the
// last record is no data, a control byte among the records refuses the file with the reader's message,
// a UTF-16 file is read as its text, and only a file without a record line is raw binary. A pipe is
// read once, detection and reader from the same bytes.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hexfile/GenericInFile.h"
#include "tests/hexfile/hexfile_test_support.h"
#include "tests/support/text_feed.h"

namespace {

using hexfile_test::Blocks;
using hexfile_test::bytesOf;
using hexfile_test::CoutCapture;
using hexfile_test::logicalError;
using hexfile_test::withFile;
using Io::Import::GenericInFile;

const std::string hexData = ":10000000101112131415161718191A1B1C1D1E1F78";
const std::string hexEnd = ":00000001FF";
const std::vector<uint8_t> dataBytes = hexfile_test::counting(16, 0x10);
const std::string sData = hexfile_test::srec('1', {0, 0}, dataBytes);
const std::string sEnd = "S9030000FC";
const std::string noMatch = " did not match parsing pattern. Execution aboarded. The file was not parsed.\n";

// The text as a PowerShell redirect writes it: UTF-16, little endian, with its byte-order mark.
std::string utf16(const std::string& text, bool littleEndian = true) {
    std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
    for (const char c : text) {
        bytes += littleEndian ? std::string{c, '\0'} : std::string{'\0', c};
    }
    return bytes;
}

struct RecordFileCase {
    const char* name;
    std::string content;
    uint32_t fileType;
    // What the reader prints, %F standing for the file name; a file it refuses gives no blocks.
    std::string output = "";
};

void PrintTo(const RecordFileCase& c, std::ostream* out) {
    *out << c.name;
}

class RecordFiles : public hexfile_test::HexfileTest, public ::testing::WithParamInterface<RecordFileCase> {};

// A file read as records holds the 16 bytes 10 ... 1F at 0 and nothing else; a refused one nothing.
TEST_P(RecordFiles, AreReadAsTheirRecordsOrRefusedByName) {
    const RecordFileCase& c = GetParam();
    const std::string file = writeText("in", c.content);
    CoutCapture out;
    const GenericInFile importer(file.c_str());
    EXPECT_EQ(out.take(), withFile(c.output, file));
    EXPECT_EQ(importer.getFileType(), c.fileType);
    if (!c.output.empty()) {
        EXPECT_EQ(importer.getBlockList(), Blocks{});
        return;
    }
    EXPECT_EQ(importer.getBlockList(), (Blocks{{0, 16}}));
    EXPECT_EQ(bytesOf(importer.getWholeMemory()), dataBytes);
}

const std::string hexRecords = hexData + "\n" + hexEnd + "\n";
const std::string sRecords = sData + "\n" + sEnd + "\n";

INSTANTIATE_TEST_SUITE_P(
    Padding, RecordFiles,
    ::testing::Values(
        RecordFileCase{"NulsAfterTheEndOfFileRecord", hexRecords + std::string(64, '\0'), 0},
        RecordFileCase{"NulsRightAfterTheEndOfFileRecord", hexData + "\n" + hexEnd + std::string(7, '\0'), 0},
        RecordFileCase{"ErasedFlashAfterTheRecords", hexRecords + std::string(256, '\xFF'), 0},
        RecordFileCase{"EndOfFileBytesAndNulsWithLineEnds",
                       hexData + "\r\n" + hexEnd + "\r\n" + std::string("\x1A\0\r\n\0\xFF\n", 7), 0},
        RecordFileCase{"SRecordsPaddedWithNuls", sRecords + std::string(100, '\0'), 1},
        RecordFileCase{"SRecordsPaddedWithErasedFlash", sRecords + std::string(3, '\xFF'), 1}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ControlBytes, RecordFiles,
    ::testing::Values(
        RecordFileCase{"EndOfTransmissionBetweenRecords", hexData + "\n\x04\n" + hexEnd + "\n", 0,
                       "file: %F line: \\x04" + noMatch},
        RecordFileCase{"DosEndOfFileBetweenRecords", hexData + "\n\x1A\n" + hexEnd + "\n", 0,
                       "file: %F line: \\x1A" + noMatch},
        RecordFileCase{"EscapeSequenceBeforeTheFirstRecord", "\x1B[0m" + hexRecords, 0,
                       "file: %F line: \\x1B[0m" + hexData + noMatch},
        RecordFileCase{"NulInsideARecordLine", hexData + std::string("\0\n", 2) + hexEnd + "\n", 0,
                       "file: %F line: " + hexData + "\\x00" + logicalError},
        RecordFileCase{"NulsBetweenRecords", hexData + "\n" + std::string(8, '\0') + "\n" + hexEnd + "\n", 0,
                       "file: %F line: \\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00" + noMatch},
        RecordFileCase{"EndOfTransmissionBetweenSRecords", sData + "\n\x04\n" + sEnd + "\n", 1,
                       "file: %F line: \\x04" + noMatch},
        // Bytes after the last record that are no padding are no text of a record file.
        RecordFileCase{
            "ControlBytesAfterTheEndOfFileRecord", hexRecords + "\x01\x02", 0,
            "file: %F has no intel format (last line mismatched). Execution aboarded. The file was not "
            "parsed.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Utf16, RecordFiles,
                         ::testing::Values(RecordFileCase{"IntelHexFromAPowerShellRedirect",
                                                          utf16(hexData + "\r\n" + hexEnd + "\r\n"), 0},
                                           RecordFileCase{"IntelHexBigEndian", utf16(hexRecords, false), 0},
                                           RecordFileCase{"SRecordsWithACommentOfOtherLetters",
                                                          utf16("; Pr\xFC"
                                                                "fsumme\r\n" +
                                                                sData + "\r\n" + sEnd + "\r\n"),
                                                          1},
                                           RecordFileCase{
                                               "ADamagedRecordIsRefusedAsText",
                                               utf16(hexData.substr(0, 20) + "\r\n" + hexEnd + "\r\n"), 0,
                                               "file: %F line: " + hexData.substr(0, 20) + logicalError}),
                         [](const auto& info) { return std::string(info.param.name); });

// What has no record line is raw binary, every byte at its offset: a text, a UTF-16 text, an ELF file,
// a binary whose lines only look like records.
class RawAndPipes : public hexfile_test::HexfileTest {};

TEST_F(RawAndPipes, AFileWithoutARecordLineIsRawBinary) {
    const std::string elf = std::string(
                                "\x7F"
                                "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x3E\0",
                                20) +
                            "\n:1000\n";
    const std::string contents[] = {
        "# voflash\n\nPrograms the flash memory of ECUs.\n",
        "{\"name\": \"voflash\", \"version\": 1}\n",
        utf16("# voflash\r\nNo records here.\r\n"),
        elf,
        std::string("\x01\n:00000001FE\nS9030000FD\n", 25),
        // UTF-16 of an odd length is no text: its bytes are looked at as they are.
        utf16(hexRecords) + "\n",
    };
    for (const std::string& content : contents) {
        SCOPED_TRACE(testing::PrintToString(content));
        const std::string file = writeText("in", content);
        CoutCapture out;
        const GenericInFile importer(file.c_str());
        EXPECT_EQ(out.take(), "");
        EXPECT_TRUE(importer.isRawBinary());
        EXPECT_EQ(importer.getBlockList(), (Blocks{{0, content.size()}}));
        EXPECT_EQ(bytesOf(importer.getWholeMemory()), std::vector<uint8_t>(content.begin(), content.end()));
    }
}

// A pipe or a FIFO cannot be read twice: detection and reader take the same bytes, so the file is read
// as it is, not as empty. A raw one keeps every byte.
TEST_F(RawAndPipes, APipeIsReadOnce) {
    const struct {
        std::string content;
        uint32_t fileType;
        Blocks blocks;
    } cases[] = {
        {hexRecords, 0, {{0, 16}}},
        {sRecords, 1, {{0, 16}}},
        {utf16(hexRecords), 0, {{0, 16}}},
        {std::string(100000, '\x55'), 2, {{0, 100000}}},
    };
    for (const auto& c : cases) {
        for (const bool namedPipe : {false, true}) {
            SCOPED_TRACE(std::to_string(c.fileType) + (namedPipe ? " FIFO" : " pipe"));
            std::filesystem::remove(path("fifo"));
            const testing_support::Feed feed(namedPipe ? path("fifo") : "", c.content);
            ASSERT_FALSE(feed.path().empty());
            CoutCapture out;
            const GenericInFile importer(feed.path().c_str());
            EXPECT_EQ(out.take(), "");
            EXPECT_EQ(importer.getFileType(), c.fileType);
            EXPECT_EQ(importer.getBlockList(), c.blocks);
            const std::vector<uint8_t> bytes = bytesOf(importer.getWholeMemory());
            EXPECT_TRUE(c.fileType == 2 ? bytes == std::vector<uint8_t>(c.content.begin(), c.content.end())
                                        : bytes == dataBytes);
        }
    }
}

}  // namespace
