#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "hexfile/GenericInFile.h"
#include "hexfile/IntelHexInFile.h"
#include "hexfile/MotorolaS_InFile.h"
#include "hexfile/RawBinaryInFile.h"
#include "tests/hexfile/hexfile_test_support.h"

namespace {

using Buffer::MemoryBuffer;
using hexfile_test::Blocks;
using hexfile_test::bytesOf;
using hexfile_test::CoutCapture;
using hexfile_test::setFlagsOf;
using Io::Import::GenericInFile;
using Io::Import::RawBinaryInFile;

class RawBinaryTest : public hexfile_test::HexfileTest {};

TEST_F(RawBinaryTest, EmptyFileIsOneEmptyBlockAtZero) {
    const RawBinaryInFile reader(writeText("empty", "").c_str());
    EXPECT_EQ(reader.getDataLength(), 0u);
    EXPECT_EQ(reader.getBlockList(), (Blocks{{0, 0}}));
    const MemoryBuffer image = reader.getWholeMemory();
    EXPECT_EQ(image.getLength(), 0u);
    EXPECT_EQ(image.getStartAddress(), 0u);
    EXPECT_FALSE(reader.hasStartAddress());
    EXPECT_EQ(reader.getStartAddress(), 0u);
}

TEST_F(RawBinaryTest, EveryByteStandsAtItsOffset) {
    const std::string bytes("\x0A\x0D\x1A\x00\xFF", 5);
    const RawBinaryInFile reader(writeText("bin", bytes).c_str());
    EXPECT_EQ(reader.getMinAddress(), 0u);
    EXPECT_EQ(reader.getBlockList(), (Blocks{{0, 5}}));
    EXPECT_EQ(bytesOf(reader.getWholeMemory()), std::vector<uint8_t>(bytes.begin(), bytes.end()));
    EXPECT_FALSE(reader.hasStartAddress());
}

TEST_F(RawBinaryTest, RangesPastTheFileComeBackUnset) {
    const RawBinaryInFile reader(writeText("bin", "abc").c_str());
    CoutCapture out;
    const MemoryBuffer image = reader.getMemory(2, 4);
    EXPECT_EQ(image.getStartAddress(), 2u);
    EXPECT_EQ(setFlagsOf(image), "1000");
    EXPECT_EQ(bytesOf(image)[0], 'c');
    EXPECT_EQ(reader.getMemory(100, 0).getStartAddress(), 100u);
    EXPECT_EQ(out.text(), "");
}

TEST_F(RawBinaryTest, FillTakesOnlyRangesInsideTheFile) {
    const RawBinaryInFile reader(writeText("bin", "abc").c_str());
    MemoryBuffer inside(1, 2);
    CoutCapture out;
    reader.fillMemoryBuffer(inside);
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(bytesOf(inside), (std::vector<uint8_t>{'b', 'c'}));

    MemoryBuffer past(2, 2);
    reader.fillMemoryBuffer(past);
    EXPECT_EQ(
        out.take(),
        "RawBinaryInFile(fillMemoryBuffer-Operation). The requested extraction range from int address [2 to "
        "4] was out of range. Nothing was filled\n  Possible max range could be from int [0 to 3].\n");
    EXPECT_EQ(setFlagsOf(past), "00");
}

TEST_F(RawBinaryTest, MissingFileThrowsBadOpen) {
    EXPECT_THROW(RawBinaryInFile(path("missing").c_str()), Io::bad_open);
}

struct DetectionCase {
    const char* name;
    std::string content;
    uint32_t fileType;
};

void PrintTo(const DetectionCase& c, std::ostream* out) {
    *out << c.name;
}

class Detection : public hexfile_test::HexfileTest, public ::testing::WithParamInterface<DetectionCase> {};

TEST_P(Detection, RecognisesTheFormatFromTheRecordLines) {
    const std::string file = writeText("in", GetParam().content);
    CoutCapture out;
    EXPECT_EQ(GenericInFile(file.c_str()).getFileType(), GetParam().fileType);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Detection,
    ::testing::Values(
        DetectionCase{"IntelHexWithEmptyAndSlashLines", ":00000001FF\n\n// note\n:00000001FF\n", 0},
        DetectionCase{"TheLastRecordLineDecides", ":00000001FF\nS9030000FC\n", 1},
        DetectionCase{"TheLastRecordLineDecidesOverOtherText", "S9030000FC\n:00000001FF\n; end\n", 0},
        // Other text does not make a text file raw: its reader answers for it.
        DetectionCase{"OtherTextBeforeTheRecords", "X\n:00000001FF\n", 0},
        DetectionCase{"OtherTextBetweenTheRecords", ":00000001FF\nhello\nS9030000FC\n", 1},
        DetectionCase{"LowerCaseS", "s9030000FC\n", 1},
        DetectionCase{"IndentedRecordLine", " \t:00000001FF\n", 0},
        DetectionCase{"IndentedSRecordLine", "  S9030000FC\r\n", 1},
        DetectionCase{"BytesFrom0x80OnAreText",
                      ":00000001FF\n; Pr\xC3\xBC"
                      "fsumme\n",
                      0},
        DetectionCase{"CrLfIntelHex", ":00000001FF\r\n", 0}, DetectionCase{"Empty", "", 2},
        DetectionCase{"OnlyEmptyAndSlashLines", "\n/\n\n", 2},
        DetectionCase{"TextWithoutRecordLines", "hello\nworld\n", 2},
        DetectionCase{"SWithoutADigitIsNoRecordLine", "Start\nSummary\n", 2},
        DetectionCase{"ColonLaterInTheLine", "a:00000001FF\n", 2},
        // A file with bytes that text does not hold is a record file when one of its lines is a record
        // whose checksum is right (its reader then refuses the other bytes), else raw.
        DetectionCase{"NulByteLine", std::string("\0abc\nS9030000FC\n", 15), 1},
        DetectionCase{"ControlByteInARecordLine", ":00000001FF\x01\n", 2},
        DetectionCase{"EscapeInAComment", ":00000001FF\n; \x1B[2J\n", 0},
        DetectionCase{"DeleteByte", "S9030000FC\n\x7F\n", 1},
        DetectionCase{"EndOfFileByteBeforeText", "\x1A:00000001FF\n", 2},
        DetectionCase{"BinaryWithALineThatOnlyLooksLikeARecord", "\x01\x02\n:00000001FE\nS9030000FD\n", 2},
        DetectionCase{"BinaryWithARecordLineOfEachKind", "\x01\n:00000001FF\nS9030000FC\n\x02", 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct TextFileCase {
    const char* name;
    std::string content;
    uint32_t fileType;
    // What the reader prints, %F standing for the file name; a file it refuses gives no blocks.
    std::string output = "";
};

void PrintTo(const TextFileCase& c, std::ostream* out) {
    *out << c.name;
}

class TextFileShapes : public hexfile_test::HexfileTest,
                       public ::testing::WithParamInterface<TextFileCase> {};

// Files as editors and other tools leave them: what they add around and between the records (byte-order
// marks, DOS end-of-file bytes, blank, indented and comment lines) changes neither the format found nor
// the data read, 01 02 03 04 at 0x10. A line that could hold data but is no record refuses the file,
// with the line named. A binary stays a binary, every byte of it at its offset.
TEST_P(TextFileShapes, AreReadByTheirRecords) {
    const TextFileCase& c = GetParam();
    const bool binary = c.fileType == 2;
    const bool refused = !c.output.empty();
    const Blocks blocks = binary ? Blocks{{0, c.content.size()}} : refused ? Blocks{} : Blocks{{0x10, 4}};
    const std::vector<uint8_t> bytes =
        binary ? std::vector<uint8_t>(c.content.begin(), c.content.end()) : std::vector<uint8_t>{1, 2, 3, 4};
    const std::string file = writeText("in", c.content);
    CoutCapture out;
    const GenericInFile importer(file.c_str());
    EXPECT_EQ(out.take(), hexfile_test::withFile(c.output, file));
    EXPECT_EQ(importer.getFileType(), c.fileType);
    EXPECT_EQ(importer.getBlockList(), blocks);
    if (!refused) {
        const MemoryBuffer image = importer.getMemory(blocks.front().start, bytes.size());
        EXPECT_EQ(bytesOf(image), bytes);
        EXPECT_EQ(setFlagsOf(image), std::string(bytes.size(), '1'));
    }
}

const std::string bom = "\xEF\xBB\xBF";
const std::string hexData = ":0400100001020304E2";
const std::string hexEnd = ":00000001FF";
const std::string sData = "S107001001020304DE";
const std::string sEnd = "S9030010EC";
const std::string noMatch = " did not match parsing pattern. Execution aboarded. The file was not parsed.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, TextFileShapes,
    ::testing::Values(
        TextFileCase{"IntelHexAfterAByteOrderMark", bom + hexData + "\n" + hexEnd + "\n", 0},
        TextFileCase{"IntelHexAfterTwoByteOrderMarks", bom + bom + hexData + "\n" + hexEnd + "\n", 0},
        TextFileCase{"IntelHexEndingWithA1A", hexData + "\r\n" + hexEnd + "\r\n\x1A", 0},
        TextFileCase{"IntelHexEndingWithA1AAndALineFeed", hexData + "\r\n" + hexEnd + "\r\n\x1A\n", 0},
        TextFileCase{"IntelHexWithBlankAndTabLines", hexData + "\n  \n\t\n" + hexEnd + "\n", 0},
        TextFileCase{"IntelHexWithALoneCarriageReturnLine", hexData + "\n\r\r\n" + hexEnd + "\n", 0},
        TextFileCase{"IntelHexEndingWithEmptyAndBlankLines", hexData + "\n" + hexEnd + "\n\n \r\n\n", 0},
        TextFileCase{"IntelHexWithACommentLineBefore", "; made by hand\n" + hexData + "\n" + hexEnd + "\n",
                     0},
        TextFileCase{"IntelHexWithACommentLineAfter", hexData + "\n" + hexEnd + "\n; end of file\n", 0},
        TextFileCase{"IntelHexWithCommentLinesBetween", hexData + "\n# hash\n  // slashes\n" + hexEnd + "\n",
                     0},
        TextFileCase{"IntelHexWithIndentedLines", "  " + hexData + "\n\t" + hexEnd + "\n", 0},
        TextFileCase{"IntelHexWithAllOfThem",
                     bom + bom + "; made by hand\r\n  " + hexData + "\r\n\t\r\n\t" + hexEnd +
                         "\r\n; end\r\n\r\n\x1A\x1A\r\n",
                     0},
        TextFileCase{"IntelHexRecordWithoutItsColon", hexData.substr(1) + "\n" + hexEnd + "\n", 0,
                     "file: %F line: " + hexData.substr(1) + noMatch},
        TextFileCase{"IntelHexWithALineOfOtherText", "X\n" + hexData + "\n" + hexEnd + "\n", 0,
                     "file: %F line: X" + noMatch},
        TextFileCase{"SRecordsAfterAByteOrderMark", bom + sData + "\n" + sEnd + "\n", 1},
        TextFileCase{"SRecordsAfterTwoByteOrderMarks", bom + bom + sData + "\n" + sEnd + "\n", 1},
        TextFileCase{"SRecordsEndingWithA1A", sData + "\r\n" + sEnd + "\r\n\x1A", 1},
        TextFileCase{"SRecordsEndingWithA1AAndALineFeed", sData + "\r\n" + sEnd + "\r\n\x1A\n", 1},
        TextFileCase{"SRecordsWithBlankTabAndCarriageReturnLines", sData + "\n \n\t\n\r\r\n" + sEnd + "\n \n",
                     1},
        TextFileCase{"SRecordsWithCommentLines",
                     "; made by hand\n" + sData + "\n# between\n" + sEnd + "\n// end\n", 1},
        TextFileCase{"SRecordsWithALowerCaseS", "s" + sData.substr(1) + "\n" + sEnd + "\n", 1},
        TextFileCase{"SRecordsWithIndentedLines", "\t" + sData + "\n  " + sEnd + "\n", 1},
        TextFileCase{"SRecordWithoutItsS", sData.substr(1) + "\n" + sEnd + "\n", 1,
                     "file: %F line: " + sData.substr(1) + noMatch},
        TextFileCase{"BinaryBeginningWithEF", "\xEF\x01:\n", 2},
        TextFileCase{"BinaryBeginningWith1A", "\x1A:00000001FF\n", 2},
        TextFileCase{"BinaryOfA1AOnly", "\x1A", 2},
        TextFileCase{"BinaryAfterAByteOrderMark", bom + "\x01\x02", 2},
        // Bytes after the records that are no padding, and a control character in a comment, refuse the
        // file by name.
        TextFileCase{
            "RecordsFollowedByControlBytes", hexData + "\n" + hexEnd + std::string("\n\0\x01\x02", 4), 0,
            "file: %F has no intel format (last line mismatched). Execution aboarded. The file was not "
            "parsed.\n"},
        TextFileCase{"RecordsWithAControlCharacterInAComment", hexData + "\n; \x01\n" + hexEnd + "\n", 0,
                     "file: %F line: ; \\x01" + noMatch}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RawBinaryTest, GenericImporterForwardsToTheReaderOfTheFormat) {
    struct Case {
        std::string content;
        Blocks blocks;
        bool hasStart;
    };
    const std::vector<Case> cases{
        {":0400100001020304E2\n:0400000500000010E7\n:00000001FF\n", {{0x10, 4}}, true},
        {"S107001001020304DE\nS9030010EC\n", {{0x10, 4}}, true},
        {"\x01\x02", {{0, 2}}, false},
    };
    for (const Case& c : cases) {
        const std::string file = writeText("in", c.content);
        CoutCapture out;
        GenericInFile importer(file.c_str());
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(importer.getBlockList(), c.blocks);
        EXPECT_EQ(importer.hasStartAddress(), c.hasStart);
        EXPECT_EQ(importer.getStartAddress(), c.hasStart ? 0x10u : 0u);
        const MemoryBuffer whole = importer.getWholeMemory();
        EXPECT_EQ(whole.getStartAddress(), c.blocks.front().start);
        EXPECT_EQ(whole.getLength(), c.blocks.front().length);
        EXPECT_EQ(importer.getMinAddress(), c.blocks.front().start);
        EXPECT_EQ(importer.getDataLength(), c.blocks.front().length);
        EXPECT_EQ(bytesOf(importer.getMemory(0x11, 1))[0], c.hasStart ? 2 : 0);
        MemoryBuffer buffer(c.blocks.front().start, 1);
        importer.fillMemoryBuffer(buffer);
        EXPECT_EQ(bytesOf(buffer)[0], 1);
    }
}

TEST_F(RawBinaryTest, GenericImporterOfAMissingFileThrowsBadOpen) {
    EXPECT_THROW(GenericInFile(path("missing").c_str()), Io::bad_open);
}

}  // namespace

namespace {

// Whatever a file holds, reading it ends normally, and the import operations answer.
TEST_F(RawBinaryTest, MalformedFilesAreReadWithoutCrashOrHang) {
    std::mt19937 generator(7);
    std::string junk(1 << 16, '\0');
    for (char& c : junk) {
        c = static_cast<char>(generator());
    }
    std::string digits(1 << 20, 'F');
    const std::vector<uint8_t> full(255, 0xAB);
    const std::vector<std::string> contents{
        junk,
        ":" + digits + "\n:00000001FF\n",
        "S3" + digits + "\n",
        ":FF000000" + std::string(100, '0') + "\n:00000001FF\n",
        "SFFF0000\nSF030000FC\n",
        hexfile_test::ihex(0, 4, {0xFF, 0xFF}) + "\n" + hexfile_test::ihex(0xFFFF, 0, full) +
            "\n:00000001FF\n",
        hexfile_test::srec('3', {0xFF, 0xFF, 0xFF, 0xFF}, std::vector<uint8_t>(250, 1)) + "\n" +
            hexfile_test::srec('1', {0, 0}, {1}) + "\n",
        std::string(1 << 16, '\n') + ":00000001FF",
        std::string(1 << 16, ':') + "\n:00000001FF",
        "S",
        ":",
        std::string("\r\r\r\n\0\0\n", 7),
    };
    for (std::size_t i = 0; i < contents.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string file = writeText("bad", contents[i]);
        CoutCapture out;
        const auto check = [](const Io::Import::MorvaneImportApi& importer) {
            const MemoryBuffer whole = importer.getWholeMemory();
            EXPECT_TRUE(whole.getLength() == importer.getDataLength() || whole.getLength() == 0);
            for (const auto& block : importer.getBlockList()) {
                EXPECT_GE(block.start, importer.getMinAddress());
            }
        };
        check(GenericInFile(file.c_str()));
        check(Io::Import::IntelHexInFile(file.c_str()));
        check(Io::Import::MotorolaS_InFile(file.c_str()));
    }
}

}  // namespace
