// The input files of the standard programs' planner: a file read as raw binary is named once, when it
// is read, and a FIFO (a file that can be read only once) is read whole.

#include <gtest/gtest.h>

#include <ios>
#include <string>

#include "app/FlashFile.h"
#include "console/console.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/text_feed.h"

namespace apptest {
namespace {

using ecutest::counting;
using ecutest::StreamCapture;

TEST(FlashFileInput, ARawBinaryFileIsNamedOnceWhenItIsRead) {
    ScratchDir dir;
    const std::string raw = dir.writeText("readme.txt", "# A text file, no records\n");
    const std::string records = writeHexFile(dir, "in.hex", {{0x1000, counting(16)}});
    StreamCapture out;
    // The count is decimal whatever base the stream is left in, and the base stays.
    warningOut << std::hex;
    FlashFile file(raw);
    file.scanBlocks();
    file.scanBlocks();
    std::vector<uint8_t> bytes;
    uint64_t start = 0;
    uint64_t length = 0;
    ASSERT_TRUE(file.readRange(bytes, start, length));
    EXPECT_EQ(out.warning(), "    " + raw + " read as raw binary: 26 bytes from 0x0\n");
    EXPECT_TRUE((warningOut.flags() & std::ios::hex) != 0);
    EXPECT_EQ(bytes.size(), 26u);

    file.setFileName(records);
    file.scanBlocks();
    EXPECT_EQ(out.warning(), "    " + raw + " read as raw binary: 26 bytes from 0x0\n");
}

TEST(FlashFileInput, AFifoIsReadWhole) {
    ScratchDir dir;
    const std::string source = writeHexFile(dir, "in.hex", {{0x1000, counting(300)}, {0x2000, counting(5)}});
    const std::string text = dir.readText("in.hex");
    const testing_support::Feed feed(dir.path("fifo"), text);
    ASSERT_FALSE(feed.path().empty());
    StreamCapture out;
    FlashFile file(feed.path());
    std::vector<uint8_t> bytes;
    uint64_t start = 0;
    uint64_t length = 0;
    ASSERT_TRUE(file.readRange(bytes, start, length)) << out.normal();
    EXPECT_EQ(start, 0x1000u);
    EXPECT_EQ(length, 0x1005u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 300), counting(300));
    EXPECT_EQ(Bytes(bytes.begin() + 0x1000, bytes.end()), counting(5));
    // The blocks come from the same reading.
    uint64_t blockLength = 0;
    EXPECT_TRUE(file.containsRange(0x2000, blockLength, true));
    EXPECT_EQ(blockLength, 5u);
}

}  // namespace
}  // namespace apptest
