// The KES2 and DRO programs as a user runs them against the simulated ECU of their class: the RAM
// routine, code and data writes checked in the ECU's memory, read-back files, the DRO boot block
// with and without its Keep options, command files and the exit codes.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/Kes2DroE2e.h"

namespace {

using namespace kes2dro_e2e;

struct ClassCase {
    std::string ecuClass;
    MemoryLayout layout;
    std::string version;
};
void PrintTo(const ClassCase& c, std::ostream* os) {
    *os << c.ecuClass;
}

const ClassCase kClasses[] = {{"KES2", kKes2Memory, " - v1.6 "}, {"DRO", kDroMemory, " - v1.1 "}};

class Kes2DroRun : public testing::TestWithParam<ClassCase> {};

TEST_P(Kes2DroRun, RamRoutineUploadedAndStarted) {
    Kes2DroRig rig(GetParam().ecuClass, GetParam().layout);
    ASSERT_TRUE(rig.start());
    const RunResult r = rig.run({"--ram", ramRoutine(rig.env), "--Jump", "0x100001000", "--ECU", "2a"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(contains(r.out, GetParam().version + "\n")) << describe(r);
    EXPECT_TRUE(contains(r.out, " Connecting :\n Upload ApplRam:\n")) << describe(r);
    EXPECT_TRUE(contains(r.out, "ActEcuInfo: 42")) << describe(r);
    EXPECT_TRUE(contains(r.out, "CRC check passed")) << describe(r);
}

TEST_P(Kes2DroRun, ExitCodes) {
    struct Case {
        std::string label;
        std::vector<std::string> simOptions;
        // "RAM" stands for the RAM routine's path.
        std::vector<std::string> args;
        int exitCode;
        std::string output;
    };
    const Case cases[] = {
        // Without a RAM routine there is no login.
        {"no RAM routine", {}, {"--Jump", "2000"}, 3, ""},
        // A routine that cannot be read is a failed RAM step.
        {"RAM routine file missing", {}, {"--ram", "missing.hex"}, 4, "Could not open file"},
        {"login refused", {"--nrc", "BA:35"}, {"--ram", "RAM"}, 3, ""},
        {"download refused", {"--nrc", "BD:31"}, {"--ram", "RAM"}, 4, ""},
        {"start refused", {"--nrc", "BE:22"}, {"--ram", "RAM"}, 5, ""},
        // A parse error leaves no option: the defaults' interface, a CANcardXLe, is not there.
        {"unknown option", {}, {"--foo"}, 2, "error: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig(GetParam().ecuClass, GetParam().layout);
        ASSERT_TRUE(rig.start(c.simOptions));
        std::vector<std::string> args = c.args;
        std::replace(args.begin(), args.end(), std::string("RAM"), ramRoutine(rig.env));
        const RunResult r = rig.run(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        EXPECT_TRUE(contains(r.out + r.err, c.output)) << describe(r);
        if (c.exitCode == 3 && c.simOptions.empty()) {
            EXPECT_FALSE(contains(r.out, " - v1.")) << describe(r);
            EXPECT_FALSE(contains(r.out, "Connecting")) << describe(r);
        }
    }
}

TEST_P(Kes2DroRun, SetUpFailures) {
    struct Case {
        std::string label;
        std::vector<std::string> channel;
    };
    const Case cases[] = {
        {"interface type outside 1 to 11", {"--Com", "20", "--p", "1"}},
        {"interface type 0", {"--Com", "0", "--p", "1"}},
        // Port 0 is channel 0xFFFFFFFF.
        {"port 0 on a Vector interface", {"--Com", "9"}},
        // The default interface, a CANcardXLe, is not in the driver's list.
        {"no such hardware", {"--p", "1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig(GetParam().ecuClass, GetParam().layout);
        ASSERT_TRUE(rig.start());
        const RunResult r = rig.run({"--ram", ramRoutine(rig.env), "--rD", rig.env.path("d.hex")}, c.channel);
        EXPECT_EQ(r.exitCode, 2) << describe(r);
        EXPECT_TRUE(contains(r.out, "Invalid parameters: ")) << describe(r);
        EXPECT_FALSE(rig.env.exists("d.hex"));
    }
}

TEST_P(Kes2DroRun, CommandFile) {
    Kes2DroRig rig(GetParam().ecuClass, GetParam().layout);
    ASSERT_TRUE(rig.start({"--ecu-info", "1234ABCD"}));
    const std::string file = rig.env.write("cmd.txt",
                                           "Name:Info\r\nBB FF\r\n\r\n"
                                           "Name:Nothing\n\n"
                                           "Name:Unknown\nBB 55\n");
    const RunResult r = rig.run({"--CmdFile", file});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_TRUE(contains(r.out, "\nCmd (Len: 2 dec): Info")) << describe(r);
    EXPECT_TRUE(contains(r.out, "... succeeded.\n")) << describe(r);
    EXPECT_TRUE(contains(r.out, "Response: 6 bytes: ")) << describe(r);
    EXPECT_TRUE(contains(r.out, "\nCmd (Len: 2 dec): Unknown")) << describe(r);
    EXPECT_FALSE(contains(r.out, "Nothing")) << describe(r);
}

TEST_P(Kes2DroRun, CommandFileLineOfJustNameEndsTheRun) {
    Kes2DroRig rig(GetParam().ecuClass, GetParam().layout);
    ASSERT_TRUE(rig.start());
    const std::string file = rig.env.write("cmd.txt", "Name:First\nBB FF\n\nName\nBB FF\n");
    const RunResult r = rig.run({"--CmdFile", file, "--rD", rig.env.path("d.hex")});
    EXPECT_EQ(r.exitCode, 1) << describe(r);
    EXPECT_TRUE(contains(r.out, "Error: ")) << describe(r);
    // Nothing is sent and no later step runs.
    EXPECT_FALSE(contains(r.out, "Cmd (Len")) << describe(r);
    EXPECT_FALSE(rig.env.exists("d.hex"));
}

TEST_P(Kes2DroRun, CommandFileThatIsADirectory) {
    Kes2DroRig rig(GetParam().ecuClass, GetParam().layout);
    ASSERT_TRUE(rig.start());
    const RunResult r = rig.run({"--CmdFile", rig.env.dir()});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_TRUE(contains(r.out, "\n.....Command file not found! " + rig.env.dir() + "\n")) << describe(r);
}

INSTANTIATE_TEST_SUITE_P(Classes, Kes2DroRun, testing::ValuesIn(kClasses),
                         [](const testing::TestParamInfo<ClassCase>& info) { return info.param.ecuClass; });

// Runs of the data file on a programmed data flash: whole pages from a page start are erased and
// written, other runs go as raw requests, which do not erase (their bytes are erased beforehand
// here). What changes is what the file holds, at any packet length.
TEST(Kes2Program, DataWriteByRunsAndReadBack) {
    const Bytes a = e2e::patternBytes(0x200, 1);
    const Bytes b = e2e::patternBytes(5, 2);
    // 0x300 bytes: no whole number of packets at 512 and 2048.
    const Bytes c = e2e::patternBytes(0x300, 3);
    // A page off a page start, and a run longer than one message.
    const Bytes d = e2e::patternBytes(0x100, 4);
    const Bytes e = e2e::patternBytes(0x1001, 5);
    for (const std::string packetLength : {"256", "2048"}) {
        SCOPED_TRACE(packetLength);
        Kes2DroRig rig("KES2", kKes2Memory);
        rig.programAll();
        rig.eraseData(0x300, b.size());
        rig.eraseData(0x2110, d.size());
        rig.eraseData(0x3000, e.size());
        ASSERT_TRUE(rig.start());
        const std::string file = rig.env.write(
            "d.hex",
            e2e::intelHexText(
                {{0xFE000000, a}, {0xFE000300, b}, {0xFE001000, c}, {0xFE002110, d}, {0xFE003000, e}}));
        const RunResult write = rig.run({"--pktlen", packetLength, "--wD", file});
        EXPECT_EQ(write.exitCode, 3) << describe(write);
        EXPECT_FALSE(contains(write.out + write.err, "Incorrect")) << describe(write);
        const RunResult read = rig.run({"--pktlen", "2048", "--rD", rig.env.path("back.hex")});
        EXPECT_EQ(read.exitCode, 3) << describe(read);
        rig.setData(0, a);
        rig.setData(0x300, b);
        rig.setData(0x1000, c);
        rig.setData(0x2110, d);
        rig.setData(0x3000, e);
        EXPECT_EQ(stopAndCompare(rig), "") << describe(write);
        // The read-back file carries the data flash at 0xFE000000.
        rig.expectFileHolds("back.hex", 0xFE000000, rig.data(0, 0x8000));
    }
}

// A raw request onto data flash that is not erased fails: the step ends there, and the next run
// still reads the data flash.
// On programmed data flash a run that is no whole pages, sent without an erase, is refused: the line
// after the ECU's names the run and says that the data step stopped there; the page after it is not
// written, at any packet length. The read after it is answered.
TEST(Kes2Program, FailedRawRunEndsTheDataStep) {
    for (const std::string packetLength : {"256", "1024"}) {
        SCOPED_TRACE(packetLength);
        Kes2DroRig rig("KES2", kKes2Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        const std::string file =
            rig.env.write("d.hex", e2e::intelHexText({{0xFE000000, e2e::patternBytes(0x400, 3)},
                                                      {0xFE000500, e2e::patternBytes(5, 1)},
                                                      {0xFE001000, e2e::patternBytes(0x100, 2)}}));
        const RunResult write = rig.run({"--pktlen", packetLength, "--wD", file});
        EXPECT_EQ(write.exitCode, 3) << describe(write);
        const std::string refusal = " Srv:0xbb NRC:0x72 (GeneralProgrammingFailure)\n";
        const std::string line =
            "Data write failed: the run at 0xfe000500 of 0x5 bytes (no whole pages, so sent without an "
            "erase) is not "
            "written; the data step stopped there.\n";
        EXPECT_TRUE(contains(write.out, refusal + line)) << describe(write);
        const RunResult read = rig.run({"--pktlen", "2048", "--rD", rig.env.path("back.hex")});
        EXPECT_EQ(read.exitCode, 3) << describe(read);
        // The whole pages before the run are written after the erase of their units.
        rig.setData(0, e2e::patternBytes(0x400, 3));
        EXPECT_EQ(stopAndCompare(rig), "");
        rig.expectFileHolds("back.hex", 0xFE000000, rig.data(0, 0x8000));
    }
}

TEST(Kes2Program, BootAreaReadOnlyWithBmg) {
    Kes2DroRig rig("KES2", kKes2Memory);
    const Bytes boot = e2e::patternBytes(0x8000, 4);
    rig.setCode(0, boot);
    ASSERT_TRUE(rig.start());
    const RunResult r = rig.run({"--Bmg", "--pktlen", "2048", "--rP", rig.env.path("boot.hex")});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    rig.expectFileHolds("boot.hex", 0, boot);
}

// The Intel HEX text of blocks with the checksum of its first record wrong.
std::string damagedHexText(const std::vector<Block>& blocks) {
    std::string text = e2e::intelHexText(blocks);
    const size_t end = text.find('\n');
    text[end - 1] = text[end - 1] == '0' ? '1' : '0';
    return text;
}

// Starts the rig's simulator on a programmed memory, then runs the tool with options and the code
// write of a file of fileText.
RunResult writeCodeOnProgrammedEcu(Kes2DroRig& rig, std::vector<std::string> options,
                                   const std::string& fileText) {
    rig.programAll();
    EXPECT_TRUE(rig.start());
    options.insert(options.end(), {"--wP", rig.env.write("c.hex", fileText)});
    return rig.run(options);
}

TEST(Kes2Program, CodeFilesThatWriteNothing) {
    struct Case {
        std::string label;
        std::string fileText;
        std::vector<std::string> options;
        std::string message;
    };
    const Case cases[] = {
        {"no byte at 0x8001",
         e2e::intelHexText({{0, e2e::patternBytes(0x8000, 1)}}),
         {},
         "Expected 512k HexFile!"},
        {"file from 0x8000",
         e2e::intelHexText({{0x8000, e2e::patternBytes(0x1000, 1)}}),
         {},
         "Nothing tbd!(File len: 0x0)"},
        {"file from 0x8000 with Bmg",
         e2e::intelHexText({{0x8000, e2e::patternBytes(0x1000, 1)}}),
         {"--Bmg"},
         "Nothing tbd!(File len: 0x0)"},
        // No data: neither fill bytes over the boot area nor an erase.
        {"end record alone with Bmg", e2e::intelHexText({}), {"--Bmg"}, "Nothing tbd!(File len: 0x0)"},
        {"end record alone", e2e::intelHexText({}), {}, "Expected 512k HexFile!"},
        {"damaged file with Bmg", damagedHexText({{0, e2e::patternBytes(0x100, 1)}}), {"--Bmg"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig("KES2", kKes2Memory);
        const RunResult r = writeCodeOnProgrammedEcu(rig, c.options, c.fileText);
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_TRUE(contains(r.out, c.message)) << describe(r);
        EXPECT_FALSE(contains(r.out + r.err, "W_Code")) << describe(r);
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

// The KES2 code write on a programmed ECU: without --Bmg the boot area stays and the application
// area (blocks 3 down to 1) is erased and written from 0x8000 to the file's end; with --Bmg a file of
// the boot area alone erases block 0 alone.
TEST(Kes2Program, CodeWriteErasesOnlyTheAreasItWrites) {
    const Bytes file = e2e::patternBytes(0x9011, 31);
    struct Case {
        std::string label;
        std::vector<std::string> options;
        Bytes file;
        // Erased, then written from the file.
        uint64_t erasedFrom, erased, writtenFrom;
    };
    const Case cases[] = {
        // The last page is filled with FF, which the erase left there.
        {"into the application area", {}, file, 0x8000, 0x78000, 0x8000},
        {"boot area alone with Bmg", {"--Bmg"}, slice(file, 0, 0x8000), 0, 0x8000, 0},
        {"part of the boot area with Bmg", {"--Bmg"}, slice(file, 0, 0x2345), 0, 0x8000, 0},
        {"into the application area with Bmg", {"--Bmg"}, file, 0, 0x80000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig("KES2", kKes2Memory);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--pktlen", "2048"});
        const RunResult r = writeCodeOnProgrammedEcu(rig, options, e2e::intelHexText({{0, c.file}}));
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        rig.eraseCode(c.erasedFrom, c.erased);
        rig.setCode(c.writtenFrom, slice(c.file, c.writtenFrom, c.file.size() - c.writtenFrom));
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

// With --Bmg a file that holds bytes above the boot area, though none at 0x8001, is written whole:
// the whole code flash is erased and the file written from 0 to its last byte, its gap as fill.
TEST(Kes2Program, BootAreaWriteKeepsTheFilesBytesAboveIt) {
    const std::vector<e2e::Block> file = {{0, e2e::patternBytes(0x100, 1)},
                                          {0x8100, e2e::patternBytes(0x100, 2)}};
    expectWholeCodeFlashWrittenWithBmg(file, 0x8200, {"512", "2048"});
}

// Bytes of the files past the code flash and the data flash are named on one line each; the bytes
// inside are written, the same at every packet length.
TEST(Kes2Program, BytesPastTheFlashAreNamed) {
    const std::vector<e2e::Block> code = {{0, e2e::patternBytes(0x8100, 1)},
                                          {0x80000, e2e::patternBytes(0x100, 2)}};
    // A run ending at the data flash's end, and its continuation past it.
    const std::vector<e2e::Block> data = {{0xFE000000, e2e::patternBytes(0x100, 3)},
                                          {0xFE007F00, e2e::patternBytes(0x200, 4)}};
    for (const std::string packetLength : {"512", "2048"}) {
        SCOPED_TRACE(packetLength);
        Kes2DroRig rig("KES2", kKes2Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        const RunResult r = rig.run({"--pktlen", packetLength, "--wP", hexFile(rig.env, "c.hex", code),
                                     "--wD", hexFile(rig.env, "d.hex", data)});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_TRUE(
            contains(r.out,
                     "Left out: 0x100 bytes of the file at 0x80000 - 0x800ff, outside the code flash 0x0 - "
                     "0x7ffff\n"))
            << describe(r);
        EXPECT_TRUE(
            contains(r.out,
                     "Left out: 0x100 bytes of the file at 0xfe008000 - 0xfe0080ff, outside the data flash "
                     "0xfe000000 - 0xfe007fff\n"))
            << describe(r);
        rig.eraseCode(0x8000, 0x78000);
        rig.setCode(0x8000, slice(code[0].bytes, 0x8000, 0x100));
        rig.setData(0, data[0].bytes);
        rig.setData(0x7F00, slice(data[1].bytes, 0, 0x100));
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

// A data file that gives no data says so and changes nothing; the next data write is made.
TEST(Kes2Program, DataFileWithoutDataSaysSo) {
    struct Case {
        std::string label;
        std::vector<e2e::Block> file;
    };
    const Case cases[] = {
        {"end record alone", {}},
        {"bytes past the data flash alone", {{0xFE008000, e2e::patternBytes(0x10, 1)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig("KES2", kKes2Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        const RunResult nothing = rig.run({"--wD", hexFile(rig.env, "e.hex", c.file)});
        EXPECT_EQ(nothing.exitCode, 3) << describe(nothing);
        const size_t label = nothing.out.find(" Flash Data:");
        ASSERT_NE(label, std::string::npos) << describe(nothing);
        EXPECT_NE(nothing.out.find("Nothing tbd!(File len: 0x0)\n", label), std::string::npos)
            << describe(nothing);
        const Bytes next = e2e::patternBytes(0x100, 2);
        const RunResult written =
            rig.run({"--pktlen", "256", "--wD", hexFile(rig.env, "d.hex", {{0xFE000000, next}})});
        EXPECT_EQ(written.exitCode, 3) << describe(written);
        EXPECT_FALSE(contains(written.out, "Nothing tbd")) << describe(written);
        rig.setData(0, next);
        EXPECT_EQ(stopAndCompare(rig), "") << describe(nothing) << describe(written);
    }
}

// The application write leaves the boot block; what changes is the application block it writes.
TEST(DroProgram, ApplicationWriteLeavesTheBootBlock) {
    Kes2DroRig rig("DRO", kDroMemory);
    rig.programAll();
    ASSERT_TRUE(rig.start());
    // From 0x70000: the first 16 KiB are skipped without --Bmg.
    const Bytes image = e2e::patternBytes(0x8000, 6);
    const RunResult r =
        rig.run({"--t", "MB91F522D", "--wP", rig.env.write("c.hex", e2e::intelHexText({{0x70000, image}}))});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    rig.setCode(0x74000, slice(image, 0x4000, 0x4000));
    EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
}

// A file that begins inside a block: the block is erased whole and the file written from its first
// page, the block's bytes before it left erased; the same at every packet length.
TEST(DroProgram, CodeFileFromInsideABlock) {
    const Bytes file = e2e::patternBytes(0x3000, 1);
    for (const std::string packetLength : {"256", "2048"}) {
        SCOPED_TRACE(packetLength);
        Kes2DroRig rig("DRO", kDroMemory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        // From block 1 into block 2.
        const RunResult r =
            rig.run({"--pktlen", packetLength, "--wP", hexFile(rig.env, "c.hex", {{0x76000, file}})});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_FALSE(contains(r.out + r.err, "Incorrect")) << describe(r);
        rig.eraseCode(0x74000, 0x8000);
        rig.setCode(0x76000, file);
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

// A file with gaps over whole blocks: only the blocks that hold its bytes are erased, each run of
// them written from the first page the file holds; bytes of those blocks the file does not hold end
// erased (before and after its bytes) or as fill (between them).
TEST(DroProgram, CodeFileWithGapsErasesOnlyTheBlocksItHolds) {
    const std::vector<e2e::Block> file = {{0x74000, e2e::patternBytes(0x100, 2)},
                                          {0x7FF80, e2e::patternBytes(0x80, 3)},
                                          {0x80000, e2e::patternBytes(0x200, 4)},
                                          {0x80400, e2e::patternBytes(0x10, 5)},
                                          {0x13FF00, e2e::patternBytes(0x100, 6)}};
    for (const std::string packetLength : {"512", "2048"}) {
        SCOPED_TRACE(packetLength);
        Kes2DroRig rig("DRO", kDroMemory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        const RunResult r = rig.run({"--pktlen", packetLength, "--wP", hexFile(rig.env, "c.hex", file)});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        // Blocks 1, 3, 4 and 9 (0x120000-0x13FFFF); 2 and 5 to 8 stay.
        rig.eraseCode(0x74000, 0x4000);
        rig.eraseCode(0x7C000, 0x24000);
        rig.eraseCode(0x120000, 0x20000);
        rig.setCode(0x74000, file[0].bytes);
        rig.setCode(0x7FF80, imageBytes(file, 0x7FF80, 0x490));
        rig.setCode(0x13FF00, file[4].bytes);
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

// A code file that reaches past the chip's code flash is refused before any erase, with one line; the
// next write, of a file that ends at the chip's end, is written.
TEST(DroProgram, CodeFilePastTheChipIsRefused) {
    struct Case {
        std::string label;
        // The chip and the packet length of both runs, then options of the refused run alone.
        std::vector<std::string> options;
        std::vector<std::string> refusedOptions;
        std::vector<e2e::Block> refused;
        std::string message;
        // Ends at the chip's end; blocks other than the refused file's.
        std::vector<e2e::Block> written;
        std::vector<std::pair<uint64_t, uint64_t>> erased;
    };
    const Case cases[] = {
        {"MB91F522D",
         {"--t", "MB91F522D", "--pktlen", "256"},
         {},
         {{0x74000, e2e::patternBytes(0x100, 1)}, {0xDFF00, e2e::patternBytes(0x100, 2)}},
         "Unexpected End address 0xdffff (the code flash ends at 0xbffff)\n",
         {{0x78000, e2e::patternBytes(0x100, 3)}, {0xBFF00, e2e::patternBytes(0x100, 4)}},
         {{0x78000, 0x4000}, {0xA0000, 0x20000}}},
        {"default chip",
         {"--pktlen", "2048"},
         {},
         {{0x80000, e2e::patternBytes(0x100, 1)}, {0x15FF00, e2e::patternBytes(0x100, 2)}},
         "Unexpected End address 0x15ffff (the code flash ends at 0x13ffff)\n",
         {{0x13FF00, e2e::patternBytes(0x100, 4)}},
         {{0x120000, 0x20000}}},
        // With --Bmg too, before the Keep read.
        {"MB91F522D with Bmg",
         {"--t", "MB91F522D", "--pktlen", "512"},
         {"--Bmg", "--KeepTa"},
         {{0x70000, e2e::patternBytes(0x4000, 1)}, {0xC0000, {7}}},
         "Unexpected End address 0xc0000 (the code flash ends at 0xbffff)\n",
         {{0xBFF00, e2e::patternBytes(0x100, 4)}},
         {{0xA0000, 0x20000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig("DRO", kDroMemory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        std::vector<std::string> args = c.options;
        args.insert(args.end(), c.refusedOptions.begin(), c.refusedOptions.end());
        args.insert(args.end(), {"--wP", hexFile(rig.env, "r.hex", c.refused)});
        const RunResult refused = rig.run(args);
        EXPECT_EQ(refused.exitCode, 3) << describe(refused);
        EXPECT_TRUE(contains(refused.out + refused.err, c.message)) << describe(refused);
        EXPECT_FALSE(contains(refused.out, "Read TA/Cfg")) << describe(refused);
        std::vector<std::string> next = c.options;
        next.insert(next.end(), {"--wP", hexFile(rig.env, "w.hex", c.written)});
        const RunResult written = rig.run(next);
        EXPECT_EQ(written.exitCode, 3) << describe(written);
        EXPECT_FALSE(contains(written.out + written.err, "Unexpected")) << describe(written);
        for (const auto& [from, n] : c.erased) {
            rig.eraseCode(from, n);
        }
        for (const e2e::Block& block : c.written) {
            rig.setCode(block.address, block.bytes);
        }
        EXPECT_EQ(stopAndCompare(rig), "") << describe(refused) << describe(written);
    }
}

// Code and data files that are no whole number of packets: written whole, the outcome the same at
// every packet length. The code block's rest and the data unit's rest are erased with them.
TEST(DroProgram, FilesOfPartPacketsAtEveryPacketLength) {
    const Bytes code = e2e::patternBytes(0x310, 7);
    const Bytes data = e2e::patternBytes(0x310, 8);
    for (const std::string packetLength : {"256", "512", "2048"}) {
        SCOPED_TRACE(packetLength);
        Kes2DroRig rig("DRO", kDroMemory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        const RunResult r = rig.run({"--pktlen", packetLength, "--wP",
                                     rig.env.write("c.hex", e2e::intelHexText({{0x74000, code}})), "--wD",
                                     rig.env.write("d.hex", e2e::intelHexText({{0x1000, data}}))});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_FALSE(contains(r.out + r.err, "Incorrect")) << describe(r);
        rig.eraseCode(0x74000, 0x4000);
        rig.setCode(0x74000, code);
        // The data file's first byte goes to address 0; units of 32 bytes.
        rig.eraseData(0, 0x320);
        rig.setData(0, data);
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

TEST(DroProgram, FilesThatWriteNothing) {
    struct Case {
        std::string label;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"code file below the code flash", {"--wP", "low.hex"}, "Unexpected Start address6fff0\n"},
        {"code file without data", {"--wP", "empty.hex"}, "Unexpected Start address0\n"},
        {"code file without data with Bmg", {"--Bmg", "--wP", "empty.hex"}, "Unexpected Start address0\n"},
        {"data file without data", {"--wD", "empty.hex"}, "Incorrect data length: 0x0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig("DRO", kDroMemory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        rig.env.write("low.hex", e2e::intelHexText({{0x6FFF0, e2e::patternBytes(0x4010, 1)}}));
        rig.env.write("empty.hex", e2e::intelHexText({}));
        std::vector<std::string> args = c.args;
        args.back() = rig.env.path(args.back());
        const RunResult r = rig.run(args);
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_TRUE(contains(r.out + r.err, c.message)) << describe(r);
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

TEST(DroProgram, DataWriteFromAddressZeroAndReadBack) {
    Kes2DroRig rig("DRO", kDroMemory);
    rig.programAll();
    ASSERT_TRUE(rig.start());
    const Bytes data = e2e::patternBytes(0x400, 8);
    const RunResult write = rig.run({"--wD", rig.env.write("d.hex", e2e::intelHexText({{0x12340, data}}))});
    EXPECT_EQ(write.exitCode, 3) << describe(write);
    const RunResult read = rig.run({"--pktlen", "2048", "--rD", rig.env.path("back.hex")});
    EXPECT_EQ(read.exitCode, 3) << describe(read);
    rig.setData(0, data);
    EXPECT_EQ(stopAndCompare(rig), "") << describe(write);
    rig.expectFileHolds("back.hex", 0, rig.data(0, 0x10000));
}

// The DRO boot block: BMG from the file; TA and CFG from the file or kept from the ECU.
struct BootBlockCase {
    std::string label;
    std::vector<std::string> options;
    // Expected TA area (0x700 bytes) and CFG area (0x200 bytes) afterwards.
    bool taFromEcu;
    bool lastTaOnly;
    bool cfgFromEcu;
};

TEST(DroProgram, BootBlockWithBmgAtTheDefaultPacketLength) {
    const Bytes ecuTa = concat({e2e::patternBytes(0x300, 9), Bytes(0x400, 0xFF)});
    const Bytes ecuCfg = e2e::patternBytes(0x200, 10);
    const Bytes fileBlock = e2e::patternBytes(0x4000, 11);
    const BootBlockCase cases[] = {
        {"from the file", {}, false, false, false},
        {"keep TA and CFG", {"--KeepTa", "--KeepCfg"}, true, false, true},
        {"keep the last TA block", {"--KeepLastTa"}, true, true, false},
    };
    for (const BootBlockCase& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig("DRO", kDroMemory);
        rig.programAll();
        rig.setCode(0x73700, concat({ecuTa, ecuCfg}));
        ASSERT_TRUE(rig.start());
        std::vector<std::string> args = c.options;
        args.insert(args.end(),
                    {"--Bmg", "--wP", rig.env.write("b.hex", e2e::intelHexText({{0x70000, fileBlock}}))});
        const RunResult r = rig.run(args);
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_TRUE(contains(r.out, "Flash BMG")) << describe(r);
        Bytes ta = slice(fileBlock, 0x3700, 0x700);
        if (c.lastTaOnly) {
            // The last used block alone, first byte cleared, in the first TA block.
            ta = concat({slice(ecuTa, 0x200, 0x100), Bytes(0x600, 0xFF)});
            ta[0] = 0;
        } else if (c.taFromEcu) {
            ta = ecuTa;
        }
        // Without KeepCfg the CFG comes from the file when it reaches 0x73FFF. Only the boot block
        // changes.
        rig.setCode(0x70000, concat({slice(fileBlock, 0, 0x3700), ta,
                                     c.cfgFromEcu ? ecuCfg : slice(fileBlock, 0x3E00, 0x200)}));
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

// TA and CFG blocks come only from the blocks the file holds: the BMG write erases the boot block,
// and a TA or CFG block without a byte of the file stays erased, none of the image's fill written as
// TA or CFG data. A block the file holds in part is written with fill for the rest.
TEST(DroProgram, BootBlockTaAndCfgOnlyFromTheBlocksTheFileHolds) {
    const Bytes bmg = e2e::patternBytes(0x3700, 1);
    const uint64_t ta = 0x73700;
    const uint64_t cfg = 0x73E00;
    // TA block 4 is used behind a first word of FF.
    const Bytes ta4 = concat({Bytes(4, 0xFF), e2e::patternBytes(0xFC, 5)});
    struct Case {
        std::string label;
        std::string packetLength;
        std::vector<e2e::Block> file;
        // The TA and CFG blocks written.
        std::vector<uint64_t> blocks;
    };
    const Case cases[] = {
        {"CFG but no TA", "512", {{0x70000, bmg}, {cfg, e2e::patternBytes(0x200, 2)}}, {cfg, cfg + 0x100}},
        {"blocks with gaps",
         "2048",
         {{0x70000, bmg},
          {ta, e2e::patternBytes(0x100, 3)},
          {ta + 0x210, e2e::patternBytes(0x10, 4)},
          {ta + 0x400, ta4},
          {cfg + 0x100, e2e::patternBytes(0x100, 6)}},
         {ta, ta + 0x200, ta + 0x400, cfg + 0x100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig("DRO", kDroMemory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        const RunResult r =
            rig.run({"--Bmg", "--pktlen", c.packetLength, "--wP", hexFile(rig.env, "b.hex", c.file)});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_TRUE(contains(r.out, "Flash BMG")) << describe(r);
        EXPECT_EQ(contains(r.out, "Flash TA"), c.blocks.front() == ta) << describe(r);
        rig.eraseCode(0x70000, 0x4000);
        rig.setCode(0x70000, bmg);
        for (const uint64_t block : c.blocks) {
            rig.setCode(block, imageBytes(c.file, block, 0x100));
        }
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

// A data file that does not fit the data flash is refused before anything is sent, with one line;
// the next data write, of a file that just fits, is written whole.
TEST(DroProgram, DataFileLongerThanTheDataFlashIsRefused) {
    Kes2DroRig rig("DRO", kDroMemory);
    rig.programAll();
    ASSERT_TRUE(rig.start());
    struct Case {
        std::string label;
        std::vector<e2e::Block> file;
        std::string message;
    };
    const Case refusals[] = {
        {"0x200020 bytes",
         {{0, e2e::patternBytes(0x20, 1)}, {0x200000, e2e::patternBytes(0x20, 2)}},
         "Data file longer than the data flash: 0x200020 bytes (0x10000 at most)\n"},
        {"one byte too long",
         {{0x100, {1}}, {0x10100, {2}}},
         "Data file longer than the data flash: 0x10001 bytes (0x10000 at most)\n"},
    };
    std::string runs;
    for (const Case& c : refusals) {
        SCOPED_TRACE(c.label);
        const RunResult r = rig.run({"--wD", hexFile(rig.env, "r.hex", c.file)});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_TRUE(contains(r.out, c.message)) << describe(r);
        EXPECT_FALSE(contains(r.out, "Erase")) << describe(r);
        runs += describe(r);
    }
    // Relocated to 0: from the data flash's first byte to its last, the gap as fill.
    const std::vector<e2e::Block> fits = {{0x2000, e2e::patternBytes(0x100, 3)},
                                          {0x11F00, e2e::patternBytes(0x100, 4)}};
    const RunResult written = rig.run({"--pktlen", "2048", "--wD", hexFile(rig.env, "d.hex", fits)});
    EXPECT_EQ(written.exitCode, 3) << describe(written);
    rig.setData(0, imageBytes(fits, 0x2000, 0x10000));
    EXPECT_EQ(stopAndCompare(rig), "") << runs << describe(written);
}

TEST(DroProgram, FailedKeepReadErasesNothing) {
    Kes2DroRig rig("DRO", kDroMemory);
    rig.programAll();
    ASSERT_TRUE(rig.start({"--nrc", "BB71:31"}));
    const RunResult r =
        rig.run({"--Bmg", "--KeepTa", "--wP",
                 rig.env.write("b.hex", e2e::intelHexText({{0x70000, e2e::patternBytes(0x4000, 13)}}))});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_TRUE(contains(r.out + r.err, "Read TA/Cfg failed")) << describe(r);
    EXPECT_FALSE(contains(r.out, "Flash BMG")) << describe(r);
    EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
}

TEST(DroProgram, BootBlockReadWithBmg) {
    Kes2DroRig rig("DRO", kDroMemory);
    const Bytes block = e2e::patternBytes(0x4000, 14);
    rig.setCode(0x70000, block);
    ASSERT_TRUE(rig.start());
    const RunResult r = rig.run({"--Bmg", "--rP", rig.env.path("boot.hex")});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    rig.expectFileHolds("boot.hex", 0x70000, block);
}

}  // namespace
