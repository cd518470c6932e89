#include "hexfile/File.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>
#include <string>
#include <vector>

#include "tests/hexfile/hexfile_test_support.h"

namespace {

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
    const std::string file = write("text", GetParam().content);
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

TEST_F(FileTest, BinaryFileGivesEveryByte) {
    const std::string bytes("\x0A\x0D\x1A\x00\xFF\r\n", 7);
    EXPECT_EQ(BinaryContent(write("bin", bytes).c_str()).content(),
              std::vector<char>(bytes.begin(), bytes.end()));
    EXPECT_TRUE(BinaryContent(write("empty", "").c_str()).content().empty());
}

TEST_F(FileTest, MissingOrUnreadableFilesThrowBadOpen) {
    for (const std::string& name : {path("missing"), directory.string()}) {
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
    const std::string file = write("out", "old content that is longer than the new one\n");
    ::chmod(file.c_str(), 0640);
    Lines(file.c_str()).writeLines({"first\n", "sec", "ond\n"});
    EXPECT_EQ(read("out"), "first\nsecond\n");
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    // Nothing is left beside the file.
    EXPECT_EQ(entries(), std::vector<std::string>{"out"});
}

TEST_F(FileTest, WriteLinesCreatesAMissingFile) {
    Lines(path("new").c_str()).writeLines({});
    EXPECT_EQ(entries(), std::vector<std::string>{"new"});
    EXPECT_EQ(read("new"), "");
}

TEST_F(FileTest, WriteLinesIntoAMissingDirectoryThrowsAndCreatesNothing) {
    EXPECT_THROW(Lines(path("no/such/dir/out").c_str()).writeLines({"x\n"}), Io::bad_open);
    EXPECT_TRUE(entries().empty());
}

TEST_F(FileTest, WriteLinesThroughALinkReplacesTheFileItNames) {
    const std::string target = write("target", "old\n");
    std::filesystem::create_symlink(target, path("link"));
    Lines(path("link").c_str()).writeLines({"new\n"});
    EXPECT_TRUE(std::filesystem::is_symlink(path("link")));
    EXPECT_EQ(read("target"), "new\n");
}

TEST_F(FileTest, AFailedWriteThrowsBadOpen) {
    // A device is written in place; a full one fails the write.
    EXPECT_THROW(Lines("/dev/full").writeLines({"x\n"}), Io::bad_open);
}

}  // namespace
