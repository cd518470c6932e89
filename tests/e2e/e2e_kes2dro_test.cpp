// The KES2 and DRO programs as a user runs them against the simulated ECU of their class: the RAM
// routine, code and data writes checked in the ECU's memory, read-back files, the DRO boot block
// with and without its Keep options, command files and the exit codes.

#include <gtest/gtest.h>

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
        {"RAM routine file missing", {}, {"--ram", "missing.hex"}, 0, "Could not open file"},
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

INSTANTIATE_TEST_SUITE_P(Classes, Kes2DroRun, testing::ValuesIn(kClasses),
                         [](const testing::TestParamInfo<ClassCase>& info) { return info.param.ecuClass; });

TEST(Kes2Program, DataWriteByRunsAndReadBack) {
    Kes2DroRig rig("KES2", kKes2Memory);
    ASSERT_TRUE(rig.start());
    const Bytes a = e2e::patternBytes(0x200, 1);
    const Bytes b = e2e::patternBytes(5, 2);
    // 0x300 bytes: whole packets and then single pages at packet length 512.
    const Bytes c = e2e::patternBytes(0x300, 3);
    const std::string file =
        rig.env.write("d.hex", e2e::intelHexText({{0xFE000000, a}, {0xFE000300, b}, {0xFE001000, c}}));
    const RunResult write = rig.run({"--wD", file});
    EXPECT_EQ(write.exitCode, 3) << describe(write);
    const RunResult read = rig.run({"--pktlen", "2048", "--rD", rig.env.path("back.hex")});
    EXPECT_EQ(read.exitCode, 3) << describe(read);
    rig.stop();
    EXPECT_EQ(rig.data(0, 0x200), a);
    EXPECT_EQ(rig.data(0x300, 5), b);
    EXPECT_EQ(rig.data(0x1000, 0x300), c);
    EXPECT_EQ(rig.data(0x200, 0x100), Bytes(0x100, 0xFF));
    // The read-back file carries the data flash at 0xFE000000.
    rig.expectFileHolds("back.hex", 0xFE000000, rig.data(0, 0x8000));
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

TEST(Kes2Program, CodeFilesThatWriteNothing) {
    struct Case {
        std::string label;
        std::vector<Block> file;
        std::vector<std::string> options;
        std::string message;
    };
    const Case cases[] = {
        {"no byte at 0x8001", {{0, e2e::patternBytes(0x8000, 1)}}, {}, "Expected 512k HexFile!"},
        {"file from 0x8000", {{0x8000, e2e::patternBytes(0x1000, 1)}}, {}, "Nothing tbd!(File len: 0x0)"},
        {"file from 0x8000 with Bmg",
         {{0x8000, e2e::patternBytes(0x1000, 1)}},
         {"--Bmg"},
         "Nothing tbd!(File len: 0x0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Kes2DroRig rig("KES2", kKes2Memory);
        ASSERT_TRUE(rig.start());
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--wP", rig.env.write("c.hex", e2e::intelHexText(c.file))});
        const RunResult r = rig.run(args);
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_TRUE(contains(r.out, c.message)) << describe(r);
        rig.stop();
        EXPECT_EQ(rig.code(0, 0x80000), Bytes(0x80000, 0xFF));
    }
}

TEST(DroProgram, ApplicationWriteLeavesTheBootBlock) {
    Kes2DroRig rig("DRO", kDroMemory);
    const Bytes boot = e2e::patternBytes(0x4000, 5);
    rig.setCode(0x70000, boot);
    ASSERT_TRUE(rig.start());
    // From 0x70000: the first 16 KiB are skipped without --Bmg.
    const Bytes image = e2e::patternBytes(0x8000, 6);
    const RunResult r =
        rig.run({"--t", "MB91F522D", "--wP", rig.env.write("c.hex", e2e::intelHexText({{0x70000, image}}))});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    rig.stop();
    EXPECT_EQ(rig.code(0x70000, 0x4000), boot);
    EXPECT_EQ(rig.code(0x74000, 0x4000), slice(image, 0x4000, 0x4000));
    EXPECT_EQ(rig.code(0x78000, 0x100), Bytes(0x100, 0xFF));
}

TEST(DroProgram, CodeFileBelowTheCodeFlashIsRefused) {
    Kes2DroRig rig("DRO", kDroMemory);
    ASSERT_TRUE(rig.start());
    const RunResult r = rig.run(
        {"--wP", rig.env.write("c.hex", e2e::intelHexText({{0x6FFF0, e2e::patternBytes(0x4010, 1)}}))});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_TRUE(contains(r.out, "Unexpected Start address6fff0\n")) << describe(r);
    rig.stop();
    EXPECT_EQ(rig.code(0x70000, 0x8000), Bytes(0x8000, 0xFF));
}

TEST(DroProgram, DataWriteFromAddressZeroAndReadBack) {
    Kes2DroRig rig("DRO", kDroMemory);
    ASSERT_TRUE(rig.start());
    const Bytes data = e2e::patternBytes(0x400, 8);
    const RunResult write = rig.run({"--wD", rig.env.write("d.hex", e2e::intelHexText({{0x12340, data}}))});
    EXPECT_EQ(write.exitCode, 3) << describe(write);
    const RunResult read = rig.run({"--pktlen", "2048", "--rD", rig.env.path("back.hex")});
    EXPECT_EQ(read.exitCode, 3) << describe(read);
    rig.stop();
    EXPECT_EQ(rig.data(0, 0x400), data);
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
        rig.setCode(0x73700, concat({ecuTa, ecuCfg}));
        ASSERT_TRUE(rig.start());
        std::vector<std::string> args = c.options;
        args.insert(args.end(),
                    {"--Bmg", "--wP", rig.env.write("b.hex", e2e::intelHexText({{0x70000, fileBlock}}))});
        const RunResult r = rig.run(args);
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_TRUE(contains(r.out, "Flash BMG")) << describe(r);
        rig.stop();
        EXPECT_EQ(rig.code(0x70000, 0x3700), slice(fileBlock, 0, 0x3700));
        Bytes ta = slice(fileBlock, 0x3700, 0x700);
        if (c.lastTaOnly) {
            // The last used block alone, first byte cleared, in the first TA block.
            ta = concat({slice(ecuTa, 0x200, 0x100), Bytes(0x600, 0xFF)});
            ta[0] = 0;
        } else if (c.taFromEcu) {
            ta = ecuTa;
        }
        EXPECT_EQ(rig.code(0x73700, 0x700), ta);
        // Without KeepCfg the CFG comes from the file when it reaches 0x73FFF.
        EXPECT_EQ(rig.code(0x73E00, 0x200), c.cfgFromEcu ? ecuCfg : slice(fileBlock, 0x3E00, 0x200));
        // The application block is not touched.
        EXPECT_EQ(rig.code(0x74000, 0x100), Bytes(0x100, 0xFF));
    }
}

TEST(DroProgram, FailedKeepReadErasesNothing) {
    Kes2DroRig rig("DRO", kDroMemory);
    const Bytes block = e2e::patternBytes(0x4000, 12);
    rig.setCode(0x70000, block);
    ASSERT_TRUE(rig.start({"--nrc", "BB71:31"}));
    const RunResult r =
        rig.run({"--Bmg", "--KeepTa", "--wP",
                 rig.env.write("b.hex", e2e::intelHexText({{0x70000, e2e::patternBytes(0x4000, 13)}}))});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_TRUE(contains(r.out + r.err, "Read TA/Cfg failed")) << describe(r);
    EXPECT_FALSE(contains(r.out, "Flash BMG")) << describe(r);
    rig.stop();
    EXPECT_EQ(rig.code(0x70000, 0x4000), block);
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
