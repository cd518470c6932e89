// The input and output files of the KES2 and DRO programs: a file's span is checked against what the
// step can hold before an image of it is built (a file with far apart blocks costs neither memory nor
// time); a file read as raw binary is named; a file that can be read only once is read once; a read
// whose file cannot be written says so, naming the file.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>

#include "app/kes2dro/Kes2DroFrame.h"
#include "app/kes2dro/Kes2DroHelpers.h"
#include "tests/app/kes2dro/Kes2DroTestSupport.h"
#include "tests/ecu/PacketBytes.h"
#include "tests/hexfile/hexfile_test_support.h"
#include "tests/support/text_feed.h"

namespace kes2dro_test {
namespace {

using apptest::FileRun;
using apptest::ScratchDir;
using apptest::writeHexFile;
using ecutest::slice;
using ecutest::StreamCapture;

// The peak memory of this process so far, in KiB.
long peakKiB() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Four bytes at 0x70000 and four 256 MiB above: an image of the span would take gigabytes.
const std::vector<FileRun> kFarApart = {{0x70000, {1, 2, 3, 4}}, {0x10070000, {5, 6, 7, 8}}};
constexpr long kMostGrowthKiB = 64 << 10;

TEST(Kes2DroRamRoutine, AFileSpanningMoreThanARoutineIsRefusedBeforeItsImage) {
    struct Case {
        std::string label;
        std::vector<FileRun> file;
        bool uploaded;
        std::string message;    // %F stands for the file name
        std::string text = "";  // the file's text, when the writer would not write it
    };
    const Case cases[] = {
        {"16 MiB", {{0x1000, {1}}, {0x1000FFF, {2}}}, true, ""},
        {"one byte more",
         {{0x1000, {1}}, {0x1001000, {2}}},
         false,
         "Error: RAM routine %F spans 0x1000001 bytes from 0x1000, more than the 0x1000000 bytes a RAM "
         "routine "
         "may hold: nothing uploaded\n"},
        {"blocks far apart", kFarApart, false,
         "Error: RAM routine %F spans 0x10000004 bytes from 0x70000, more than the 0x1000000 bytes a RAM "
         "routine may hold: nothing uploaded\n"},
        // A record that runs past the last 64 KiB window.
        {"past 32-bit addresses",
         {},
         false,
         "Error: RAM routine %F spans 0x4 bytes from 0xfffffffe, past the 32-bit addresses of the upload: "
         "nothing uploaded\n",
         hexfile_test::ihex(0, 4, {0xFF, 0xFF}) + "\n" + hexfile_test::ihex(0xFFFE, 0, {1, 2, 3, 4}) +
             "\n:00000001FF\n"},
    };
    for (const Kes2DroTable table : {Kes2DroTable::kes2, Kes2DroTable::dro}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            ScratchDir dir;
            Kes2DroRunValues values;
            values.ramFile =
                c.text.empty() ? writeHexFile(dir, "ram.hex", c.file) : dir.writeText("ram.hex", c.text);
            const auto map = parseOptions(table, {"--ram", values.ramFile});
            RecordingDro ecu;
            bool ramOk = true;
            bool startOk = true;
            const long before = peakKiB();
            StreamCapture out;
            StepScreen screen;
            runRamRoutine(ecu, map, values, ramOk, startOk, screen);
            EXPECT_LT(peakKiB() - before, kMostGrowthKiB);
            EXPECT_EQ(ramOk, c.uploaded);
            EXPECT_EQ(ecu.uploads.size(), c.uploaded ? 1u : 0u);
            std::string message = c.message;
            if (const auto at = message.find("%F"); at != std::string::npos) {
                message.replace(at, 2, values.ramFile);
            }
            EXPECT_EQ(out.error(), message);
        }
    }
}

TEST(DroFileSteps, FilesOfFarApartBlocksAreRefusedBeforeTheirImage) {
    ScratchDir dir;
    const std::string file = writeHexFile(dir, "span.hex", kFarApart);
    const struct {
        const char* option;
        std::string error;
    } cases[] = {
        {"--wP", "Unexpected End address 0x10070003 (the code flash ends at 0x13ffff)\n"},
        {"--wD", "Data file longer than the data flash: 0x10000004 bytes (0x10000 at most)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        Steps steps;
        const long before = peakKiB();
        steps.run(Kes2DroTable::dro, {c.option, file});
        EXPECT_LT(peakKiB() - before, kMostGrowthKiB);
        EXPECT_EQ(steps.error, c.error);
        EXPECT_TRUE(steps.ecu.codeWrites.empty());
        EXPECT_TRUE(steps.ecu.dataWrites.empty());
    }
}

// A raw binary file is flashed as it is, and named on a line of its own first.
TEST(Kes2DroInputFiles, ARawBinaryFileIsNamedBeforeItIsWritten) {
    ScratchDir dir;
    const std::string content = "{\"voflash\": true}\n";
    const std::string json = dir.writeText("settings.json", content);
    Steps dro;
    dro.run(Kes2DroTable::dro, {"--wD", json});
    EXPECT_EQ(dro.warning, json + " read as raw binary: 18 bytes from 0x0\n");
    EXPECT_EQ(dro.normal.substr(0, dro.normal.find('\n') + 1),
              "...Parsing: " + json.substr(json.size() - 34) + std::string(49, ' ') + "\n");
    ASSERT_EQ(dro.ecu.dataWrites.size(), 1u);
    EXPECT_EQ(dro.ecu.dataWrites[0].data, Bytes(content.begin(), content.end()));

    Steps kes2;
    kes2.run(Kes2DroTable::kes2, {"--wD", json});
    EXPECT_EQ(kes2.warning.substr(0, kes2.warning.find('\n') + 1),
              json + " read as raw binary: 18 bytes from 0x0\n");
    EXPECT_TRUE(kes2.ecu.dataWrites.empty());
}

// A FIFO gives its content once: the KES2 code write takes the image and its check byte from the same
// reading.
TEST(Kes2DroInputFiles, AFileThatCanBeReadOnceIsReadOnce) {
    ScratchDir dir;
    const std::string source = writeHexFile(dir, "in.hex", {{0, pattern(0x9000)}});
    const std::string text = dir.readText("in.hex");
    const testing_support::Feed feed(dir.path("fifo"), text);
    ASSERT_FALSE(feed.path().empty());
    Steps steps;
    steps.run(Kes2DroTable::kes2, {"--wP", feed.path()});
    EXPECT_EQ(steps.normal.find("Expected 512k HexFile!"), std::string::npos) << steps.normal;
    ASSERT_EQ(steps.ecu.codeWrites.size(), 1u);
    EXPECT_EQ(steps.ecu.codeWrites[0].start, 0x8000u);
    EXPECT_EQ(steps.ecu.codeWrites[0].data, slice(pattern(0x9000), 0x8000, 0x1000));
}

// The read's data that cannot be saved is named: after the writer's reason, one line with the file.
TEST(Kes2DroInputFiles, AReadWhoseFileCannotBeWrittenSaysSo) {
    ScratchDir dir;
    const struct {
        std::string file;
        std::string reason;
    } cases[] = {
        {dir.path("nodir/d.hex"), "No such file or directory"},
        {dir.path(""), "Is a directory"},
        {"/dev/full", "No space left on device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Steps steps;
        steps.run(Kes2DroTable::kes2, {"--rD", c.file});
        EXPECT_EQ(steps.normal, "Could not open file " + c.file + ": " + c.reason + "\n");
        EXPECT_EQ(steps.error, "The data read from the ECU was not saved in " + c.file + "\n");
    }
}

}  // namespace
}  // namespace kes2dro_test
