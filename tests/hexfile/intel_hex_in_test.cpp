#include "hexfile/IntelHexInFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/hexfile/hexfile_test_support.h"

namespace {

using hexfile_test::Blocks;
using hexfile_test::CoutCapture;
using hexfile_test::ihex;
using hexfile_test::logicalError;
using hexfile_test::ReadCase;
using hexfile_test::Span;
using Io::Import::IntelHexInFile;

const std::string eof = ":00000001FF";
const std::string noMatch = " did not match parsing pattern. Execution aboarded. The file was not parsed.\n";

class IntelHexTest : public hexfile_test::HexfileTest {};

class IntelHexRead : public hexfile_test::ReadTest<IntelHexInFile> {};

TEST_P(IntelHexRead, GivesTheFileContent) {
    check("in.hex");
}

const std::string data4 = ":0400000001020304F2";

INSTANTIATE_TEST_SUITE_P(
    Records, IntelHexRead,
    ::testing::Values(
        ReadCase{"DataAndEndOfFile", data4 + "\n" + eof + "\n", {{0, 4}}, {{0, {1, 2, 3, 4}}}, ""},
        ReadCase{"LowerCaseDigits",
                 ":0400000001020304f2\n:04000400aabbccddea\n" + eof,
                 {{0, 8}},
                 {{0, {1, 2, 3, 4, 0xAA, 0xBB, 0xCC, 0xDD}}},
                 ""},
        ReadCase{"CrLfLineEnds", data4 + "\r\n" + eof + "\r\n", {{0, 4}}, {{0, {1, 2, 3, 4}}}, ""},
        ReadCase{"LastLineWithoutLineEnd", data4 + "\n" + eof, {{0, 4}}, {{0, {1, 2, 3, 4}}}, ""},
        ReadCase{"EmptyAndCommentLinesArePassedOver",
                 "\n# comment\n" + data4 + "\n\n; more\n  // and more\n" + eof + "\n",
                 {{0, 4}},
                 {{0, {1, 2, 3, 4}}},
                 ""},
        ReadCase{"CommentLinesAfterTheEndOfFileRecord",
                 data4 + "\n" + eof + "\n; end of file\n\n# really\n",
                 {{0, 4}},
                 {{0, {1, 2, 3, 4}}},
                 ""},
        ReadCase{"IndentedRecords", "  " + data4 + "\n\t " + eof + "\n", {{0, 4}}, {{0, {1, 2, 3, 4}}}, ""},
        // What editors leave: blanks and tabs after a record, a carriage return alone as the line end.
        ReadCase{
            "BlanksAfterTheRecords", data4 + " \t\n" + eof + "  \r\n", {{0, 4}}, {{0, {1, 2, 3, 4}}}, ""},
        ReadCase{"CarriageReturnLineEnds",
                 ihex(0x10, 0, {5}) + "\r" + data4 + "\r\r" + eof + "\r",
                 {{0, 4}, {0x10, 1}},
                 {{0, {1, 2, 3, 4}}, {0x10, {5}}},
                 ""},
        ReadCase{"MixedLineEnds",
                 data4 + "\r" + ihex(0x10, 0, {5}) + "\r\n\r" + eof,
                 {{0, 4}, {0x10, 1}},
                 {{0, {1, 2, 3, 4}}, {0x10, {5}}},
                 ""},
        ReadCase{"ExtendedLinearAddress",
                 ihex(0, 4, {0x00, 0x01}) + "\n" + ihex(0x0010, 0, {0xAA}) + "\n" + eof,
                 {{0x10010, 1}},
                 {{0x10010, {0xAA}}},
                 ""},
        ReadCase{"ExtendedSegmentAddress",
                 ":020000021000EC\n" + ihex(0x0010, 0, {0xAA}) + "\n" + eof,
                 {{0x10010, 1}},
                 {{0x10010, {0xAA}}},
                 ""},
        ReadCase{"RecordRunsOnIntoTheNextWindow",
                 ":020000040000FA\n" + ihex(0xFFF0, 0, hexfile_test::counting(32)) + "\n" + eof,
                 {{0xFFF0, 32}},
                 {{0xFFF0, hexfile_test::counting(32)}},
                 ""},
        ReadCase{"AddressesPastFourGigabytes",
                 ihex(0, 4, {0xFF, 0xFF}) + "\n" + ihex(0xFFFF, 0, {1, 2}) + "\n" + eof,
                 {{0xFFFFFFFF, 2}},
                 {{0xFFFFFFFF, {1, 2}}},
                 ""},
        ReadCase{"StartLinearAddress", ":04000005000123458E\n" + eof, {}, {}, "", true, 0x12345},
        ReadCase{"StartSegmentAddress", ":04000003F0001234C3\n" + eof, {}, {}, "", true, 0xF1234},
        ReadCase{"RepeatedAddressLaterByteWinsAndBlocksOverlap",
                 ihex(0, 0, {0xA0, 0xA1, 0xA2}) + "\n" + ihex(2, 0, {0xB2, 0xB3}) + "\n" + eof,
                 {{0, 3}, {2, 2}},
                 {{0, {0xA0, 0xA1, 0xB2, 0xB3}}},
                 ""},
        ReadCase{"SeparateBlocksComeSorted",
                 ihex(0x20, 0, {5, 6}) + "\n" + ihex(0x00, 0, {1}) + "\n" + ihex(0x01, 0, {2}) + "\n" + eof,
                 {{0, 2}, {0x20, 2}},
                 {{0, {1, 2}}, {0x20, {5, 6}}},
                 ""},
        ReadCase{"OnlyEmptyLinesBeforeTheEnd", "\n\n\n" + eof, {}, {}, ""},
        // As editors leave them; srec_cat and Python's intelhex read these too.
        ReadCase{"EmptyAndBlankLinesAfterTheEndOfFileRecord",
                 data4 + "\n" + eof + "\n\n \n\t\r\n",
                 {{0, 4}},
                 {{0, {1, 2, 3, 4}}},
                 ""}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Refusals, IntelHexRead,
    ::testing::Values(
        ReadCase{
            "EmptyFile", "", {}, {}, "file: %F was empty. Execution aboarded. The file was not parsed.\n"},
        ReadCase{"NoEndOfFileRecord",
                 data4 + "\n",
                 {},
                 {},
                 "file: %F has no intel format (last line mismatched). Execution aboarded. The file was not "
                 "parsed.\n"},
        // Only blank and comment lines may follow the end-of-file record.
        ReadCase{"OtherTextAfterTheEndOfFileRecord",
                 data4 + "\n" + eof + "\nend\n",
                 {},
                 {},
                 "file: %F has no intel format (last line mismatched). Execution aboarded. The file was not "
                 "parsed.\n"},
        ReadCase{"OnlyBlankLines",
                 "\n \n\t\n",
                 {},
                 {},
                 "file: %F has no intel format (last line mismatched). Execution aboarded. The file was not "
                 "parsed.\n"},
        ReadCase{"OnlyAByteOrderMark",
                 "\xEF\xBB\xBF",
                 {},
                 {},
                 "file: %F was empty. Execution aboarded. The file was not parsed.\n"},
        ReadCase{"WrongChecksumDiscardsEarlierData",
                 data4 + "\n:0400040001020304EF\n" + eof,
                 {},
                 {},
                 "file: %F line: :0400040001020304EF" + logicalError},
        // A damaged record line is a damaged record, never a line to pass over; blanks after it are no
        // damage, other text is.
        ReadCase{"TextAfterTheRecordAndABlank",
                 data4 + " 00\n" + eof,
                 {},
                 {},
                 "file: %F line: " + data4 + " 00" + logicalError},
        ReadCase{"OddNumberOfDigits",
                 ":0400000001020304F\n" + eof,
                 {},
                 {},
                 "file: %F line: :0400000001020304F" + logicalError},
        ReadCase{"CountLargerThanTheData",
                 ":0500000001020304F1\n" + eof,
                 {},
                 {},
                 "file: %F line: :0500000001020304F1" + logicalError},
        ReadCase{"ColonAlone", data4 + "\n:\n" + eof, {}, {}, "file: %F line: :" + logicalError},
        ReadCase{"NotHexadecimal",
                 ":04000000010203G4F2\n" + eof,
                 {},
                 {},
                 "file: %F line: :04000000010203G4F2" + logicalError},
        ReadCase{"RecordCodeAbove05",
                 ihex(0, 6, {}) + "\n" + eof,
                 {},
                 {},
                 "file: %F line: " + ihex(0, 6, {}) + logicalError},
        ReadCase{"EndOfFileRecordBeforeTheLastLine",
                 data4 + "\n" + eof + "\n" + eof,
                 {},
                 {},
                 "file: %F line: " + eof + logicalError},
        ReadCase{"ExtendedAddressWithFourBytes",
                 ihex(0, 4, {0, 1, 0, 0}) + "\n" + eof,
                 {},
                 {},
                 "file: %F line: " + ihex(0, 4, {0, 1, 0, 0}) + logicalError},
        ReadCase{"ExtendedAddressAtAnAddress",
                 ihex(0x10, 2, {0, 1}) + "\n" + eof,
                 {},
                 {},
                 "file: %F line: " + ihex(0x10, 2, {0, 1}) + logicalError},
        ReadCase{"StartAddressWithTwoBytes",
                 ihex(0, 5, {0, 1}) + "\n" + eof,
                 {},
                 {},
                 "file: %F line: " + ihex(0, 5, {0, 1}) + logicalError},
        ReadCase{"EndOfFileRecordWithAControlCharacter",
                 data4 + "\n" + eof + "\x01\n",
                 {},
                 {},
                 "file: %F has no intel format (last line mismatched). Execution aboarded. The file was not "
                 "parsed.\n"},
        // A line that is no record could have held data: the file is refused, the line named.
        ReadCase{"RecordWithoutItsColon",
                 data4 + "\n" + data4.substr(1) + "\n" + eof,
                 {},
                 {},
                 "file: %F line: " + data4.substr(1) + noMatch},
        ReadCase{"LineOfOtherText", data4 + "\nhello\n" + eof, {}, {}, "file: %F line: hello" + noMatch},
        ReadCase{"SRecordLine",
                 data4 + "\nS107000001020304EE\n" + eof,
                 {},
                 {},
                 "file: %F line: S107000001020304EE" + noMatch},
        ReadCase{"CommentWithAControlCharacter",
                 data4 + "\n; \x07\n" + eof,
                 {},
                 {},
                 "file: %F line: ; \\x07" + noMatch},
        // Control characters of a damaged line are shown, not sent to the terminal.
        ReadCase{"ControlCharactersAreShownEscaped",
                 ":04\x1b[2J\n" + eof,
                 {},
                 {},
                 "file: %F line: :04\\x1B[2J" + logicalError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IntelHexTest, StartAddressOfEarlierLinesStaysAfterALogicalError) {
    const std::string file =
        writeText("in.hex", ":04000005000123458E\n" + data4 + "\n:0400040001020304EF\n" + eof);
    CoutCapture out;
    const IntelHexInFile reader(file.c_str());
    EXPECT_TRUE(reader.hasStartAddress());
    EXPECT_EQ(reader.getStartAddress(), 0x12345u);
    EXPECT_TRUE(reader.getBlockList().empty());
}

TEST_F(IntelHexTest, MissingFileThrowsBadOpen) {
    EXPECT_THROW(IntelHexInFile(path("missing").c_str()), Io::bad_open);
}

}  // namespace
