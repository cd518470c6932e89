#include "hexfile/File.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "hexfile/IntelHexInFile.h"
#include "hexfile/MotorolaS_InFile.h"
#include "tests/hexfile/file_system_fixtures.h"
#include "tests/hexfile/hexfile_test_support.h"
#include "tests/support/other_user.h"

namespace {

using hexfile_test::asNobody;
using hexfile_test::CoutCapture;
using hexfile_test::namesIn;
using hexfile_test::PrivateMounts;

class FileTest : public hexfile_test::HexfileTest {};

// Gives the protected byte list of a binary file to the tests.
class BinaryContent : public Io::BinaryInFile {
  public:
    using Io::BinaryInFile::BinaryInFile;
    std::vector<char> content() const { return {bytes.begin(), bytes.end()}; }
};

struct LinesCase {
    const char* name;
    std::string content;
    std::deque<std::string> lines;
};

void PrintTo(const LinesCase& c, std::ostream* out) {
    *out << c.name;
}

class TextLines : public FileTest, public ::testing::WithParamInterface<LinesCase> {};

TEST_P(TextLines, SplitAtLineFeedsWithoutTheCarriageReturnBeforeThem) {
    const std::string file = writeText("text", GetParam().content);
    EXPECT_EQ(Io::TextInFile(file.c_str()).getLines(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextLines,
    ::testing::Values(LinesCase{"CrLf", "a\r\nb", {"a", "b"}},
                      LinesCase{"EndsWithLineFeed", "a\nb\n", {"a", "b"}},
                      LinesCase{"TwoLineFeedsAtTheEnd", "a\n\n", {"a", ""}}, LinesCase{"Empty", "", {}},
                      LinesCase{"OnlyCrLf", "\r\n", {""}},
                      LinesCase{"CarriageReturnNotBeforeALineFeedStays", "a\rb\r", {"a\rb\r"}},
                      LinesCase{"CrCrLfDropsOnlyTheLast", "a\r\r\nb", {"a\r", "b"}},
                      LinesCase{"NulBytesAreText", std::string("a\0b\nc", 5), {std::string("a\0b", 3), "c"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The last line of a text that is neither blank nor a comment, as the forward walk of LineCursor
// finds it, and the text before that line's first byte.
Io::LastContentLine lastContentLineWalkingForward(std::string_view text) {
    Io::LastContentLine last;
    Io::LineCursor cursor(text);
    std::string_view line;
    while (cursor.next(line)) {
        if (!Io::isBlankLine(line) && !Io::isCommentLine(line)) {
            last = {true, line, text.substr(0, static_cast<std::size_t>(line.data() - text.data()))};
        }
    }
    return last;
}

TEST(LastContentLine, TheLastLineThatIsNeitherBlankNorACommentAndTheTextBeforeIt) {
    struct Case {
        std::string text;
        bool found;
        std::string line;
        std::string before;
    };
    const Case cases[] = {
        {"", false, "", ""},
        {"\n", false, "", ""},
        {" \t\r\n\r\n\n", false, "", ""},
        {"a", true, "a", ""},
        {"a\n", true, "a", ""},
        {"a\r\n", true, "a", ""},
        {"a\r", true, "a\r", ""},
        {"a\r\r\n", true, "a\r", ""},
        {"a\nb", true, "b", "a\n"},
        {"a\r\nb\r\n", true, "b", "a\r\n"},
        {"a\nb\n\n \r\n\t", true, "b", "a\n"},
        {"\n\nx\n", true, "x", "\n\n"},
        {std::string("a\0\nb", 4), true, "b", std::string("a\0\n", 3)},
        {std::string("b\0", 2), true, std::string("b\0", 2), ""},
        {"a\n; end\n  # note\r\n\t// more\n", true, "a", ""},
        {"; only\n/ comments\n", false, "", ""},
        // A line with bytes that text does not hold is no comment.
        {std::string("a\n;\x01\n", 5), true, std::string(";\x01", 2), "a\n"},
    };
    const auto fields = [](const Io::LastContentLine& last) {
        return std::make_tuple(last.found, std::string(last.line), std::string(last.before));
    };
    for (const Case& c : cases) {
        const Io::LastContentLine last = Io::lastContentLine(c.text);
        EXPECT_EQ(fields(last), std::make_tuple(c.found, c.line, c.before)) << testing::PrintToString(c.text);
        // The same lines as the forward walk splits them, at the same place in the text.
        const Io::LastContentLine walked = lastContentLineWalkingForward(c.text);
        EXPECT_EQ(fields(last), fields(walked)) << testing::PrintToString(c.text);
        EXPECT_EQ(last.line.data(), walked.line.data()) << testing::PrintToString(c.text);
    }
}

// With a carriage return alone as a line end too, as record files are read.
TEST(LineCursor, ACarriageReturnAloneEndsALineWhereAnyBreakEndsLines) {
    const struct {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\rb\r", {"a", "b"}},     {"a\r\nb", {"a", "b"}}, {"a\r\r\nb", {"a", "", "b"}},
        {"a\r\rb", {"a", "", "b"}}, {"\r", {""}},           {"a\rb\nc\r\n", {"a", "b", "c"}},
        {"a\n\rb", {"a", "", "b"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines;
        Io::LineCursor cursor(c.text, Io::LineEnds::anyBreak);
        std::string_view line;
        while (cursor.next(line)) {
            lines.emplace_back(line);
        }
        EXPECT_EQ(lines, c.lines) << testing::PrintToString(c.text);
    }
    const Io::LastContentLine last = Io::lastContentLine("a\rb\r\r \r", Io::LineEnds::anyBreak);
    EXPECT_EQ(std::string(last.line), "b");
    EXPECT_EQ(std::string(last.before), "a\r");
}

// The backward walk gives the lines of the forward walk, last first, in either way of ending lines.
TEST(ReverseLineCursor, GivesTheLinesOfTheForwardWalkInReverse) {
    for (const Io::LineEnds ends : {Io::LineEnds::lineFeed, Io::LineEnds::anyBreak}) {
        for (const std::string text : {"", "a", "a\n", "a\r\nb", "\n\n", "a\n\nb\r\r\n\n", "x\ry\n\n z", "\r",
                                       "a\rb\r", "a\r\rb\r\n\r", "\r\n\r\r\n"}) {
            std::vector<std::string> forward;
            Io::LineCursor cursor(text, ends);
            std::string_view line;
            while (cursor.next(line)) {
                forward.emplace_back(line);
            }
            std::vector<std::string> backward;
            Io::ReverseLineCursor reverse(text, ends);
            while (reverse.next(line)) {
                backward.emplace_back(line);
                // What is before the line ends where the line begins.
                EXPECT_EQ(reverse.before().data() + reverse.before().size(), line.data());
            }
            std::reverse(backward.begin(), backward.end());
            EXPECT_EQ(backward, forward) << testing::PrintToString(text);
        }
    }
}

// Every byte value, alone among text at the places where the wide test and the byte-wise rest meet:
// a file holds only text exactly when each of its bytes is one that text holds.
TEST(TextBytes, AFileHoldsOnlyTextWhenEveryByteIsText) {
    for (int value = 0; value < 256; ++value) {
        const char c = static_cast<char>(value);
        const bool text = (value >= 0x20 && value != 0x7F) || (value >= '\t' && value <= '\r');
        EXPECT_EQ(Io::isTextByte(c), text) << value;
        for (const std::size_t at : {0u, 15u, 16u, 255u, 256u, 257u, 299u}) {
            std::string sample(300, 'a');
            sample[at] = c;
            EXPECT_EQ(Io::holdsOnlyText(sample), text) << value << " at " << at;
            EXPECT_EQ(Io::holdsOnlyText(std::string_view(sample).substr(0, at + 1)), text)
                << value << " at " << at;
        }
    }
    EXPECT_TRUE(Io::holdsOnlyText(""));
}

TEST(TextMarks, ByteOrderMarksBeforeAndEndOfFileBytesAfterAreLeftOut) {
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        std::string text;
        std::string without;
    } cases[] = {
        {bom + ":x\n", ":x\n"},
        {bom + bom + ":x\n", ":x\n"},
        {":x\n\x1A", ":x\n"},
        {":x\r\n\x1A\r\n", ":x\r\n"},
        {":x\n\x1A\x1A \n\x1A\n", ":x\n"},
        {":x \t\x1A", ":x \t"},
        // An end-of-file byte with text after it is part of the text.
        {":x\x1Ay\n", ":x\x1Ay\n"},
        {"\x1A:x\n", "\x1A:x\n"},
        {":x \n\n", ":x \n\n"},
        {"\x1A\n", ""},
        {":x" + bom, ":x" + bom},
        // NUL and 0xFF bytes after the last line are padding too, as 0x1A is.
        {":x\n" + std::string(64, '\0'), ":x\n"},
        {":x" + std::string(3, '\0'), ":x"},
        {":x\n" + std::string(40, '\xFF'), ":x\n"},
        {":x\r\n" + std::string("\0\0\n\x1A\xFF \n", 8), ":x\r\n"},
        {std::string(":x\n\0:y\n", 7), std::string(":x\n\0:y\n", 7)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Io::withoutTextMarks(c.text), c.without) << testing::PrintToString(c.text);
    }
}

// A UTF-16 text with its byte-order mark, either byte order, becomes UTF-8 without the mark; bytes that
// are no such text are left as they are.
TEST(Utf16Text, IsDecodedWithItsByteOrderMark) {
    const auto decoded = [](const std::string& bytes) -> std::optional<std::string> {
        std::vector<char, Io::LargeAllocator<char>> text;
        if (!Io::decodeUtf16(bytes, text)) {
            return std::nullopt;
        }
        return std::string(text.begin(), text.end());
    };
    EXPECT_EQ(decoded(std::string("\xFF\xFE:\0\r\0\n\0", 8)), ":\r\n");
    EXPECT_EQ(decoded(std::string("\xFE\xFF\0S\0"
                                  "9",
                                  6)),
              "S9");
    EXPECT_EQ(decoded(std::string("\xFF\xFE\xFC\0\xAC\x20", 6)), "\xC3\xBC\xE2\x82\xAC");
    // A surrogate pair: U+1F600.
    EXPECT_EQ(decoded(std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6)), "\xF0\x9F\x98\x80");
    EXPECT_EQ(decoded("\xFF\xFE"), "");
    EXPECT_EQ(decoded(std::string("\xFF\xFE:\0:", 5)), std::nullopt);
    EXPECT_EQ(decoded(std::string("\xFF\xFE\x3D\xD8:\0", 6)), std::nullopt);
    EXPECT_EQ(decoded(std::string("\xFF\xFE\x00\xDE", 4)), std::nullopt);
    EXPECT_EQ(decoded(":\0\n\0"), std::nullopt);
    EXPECT_EQ(decoded("\xEF\xBB\xBF:"), std::nullopt);
}

TEST(CommentLines, BeginWithASemicolonAHashOrASlashAndHoldText) {
    const struct {
        std::string line;
        bool comment;
    } cases[] = {
        {"; end of file", true},
        {"# made by hand", true},
        {"// note", true},
        {"/", true},
        {"  \t; indented", true},
        {";", true},
        {"", false},
        {"  ", false},
        {":00000001FF", false},
        {"S9030000FC", false},
        {"end", false},
        {std::string("; \0", 3), false},
        {"; \x1B[2J", false},
        {"; Pr\xC3\xBC"
         "fsumme",
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Io::isCommentLine(c.line), c.comment) << testing::PrintToString(c.line);
    }
}

// A reader that has parsed its file still answers for its lines.
TEST_F(FileTest, ReadersKeepTheirLines) {
    const std::string intelHex = writeText("in.hex", ":0400000001020304F2\r\n\n:00000001FF");
    const std::string sRecords = writeText("in.s19", "S107000001020304EE\nS9030000FC\n");
    const std::string empty = writeText("empty", "");
    CoutCapture out;
    const Io::Import::IntelHexInFile intelHexReader(intelHex.c_str());
    const Io::Import::MotorolaS_InFile sRecordReader(sRecords.c_str());
    const Io::Import::IntelHexInFile emptyReader(empty.c_str());
    EXPECT_TRUE(intelHexReader.hasLines());
    EXPECT_EQ(intelHexReader.getLines(), (std::deque<std::string>{":0400000001020304F2", "", ":00000001FF"}));
    EXPECT_TRUE(sRecordReader.hasLines());
    EXPECT_EQ(sRecordReader.getLines(), (std::deque<std::string>{"S107000001020304EE", "S9030000FC"}));
    EXPECT_FALSE(emptyReader.hasLines());
    EXPECT_TRUE(emptyReader.getLines().empty());

    // Lines of a file that has changed since it was read are not given for its own.
    writeText("in.s19", "S107000001020304EE\n");
    EXPECT_THROW(sRecordReader.getLines(), Io::bad_open);
    std::filesystem::remove(intelHex);
    EXPECT_THROW(intelHexReader.getLines(), Io::bad_open);
}

TEST_F(FileTest, BinaryFileGivesEveryByte) {
    const std::string bytes("\x0A\x0D\x1A\x00\xFF\r\n", 7);
    EXPECT_EQ(BinaryContent(writeText("bin", bytes).c_str()).content(),
              std::vector<char>(bytes.begin(), bytes.end()));
    EXPECT_TRUE(BinaryContent(writeText("empty", "").c_str()).content().empty());
}

// The message names the file and says why.
TEST_F(FileTest, MissingOrUnreadableFilesThrowBadOpen) {
    const std::pair<std::string, std::string> cases[] = {
        {path("missing"), "No such file or directory"},
        {path(), "Is a directory"},
        {path("missing/in.hex"), "No such file or directory"},
    };
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        try {
            Io::TextInFile file(name.c_str());
            FAIL() << "no exception";
        } catch (const Io::exception& e) {
            EXPECT_EQ(std::string(e.what()), "Could not open file " + name + ": " + reason);
        }
        EXPECT_THROW(BinaryContent(name.c_str()), Io::bad_open);
    }
    EXPECT_STREQ(Io::bad_open().what(), "Could not open file");
}

// Writes the entries as a writer's file would.
class Lines : public Io::TextOutFile {
  public:
    using Io::TextOutFile::TextOutFile;
};

TEST_F(FileTest, WriteLinesReplacesTheWholeFile) {
    const std::string file = writeText("out", "old content that is longer than the new one\n");
    ::chmod(file.c_str(), 0640);
    Lines(file.c_str()).writeLines({"first\n", "sec", "ond\n"});
    EXPECT_EQ(readText("out"), "first\nsecond\n");
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    // Nothing is left beside the file.
    EXPECT_EQ(entries(), std::vector<std::string>{"out"});
}

TEST_F(FileTest, WriteLinesCreatesAMissingFile) {
    Lines(path("new").c_str()).writeLines({});
    EXPECT_EQ(entries(), std::vector<std::string>{"new"});
    EXPECT_EQ(readText("new"), "");
}

TEST_F(FileTest, WriteLinesIntoAMissingDirectoryThrowsAndCreatesNothing) {
    EXPECT_THROW(Lines(path("no/such/dir/out").c_str()).writeLines({"x\n"}), Io::bad_open);
    EXPECT_TRUE(entries().empty());
}

TEST_F(FileTest, WriteLinesThroughALinkReplacesTheFileItNames) {
    const std::string target = writeText("target", "old\n");
    std::filesystem::create_symlink(target, path("link"));
    Lines(path("link").c_str()).writeLines({"new\n"});
    EXPECT_TRUE(std::filesystem::is_symlink(path("link")));
    EXPECT_EQ(readText("target"), "new\n");
}

TEST_F(FileTest, WriteLinesKeepsOtherHardLinksOnTheFile) {
    const std::string file = writeText("out", "old content that is longer than the new one\n");
    ASSERT_EQ(::link(file.c_str(), path("other").c_str()), 0);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    Lines(file.c_str()).writeLines({"new\n"});
    EXPECT_EQ(readText("out"), "new\n");
    EXPECT_EQ(readText("other"), "new\n");
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(entries().size(), 2u);
}

// The lines written as nobody: 0 when written, 1 when refused with bad_open.
int writeAsNobody(const std::string& file, const std::deque<std::string>& lines) {
    return asNobody([&] {
        try {
            Lines(file.c_str()).writeLines(lines);
            return 0;
        } catch (const Io::bad_open&) {
            return 1;
        }
    });
}

enum class Owner { root, user };

struct SecondUserCase {
    const char* name;
    Owner folderOwner;
    mode_t folderMode;
    Owner fileOwner;
    mode_t fileMode;
    bool written;
};

void PrintTo(const SecondUserCase& c, std::ostream* out) {
    *out << c.name;
}

class SecondUserWrite : public testing_support::WithOtherUser<FileTest>,
                        public ::testing::WithParamInterface<SecondUserCase> {};

// Another user (nobody) writes a file where a plain write would, and only there: the file keeps its
// owner, mode and name, and nothing is left beside it. A file the user may not write stays as it was,
// also in a folder where the user could replace it.
TEST_P(SecondUserWrite, WritesWhereAPlainWriteWouldAndOnlyThere) {
    const SecondUserCase& c = GetParam();
    const auto uidOf = [&](Owner owner) { return owner == Owner::root ? 0 : user->uid; };
    const auto gidOf = [&](Owner owner) { return owner == Owner::root ? 0 : user->gid; };
    const std::string old = "old content that is longer than the new one\n";
    ASSERT_EQ(::chmod(path().c_str(), 0755), 0);
    const std::string folder = path("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const std::string file = writeText("folder/out", old);
    ASSERT_EQ(::chown(file.c_str(), uidOf(c.fileOwner), gidOf(c.fileOwner)), 0);
    ASSERT_EQ(::chmod(file.c_str(), c.fileMode), 0);
    ASSERT_EQ(::chown(folder.c_str(), uidOf(c.folderOwner), gidOf(c.folderOwner)), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);

    EXPECT_EQ(writeAsNobody(file, {"new\n"}), c.written ? 0 : 1);
    EXPECT_EQ(readText("folder/out"), c.written ? "new\n" : old);
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, uidOf(c.fileOwner));
    EXPECT_EQ(status.st_gid, gidOf(c.fileOwner));
    EXPECT_EQ(status.st_mode & 07777, c.fileMode);
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"out"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecondUserWrite,
    ::testing::Values(
        SecondUserCase{"FolderThatTakesNoNewFile", Owner::root, 0755, Owner::root, 0666, true},
        SecondUserCase{"StickyFolderOfAnotherUser", Owner::root, 01777, Owner::root, 0666, true},
        SecondUserCase{"FileTheUserMayNotWrite", Owner::root, 0755, Owner::root, 0644, false},
        SecondUserCase{"OwnReadOnlyFileInOwnFolder", Owner::user, 0755, Owner::user, 0444, false},
        SecondUserCase{"AnotherUsersFileInOwnFolder", Owner::user, 0755, Owner::root, 0644, false},
        SecondUserCase{"AnotherUsersWritableFileInOwnFolder", Owner::user, 0755, Owner::root, 0666, true},
        SecondUserCase{"OwnFileInOwnFolder", Owner::user, 0755, Owner::user, 0640, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Root's file in a sticky folder on a small file system, written by nobody with more than half the
// room: a replacement cannot be made there (nobody may not rename over root's file), so the file is
// written in place from the start, as a plain write would do, and takes the whole new content.
TEST_F(FileTest, SecondUserWriteInAStickyFolderOfASmallFileSystem) {
    if (!testing_support::nobodyUser()) {
        GTEST_SKIP() << "needs the superuser, to run a process as another user";
    }
    PrivateMounts mounts;
    if (const std::string why = mounts.unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    ASSERT_EQ(::chmod(path().c_str(), 0755), 0);
    const std::string folder = path("small");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(mounts.smallFileSystem(folder, 1 << 20, 01777)) << std::strerror(errno);
    const std::string file = writeText("small/out", std::string(300 << 10, 'o'));
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);

    const std::string text(600 << 10, 'n');
    EXPECT_EQ(writeAsNobody(file, {text}), 0);
    EXPECT_TRUE(readText("small/out") == text) << readText("small/out").size() << " bytes";
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_mode & 07777, 0666u);
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"out"});
}

// A target that a rename cannot replace (a file mounted on it) takes a copy of the complete text.
// Where the copy fails, the complete text stays in the temporary file, which the message names.
TEST_F(FileTest, ACopyThatFailsKeepsTheCompleteTextAndNamesIt) {
    PrivateMounts mounts;
    if (const std::string why = mounts.unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const std::string text(200 << 10, 'n');
    for (const bool room : {true, false}) {
        SCOPED_TRACE(room ? "room for the copy" : "no room for the copy");
        const std::string where = room ? "large" : "tiny";
        const std::string folder = path(where);
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        ASSERT_TRUE(mounts.smallFileSystem(folder, room ? 1 << 20 : 64 << 10, 0755)) << std::strerror(errno);
        writeText(where + "/backing", "old\n");
        const std::string target = writeText(where + ".out", "");
        ASSERT_TRUE(mounts.bind(folder + "/backing", target)) << std::strerror(errno);

        CoutCapture out;
        if (room) {
            Lines(target.c_str()).writeLines({text});
            EXPECT_EQ(out.take(), "");
            EXPECT_TRUE(readText(where + "/backing") == text);
            EXPECT_EQ(namesIn(path()), (std::vector<std::string>{"large", "large.out"}));
            continue;
        }
        // No room for the copy: the target is left as it was, and the text is kept.
        try {
            Lines(target.c_str()).writeLines({text});
            FAIL() << "no exception";
        } catch (const Io::bad_open& e) {
            EXPECT_EQ(std::string(e.what()), "Could not open file " + target + ": no room for the " +
                                                 std::to_string(text.size()) +
                                                 " bytes of its new content (No space left on device); it "
                                                 "was left as it was");
        }
        EXPECT_EQ(readText(where + "/backing"), "old\n");
        const std::string message = out.take();
        const std::string lead = "TextOutFile(writeFile-Operation). The file (" + target +
                                 ") was left as it was.\n  Its complete content was kept in (";
        ASSERT_EQ(message.substr(0, lead.size()), lead) << message;
        ASSERT_EQ(message.substr(message.size() - 3), ").\n") << message;
        const std::string kept = message.substr(lead.size(), message.size() - 3 - lead.size());
        EXPECT_EQ(kept.substr(0, path().size() + 1), path() + "/") << kept;
        EXPECT_TRUE(readText(kept.substr(path().size() + 1)) == text);
        EXPECT_EQ(namesIn(path()).size(), 5u);  // large, large.out, tiny, tiny.out and the kept file
    }
}

struct LinkCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link name, what it names
    std::vector<std::string> folders;
    std::string written;  // the file that takes the text; empty when the write fails
};

void PrintTo(const LinkCase& c, std::ostream* out) {
    *out << c.name;
}

class LinkWrite : public FileTest, public ::testing::WithParamInterface<LinkCase> {};

// A link that names a missing file is written through, as a plain write would do: the file it names is
// created and the link stays. Where a plain write fails, so does this one, and nothing is created.
TEST_P(LinkWrite, WritesThroughALinkToAMissingFile) {
    const LinkCase& c = GetParam();
    for (const std::string& folder : c.folders) {
        std::filesystem::create_directory(path(folder));
    }
    for (const auto& [link, named] : c.links) {
        std::filesystem::create_symlink(named, path(link));
    }
    const std::string link = path(c.links.front().first);
    if (c.written.empty()) {
        EXPECT_THROW(Lines(link.c_str()).writeLines({"new\n"}), Io::bad_open);
    } else {
        Lines(link.c_str()).writeLines({"new\n"});
        EXPECT_EQ(readText(c.written), "new\n");
    }
    for (const auto& [name, named] : c.links) {
        EXPECT_TRUE(std::filesystem::is_symlink(path(name))) << name;
        EXPECT_EQ(std::filesystem::read_symlink(path(name)).string(), named);
    }
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path())) {
        files += std::filesystem::is_regular_file(entry.symlink_status()) ? 1 : 0;
    }
    EXPECT_EQ(files, c.written.empty() ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkWrite,
    ::testing::Values(LinkCase{"ToAMissingFile", {{"link", "missing"}}, {}, "missing"},
                      LinkCase{"ToAMissingFileInAFolder", {{"link", "sub/missing"}}, {"sub"}, "sub/missing"},
                      LinkCase{"ThroughALinkInAFolder",
                               {{"link", "sub/inner"}, {"sub/inner", "../missing"}},
                               {"sub"},
                               "missing"},
                      LinkCase{"ToAFileInAMissingFolder", {{"link", "nowhere/missing"}}, {}, ""},
                      LinkCase{"InALoop", {{"link", "other"}, {"other", "link"}}, {}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A link of the system's own that names no path, such as the one of an open pipe, is opened as it
// stands, as a plain write opens it.
TEST_F(FileTest, WritesThroughALinkToAPipe) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    Lines(("/proc/self/fd/" + std::to_string(ends[1])).c_str()).writeLines({"through ", "the pipe\n"});
    ::close(ends[1]);
    char received[64] = {};
    const ssize_t got = ::read(ends[0], received, sizeof received);
    ::close(ends[0]);
    EXPECT_EQ(std::string(received, got > 0 ? static_cast<std::size_t>(got) : 0), "through the pipe\n");
    EXPECT_TRUE(entries().empty());
}

TEST_F(FileTest, AFailedWriteThrowsBadOpen) {
    // A device is written in place; a full one fails the write.
    EXPECT_THROW(Lines("/dev/full").writeLines({"x\n"}), Io::bad_open);
}

}  // namespace
