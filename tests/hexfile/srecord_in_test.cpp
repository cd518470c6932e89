#include "hexfile/MotorolaS_InFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/hexfile/hexfile_test_support.h"

namespace {

using hexfile_test::Blocks;
using hexfile_test::CoutCapture;
using hexfile_test::logicalError;
using hexfile_test::ReadCase;
using hexfile_test::Span;
using hexfile_test::srec;
using Io::Import::MotorolaS_InFile;

const std::string data4 = "S107000001020304EE";
const std::string noMatch = " did not match parsing pattern. Execution aboarded. The file was not parsed.\n";

std::string tooSmallCount(unsigned count, unsigned addressSize) {
    return "MotorolaS_InFile(storeParsedSize-Operation). Logical error\nThe value of counter is : (int)" +
           std::to_string(count) + ". This is to low, because the addressSize is already : (int)" +
           std::to_string(addressSize) +
           "\nThis error could be also generated, if the SRecord Type was unknown or the counter was to "
           "less.\n";
}

std::vector<uint8_t> textBytes(const std::string& text) {
    return {text.begin(), text.end()};
}

class SRecordTest : public hexfile_test::HexfileTest {};

class SRecordRead : public hexfile_test::ReadTest<MotorolaS_InFile> {};

TEST_P(SRecordRead, GivesTheFileContent) {
    check("in.s19");
}

INSTANTIATE_TEST_SUITE_P(
    Records, SRecordRead,
    ::testing::Values(
        ReadCase{"DataAndTermination", data4 + "\nS9030000FC\n", {{0, 4}}, {{0, {1, 2, 3, 4}}}, "", true, 0},
        ReadCase{"ThreeByteAddresses", "S206001000AABB84\n", {{0x1000, 2}}, {{0x1000, {0xAA, 0xBB}}}, ""},
        ReadCase{
            "FourByteAddresses", "S30900000001AABBCCDDE7\n", {{1, 4}}, {{1, {0xAA, 0xBB, 0xCC, 0xDD}}}, ""},
        ReadCase{"NoTerminationRecord", data4, {{0, 4}}, {{0, {1, 2, 3, 4}}}, ""},
        ReadCase{"LowerCaseDigits", "S107000001020304ee\n", {{0, 4}}, {{0, {1, 2, 3, 4}}}, ""},
        ReadCase{"CrLfLineEnds", data4 + "\r\nS9030000FC\r\n", {{0, 4}}, {{0, {1, 2, 3, 4}}}, "", true, 0},
        // What editors leave: blanks and tabs after a record, a carriage return alone as the line end.
        ReadCase{"BlanksAfterTheRecords",
                 data4 + "\t \nS9030000FC \r\n",
                 {{0, 4}},
                 {{0, {1, 2, 3, 4}}},
                 "",
                 true,
                 0},
        ReadCase{"CarriageReturnLineEnds",
                 srec('1', {0, 0x10}, {5}) + "\r" + data4 + "\r\rS9030000FC\r",
                 {{0, 4}, {0x10, 1}},
                 {{0, {1, 2, 3, 4}}, {0x10, {5}}},
                 "",
                 true,
                 0},
        ReadCase{
            "CountRecordAfterOneDataRecord", data4 + "\nS5030001FB\n", {{0, 4}}, {{0, {1, 2, 3, 4}}}, ""},
        // The 24-bit count record is a count record too.
        ReadCase{"ThreeByteCountRecord",
                 data4 + "\n" + srec('6', {0, 0, 1}, {}) + "\n",
                 {{0, 4}},
                 {{0, {1, 2, 3, 4}}},
                 ""},
        ReadCase{"CountsRunFromThePreviousCountRecord",
                 data4 + "\nS5030001FB\n" + srec('1', {0, 4}, {5}) + "\n" + srec('1', {0, 5}, {6}) + "\n" +
                     srec('5', {0, 2}, {}) + "\n",
                 {{0, 6}},
                 {{0, {1, 2, 3, 4, 5, 6}}},
                 ""},
        ReadCase{"FourByteTermination", "S70500000000FA\n", {}, {}, "", true, 0},
        ReadCase{
            "ThreeByteTermination", srec('8', {0x12, 0x34, 0x56}, {}) + "\n", {}, {}, "", true, 0x123456},
        ReadCase{"LowerCaseS",
                 data4 + "\ns" + srec('1', {0, 4}, {5}).substr(1) + "\n",
                 {{0, 5}},
                 {{0, {1, 2, 3, 4, 5}}},
                 ""},
        ReadCase{"CommentLinesArePassedOver",
                 "; made by hand\n" + data4 + "\n# between\n  // indented\n" + srec('1', {0, 4}, {5}) + "\n",
                 {{0, 5}},
                 {{0, {1, 2, 3, 4, 5}}},
                 ""},
        ReadCase{"IndentedRecords",
                 "  " + data4 + "\n\t" + srec('1', {0, 4}, {5}) + "\n",
                 {{0, 5}},
                 {{0, {1, 2, 3, 4, 5}}},
                 ""},
        // Empty and blank lines carry no data and are passed over.
        ReadCase{"EmptyAndBlankLinesArePassedOver",
                 data4 + "\n\n\r\n \n\t\r\n" + srec('1', {0, 4}, {5}) + "\n\n",
                 {{0, 5}},
                 {{0, {1, 2, 3, 4, 5}}},
                 ""},
        ReadCase{"RepeatedAddressLaterByteWinsAndBlocksOverlap",
                 srec('1', {0, 0}, {0xA0, 0xA1, 0xA2}) + "\n" + srec('1', {0, 2}, {0xB2, 0xB3}) + "\n",
                 {{0, 3}, {2, 2}},
                 {{0, {0xA0, 0xA1, 0xB2, 0xB3}}},
                 ""},
        // Headers as GNU objcopy writes them (only the output file name) and empty ones are valid.
        ReadCase{"ShortHeader",
                 srec('0', {0, 0}, textBytes("a.s19")) + "\n" + data4 + "\n",
                 {{0, 4}},
                 {{0, {1, 2, 3, 4}}},
                 ""},
        ReadCase{"EmptyHeader", "S0030000FC\n" + data4 + "\n", {{0, 4}}, {{0, {1, 2, 3, 4}}}, ""},
        ReadCase{
            "SpanWiderThanAnImageIsCapped",
            srec('3', {0, 0, 0, 0}, {1}) + "\n" + srec('3', {0xFF, 0xFF, 0xFF, 0xFF}, {2, 3}) + "\n",
            {{0, 1}, {0xFFFFFFFF, 2}},
            {{0, {1}}, {0xFFFFFFFF, {2, 3}}},
            "MotorolaS_InFile(constructor-Operation). The information extracted from output file, contains "
            "too much DataElements.\n  The max possible amount of Elements is : (int)4294967295\n  The max "
            "Address is changed from: (int)4294967296 to: (int)4294967294\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Refusals, SRecordRead,
    ::testing::Values(
        ReadCase{
            "EmptyFile", "", {}, {}, "file: %F was empty. Execution aboarded. The file was not parsed.\n"},
        ReadCase{"WrongChecksumDiscardsEarlierData",
                 data4 + "\nS107000401020304EB\n",
                 {},
                 {},
                 "file: %F line: S107000401020304EB" + logicalError},
        ReadCase{"CountRecordThatDoesNotMatch",
                 data4 + "\n" + srec('1', {0, 4}, {5}) + "\nS5030001FB\n",
                 {},
                 {},
                 "file: %F line: S5030001FB" + logicalError},
        ReadCase{"TerminationWithData",
                 data4 + "\n" + srec('9', {0, 0}, {1}) + "\n",
                 {},
                 {},
                 "file: %F line: " + srec('9', {0, 0}, {1}) + logicalError,
                 false,
                 0},
        // A line that does not match drops what was read before it, as its message says.
        ReadCase{"RecordWithoutItsS",
                 data4 + "\n" + srec('1', {0, 4}, {5}).substr(1) + "\n",
                 {},
                 {},
                 "file: %F line: " + srec('1', {0, 4}, {5}).substr(1) + noMatch},
        ReadCase{"LineOfOtherText", data4 + "\nhello\n", {}, {}, "file: %F line: hello" + noMatch},
        ReadCase{"IntelHexLine", data4 + "\n:00000001FF\n", {}, {}, "file: %F line: :00000001FF" + noMatch},
        ReadCase{
            "CommentWithAControlCharacter", data4 + "\n# \x07\n", {}, {}, "file: %F line: # \\x07" + noMatch},
        ReadCase{"TextAfterTheRecordAndABlank",
                 data4 + "\n" + data4 + " 00\n",
                 {},
                 {},
                 "file: %F line: " + data4 + " 00" + noMatch},
        ReadCase{"MissingDigit",
                 data4 + "\nS107000401020304E\n",
                 {},
                 {},
                 "file: %F line: S107000401020304E" + noMatch},
        ReadCase{"UnknownType",
                 data4 + "\nS4030000FC\n",
                 {},
                 {},
                 tooSmallCount(3, 255) + "file: %F line: S4030000FC" + noMatch},
        ReadCase{"CountTooSmallForTheAddress",
                 data4 + "\nS1020000FD\n",
                 {},
                 {},
                 tooSmallCount(2, 2) + "file: %F line: S1020000FD" + noMatch},
        ReadCase{"ControlCharactersAreShownEscaped",
                 data4 + "\nS1\x07\n",
                 {},
                 {},
                 "file: %F line: S1\\x07" + noMatch},
        ReadCase{"BinaryJunk",
                 data4 + "\n" + std::string("\0\xff\x80", 3) + "\n",
                 {},
                 {},
                 "file: %F line: \\x00\xff\x80" + noMatch}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SRecordTest, HeaderFieldsAreTheBytesPresent) {
    struct Case {
        std::vector<uint8_t> data;
        std::string moduleName;
        uint32_t version;
        uint32_t revision;
        std::string description;
    };
    std::vector<uint8_t> full = textBytes("   Module ");
    full.push_back(3);
    full.push_back(7);
    const std::vector<uint8_t> description = textBytes("Created By Morvane 2008");
    full.insert(full.end(), description.begin(), description.end());
    const std::vector<Case> cases{
        {full, "   Module ", 3, 7, "Created By Morvane 2008"},
        {textBytes("a.s19"), "a.s19", 0, 0, ""},
        {{}, "", 0, 0, ""},
        {{'N', 'a', 'm', 'e', 0, 0, 0, 0, 0, 0, 9}, std::string("Name\0\0\0\0\0\0", 10), 9, 0, ""},
    };
    for (const Case& c : cases) {
        const std::string file = writeText("in.s19", srec('0', {0, 0}, c.data) + "\n");
        CoutCapture out;
        const MotorolaS_InFile reader(file.c_str());
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(reader.getHeader().moduleName, c.moduleName);
        EXPECT_EQ(reader.getHeader().version, c.version);
        EXPECT_EQ(reader.getHeader().revision, c.revision);
        EXPECT_EQ(reader.getHeader().description, c.description);
    }
}

// Files with a count record after every 65535 data records are read as well.
TEST_F(SRecordTest, CountRecordAfterEvery65535DataRecords) {
    std::string content;
    for (unsigned address = 0; address < 65536; ++address) {
        content += srec('1', {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)},
                        {static_cast<uint8_t>(address)});
        content += '\n';
        if (address == 65534) {
            content += "S503FFFFFE\n";
        }
    }
    content += srec('2', {1, 0, 0}, {0xEE}) + "\nS5030002FA\nS9030000FC\n";
    const std::string file = writeText("in.s19", content);
    CoutCapture out;
    const MotorolaS_InFile reader(file.c_str());
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(reader.getBlockList(), (Blocks{{0, 0x10001}}));
    const Buffer::MemoryBuffer image = reader.getWholeMemory();
    EXPECT_EQ(hexfile_test::bytesOf(image)[0xFFFF], 0xFF);
    EXPECT_EQ(hexfile_test::bytesOf(image)[0x10000], 0xEE);
}

TEST_F(SRecordTest, MissingFileThrowsBadOpen) {
    EXPECT_THROW(MotorolaS_InFile(path("missing").c_str()), Io::bad_open);
}

}  // namespace
