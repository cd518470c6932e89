// A file that the writers must write in place (its owner or group cannot be given to a new file, its
// folder takes no new file, it has a second hard link) on a file system that is nearly full: the file
// gets the room for its new text before its first byte is overwritten, so where there is no room it is
// left as it was and the write fails naming the file and why; where there is room it holds exactly the
// new text. Written by another user (nobody) on a small tmpfs of the test's own.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "hexfile/File.h"
#include "hexfile/IntelHexOutFile.h"
#include "hexfile/MemoryBuffer.h"
#include "tests/hexfile/file_system_fixtures.h"
#include "tests/hexfile/hexfile_test_support.h"
#include "tests/support/other_user.h"

namespace {

using hexfile_test::asNobody;
using hexfile_test::namesIn;
using hexfile_test::PrivateMounts;

class Lines : public Io::TextOutFile {
  public:
    using Io::TextOutFile::TextOutFile;
};

enum class Layout {
    ownFileOfRootsGroup,  // nobody's folder, the file nobody:root
    rootsFileInReadOnlyFolder,
    rootsFileInStickyFolder,
    ownFileWithASecondLink,  // nobody's folder, nobody's file and another name for it
};

struct InPlaceCase {
    const char* name;
    Layout layout;
};

void PrintTo(const InPlaceCase& c, std::ostream* out) {
    *out << c.name;
}

class InPlaceWrite : public testing_support::WithOtherUser<hexfile_test::HexfileTest>,
                     public ::testing::WithParamInterface<InPlaceCase> {
  protected:
    // A tmpfs of that many bytes at "small", the folder and the file laid out in it, the file holding
    // old and taking the room left free but free bytes.
    void layOut(Layout layout, std::size_t fileSystem, const std::string& old, std::size_t free) {
        if (const std::string why = mounts.unavailable(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        ASSERT_EQ(::chmod(path().c_str(), 0755), 0);
        const std::string small = path("small");
        ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
        ASSERT_TRUE(mounts.smallFileSystem(small, fileSystem, 0755)) << std::strerror(errno);
        folder = small + "/folder";
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        file = writeText("small/folder/out", old);
        const uid_t nobody = user->uid;
        const gid_t nobodyGroup = user->gid;
        switch (layout) {
            case Layout::ownFileOfRootsGroup:
                ASSERT_EQ(::chown(folder.c_str(), nobody, nobodyGroup), 0);
                ASSERT_EQ(::chown(file.c_str(), nobody, 0), 0);
                ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
                break;
            case Layout::rootsFileInReadOnlyFolder:
                ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
                break;
            case Layout::rootsFileInStickyFolder:
                ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
                ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
                break;
            case Layout::ownFileWithASecondLink:
                ASSERT_EQ(::chown(folder.c_str(), nobody, nobodyGroup), 0);
                ASSERT_EQ(::chown(file.c_str(), nobody, nobodyGroup), 0);
                ASSERT_EQ(::link(file.c_str(), (folder + "/other").c_str()), 0);
                break;
        }
        ASSERT_EQ(::stat(file.c_str(), &before), 0);
        names = namesIn(folder);
        // The rest of the file system but free bytes goes to a filler beside the folder.
        struct stat filled {};
        std::string filler;
        ASSERT_EQ(::stat(file.c_str(), &filled), 0);
        const std::size_t used = static_cast<std::size_t>(filled.st_blocks) * 512;
        ASSERT_GT(fileSystem, used + free);
        writeText("small/filler", std::string(fileSystem - used - free, 'f'));
    }

    // The write as nobody: 0 written, 1 refused with the message expected, 2 another message.
    int writeAsNobody(const std::function<void()>& write, const std::string& expected) {
        return asNobody([&] {
            try {
                write();
                return 0;
            } catch (const Io::bad_open& e) {
                return e.what() == expected ? 1 : 2;
            }
        });
    }

    // The file as laid out: owner, group, mode, inode and the names in its folder; content as given.
    void expectFile(const std::string& content) {
        EXPECT_TRUE(readText("small/folder/out") == content)
            << readText("small/folder/out").size() << " bytes";
        if (::access((folder + "/other").c_str(), F_OK) == 0) {
            EXPECT_TRUE(readText("small/folder/other") == content);
        }
        struct stat after {};
        ASSERT_EQ(::stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(namesIn(folder), names);
    }

    std::string noRoom(std::size_t bytes) const {
        return "Could not open file " + file + ": no room for the " + std::to_string(bytes) +
               " bytes of its new content (No space left on device); it was left as it was";
    }

    PrivateMounts mounts;
    std::string folder;
    std::string file;
    struct stat before {};
    std::vector<std::string> names;
};

const std::string oldText(300 << 10, 'o');

TEST_P(InPlaceWrite, WithoutRoomForTheNewTextTheFileIsLeftAsItWas) {
    layOut(GetParam().layout, 1 << 20, oldText, 100 << 10);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    const std::string text(600 << 10, 'n');
    EXPECT_EQ(writeAsNobody([&] { Lines(file.c_str()).writeLines({text}); }, noRoom(text.size())), 1);
    expectFile(oldText);
}

TEST_P(InPlaceWrite, WithRoomTheFileHoldsExactlyTheNewText) {
    layOut(GetParam().layout, 1 << 20, oldText, 100 << 10);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    // Shorter than the old text, and then longer: the file is cut to the text and grows to it.
    for (const std::size_t size : {200u << 10, 380u << 10}) {
        const std::string text(size, static_cast<char>('a' + size % 26));
        EXPECT_EQ(writeAsNobody([&] { Lines(file.c_str()).writeLines({"x", text}); }, ""), 0);
        expectFile("x" + text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InPlaceWrite,
    ::testing::Values(InPlaceCase{"OwnFileOfRootsGroup", Layout::ownFileOfRootsGroup},
                      InPlaceCase{"RootsFileInAReadOnlyFolder", Layout::rootsFileInReadOnlyFolder},
                      InPlaceCase{"RootsFileInAStickyFolder", Layout::rootsFileInStickyFolder},
                      InPlaceCase{"OwnFileWithASecondLink", Layout::ownFileWithASecondLink}),
    [](const auto& info) { return std::string(info.param.name); });

// An Intel HEX file of more text than the writer hands on at once: the whole of it is held until it
// has its room, so no part of the old file is overwritten when it has none.
TEST_P(InPlaceWrite, AWriterOfALargeFileLeavesItAsItWasWithoutRoom) {
    const std::string old(1536 << 10, 'o');
    layOut(GetParam().layout, 4 << 20, old, 512 << 10);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    const Buffer::MemoryBuffer image = hexfile_test::imageOf(0x10000000, hexfile_test::counting(1 << 20));
    Io::Export::IntelHexOutFile writer(file.c_str(), {false, 16});
    writer.insertMemoryBuffer(image);
    // 65536 data records of 44 characters, 16 address records of 16 and the end of 12.
    const std::size_t size = 65536 * 44 + 16 * 16 + 12;
    EXPECT_EQ(writeAsNobody([&] { writer.writeFile(); }, noRoom(size)), 1);
    expectFile(old);
}

}  // namespace
