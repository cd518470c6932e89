#include "hexfile/File.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "hexfile/IntelHexInFile.h"
#include "hexfile/MotorolaS_InFile.h"
#include "tests/hexfile/hexfile_test_support.h"

namespace {

using hexfile_test::CoutCapture;

class FileTest : public hexfile_test::HexfileTest {};

// Gives the protected byte list of a binary file to the tests.
class BinaryContent : public Io::BinaryInFile {
  public:
    using Io::BinaryInFile::BinaryInFile;
    const std::vector<char>& content() const { return bytes; }
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

// The last non-blank line of a text as the forward walk of LineCursor finds it, and the text before
// that line's first byte.
Io::LastNonBlankLine lastNonBlankLineWalkingForward(std::string_view text) {
    Io::LastNonBlankLine last;
    Io::LineCursor cursor(text);
    std::string_view line;
    while (cursor.next(line)) {
        if (!Io::isBlankLine(line)) {
            last = {true, line, text.substr(0, static_cast<std::size_t>(line.data() - text.data()))};
        }
    }
    return last;
}

TEST(LastNonBlankLine, TheLastLineThatIsNotBlankAndTheTextBeforeIt) {
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
    };
    const auto fields = [](const Io::LastNonBlankLine& last) {
        return std::make_tuple(last.found, std::string(last.line), std::string(last.before));
    };
    for (const Case& c : cases) {
        const Io::LastNonBlankLine last = Io::lastNonBlankLine(c.text);
        EXPECT_EQ(fields(last), std::make_tuple(c.found, c.line, c.before)) << testing::PrintToString(c.text);
        // The same lines as the forward walk splits them, at the same place in the text.
        const Io::LastNonBlankLine walked = lastNonBlankLineWalkingForward(c.text);
        EXPECT_EQ(fields(last), fields(walked)) << testing::PrintToString(c.text);
        EXPECT_EQ(last.line.data(), walked.line.data()) << testing::PrintToString(c.text);
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

TEST_F(FileTest, MissingOrUnreadableFilesThrowBadOpen) {
    for (const std::string& name : {path("missing"), path()}) {
        SCOPED_TRACE(name);
        try {
            Io::TextInFile file(name.c_str());
            FAIL() << "no exception";
        } catch (const Io::exception& e) {
            EXPECT_STREQ(e.what(), "Could not open file");
        }
        EXPECT_THROW(BinaryContent(name.c_str()), Io::bad_open);
    }
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

// Runs the action in a child process as the user nobody and gives its exit code; -1 when the child
// could not become nobody.
int asNobody(const std::function<int()>& action) {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) {
        return -1;
    }
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
            std::_Exit(100);
        }
        std::_Exit(action());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 100) {
        return -1;
    }
    return WEXITSTATUS(status);
}

struct SecondUserCase {
    const char* name;
    mode_t folderMode;  // of a folder of root's
    mode_t fileMode;    // of a file of root's in it
    bool written;
};

void PrintTo(const SecondUserCase& c, std::ostream* out) {
    *out << c.name;
}

class SecondUserWrite : public FileTest, public ::testing::WithParamInterface<SecondUserCase> {};

// Another user writes a file wherever a plain write would: the file keeps its owner, mode and name,
// and nothing is left beside it.
TEST_P(SecondUserWrite, WritesWhereAPlainWriteWould) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as a second user";
    }
    const SecondUserCase& c = GetParam();
    ASSERT_EQ(::chmod(path().c_str(), 0755), 0);
    const std::string folder = path("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const std::string file = writeText("folder/out", "old content that is longer than the new one\n");
    ASSERT_EQ(::chmod(file.c_str(), c.fileMode), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);

    const int result = asNobody([&] {
        try {
            Lines(file.c_str()).writeLines({"new\n"});
            return 0;
        } catch (const Io::bad_open&) {
            return 1;
        }
    });
    EXPECT_EQ(result, c.written ? 0 : 1);
    EXPECT_EQ(readText("folder/out"), c.written ? "new\n" : "old content that is longer than the new one\n");
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_mode & 07777, c.fileMode);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"out"});
}

INSTANTIATE_TEST_SUITE_P(Cases, SecondUserWrite,
                         ::testing::Values(SecondUserCase{"FolderThatTakesNoNewFile", 0755, 0666, true},
                                           SecondUserCase{"StickyFolderOfAnotherUser", 01777, 0666, true},
                                           SecondUserCase{"FileTheUserMayNotWrite", 0755, 0644, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileTest, AFailedWriteThrowsBadOpen) {
    // A device is written in place; a full one fails the write.
    EXPECT_THROW(Lines("/dev/full").writeLines({"x\n"}), Io::bad_open);
}

}  // namespace
