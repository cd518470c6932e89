// The long KES2 and DRO runs: whole code-flash reads, the full KES2 code writes, and the 10 s waits
// for an ECU that does not answer.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/Kes2DroE2e.h"

namespace {

using namespace kes2dro_e2e;

TEST(Kes2Slow, WholeCodeFlashRead) {
    Kes2DroRig rig("KES2", kKes2Memory);
    const Bytes code = e2e::patternBytes(0x80000, 21);
    rig.setCode(0, code);
    ASSERT_TRUE(rig.start());
    const RunResult r = rig.run({"--pktlen", "2048", "--rP", rig.env.path("code.hex")});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    rig.expectFileHolds("code.hex", 0, code);
}

// The KES2 code write of a whole image on a programmed ECU: blocks 3 down to 1 erased and written
// from 0x8000 (the boot area stays), or with --Bmg all four from 0.
TEST(Kes2Slow, WholeImageWrite) {
    const Bytes image = e2e::patternBytes(0x80000, 23);
    for (const bool bootArea : {false, true}) {
        SCOPED_TRACE(bootArea ? "with Bmg" : "without Bmg");
        Kes2DroRig rig("KES2", kKes2Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        std::vector<std::string> args = {"--wP", rig.env.write("c.hex", e2e::intelHexText({{0, image}}))};
        if (bootArea) {
            args.push_back("--Bmg");
        }
        const RunResult r = rig.run(args);
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        const uint64_t from = bootArea ? 0 : 0x8000;
        rig.setCode(from, slice(image, from, 0x80000 - from));
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

// With --Bmg the boot area and a block of the application, with no byte at 0x8001: written whole,
// at several packet lengths.
TEST(Kes2Slow, BootAreaAndApplicationBlockWithBmg) {
    const std::vector<e2e::Block> file = {{0, e2e::patternBytes(0x8000, 1)},
                                          {0x40000, e2e::patternBytes(0x1000, 2)}};
    expectWholeCodeFlashWrittenWithBmg(file, 0x41000, {"1024", "2048"});
}

// A file that ends past the code flash's end: written up to its last byte, the rest named.
TEST(Kes2Slow, CodeFileAcrossTheFlashEnd) {
    const std::vector<e2e::Block> file = {{0, e2e::patternBytes(0x8100, 1)},
                                          {0x7FF00, e2e::patternBytes(0x200, 2)}};
    Kes2DroRig rig("KES2", kKes2Memory);
    rig.programAll();
    ASSERT_TRUE(rig.start());
    const RunResult r = rig.run({"--pktlen", "2048", "--wP", hexFile(rig.env, "c.hex", file)});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_TRUE(contains(
        r.out,
        "Left out: 0x100 bytes of the file at 0x80000 - 0x800ff, outside the code flash 0x0 - 0x7ffff\n"))
        << describe(r);
    rig.setCode(0x8000, imageBytes(file, 0x8000, 0x78000));
    EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
}

// A DRO data file that just fits the data flash, at the packet lengths the default run leaves out.
TEST(DroSlow, DataFileOfTheWholeDataFlash) {
    const std::vector<e2e::Block> file = {{0x2000, e2e::patternBytes(0x100, 3)},
                                          {0x11F00, e2e::patternBytes(0x100, 4)}};
    for (const std::string packetLength : {"256", "512"}) {
        SCOPED_TRACE(packetLength);
        Kes2DroRig rig("DRO", kDroMemory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        const RunResult r = rig.run({"--pktlen", packetLength, "--wD", hexFile(rig.env, "d.hex", file)});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        rig.setData(0, imageBytes(file, 0x2000, 0x10000));
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

TEST(DroSlow, WholeCodeFlashReadOfTheChip) {
    Kes2DroRig rig("DRO", kDroMemory);
    const Bytes code = e2e::patternBytes(0x50000, 24);
    rig.setCode(0x70000, code);
    ASSERT_TRUE(rig.start());
    const RunResult r = rig.run({"--t", "MB91F522D", "--pktlen", "2048", "--rP", rig.env.path("code.hex")});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    rig.expectFileHolds("code.hex", 0x70000, code);
}

struct SilentCase {
    std::string ecuClass;
    MemoryLayout layout;
};
void PrintTo(const SilentCase& c, std::ostream* os) {
    *os << c.ecuClass;
}

class SilentEcu : public testing::TestWithParam<SilentCase> {};

// Each unanswered request waits out the 10 s receive time-out; the run goes on and ends with 3.
TEST_P(SilentEcu, NoAnswerToTheLoginOrARead) {
    Kes2DroRig rig(GetParam().ecuClass, GetParam().layout);
    ASSERT_TRUE(rig.start({"--no-answer", "BA", "--no-answer", "BB81"}));
    const RunResult r = rig.run({"--ram", ramRoutine(rig.env), "--rD", rig.env.path("d.hex")});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_TRUE(contains(r.out + r.err, "NoResp(R_Data), Addr: 0x0")) << describe(r);
    EXPECT_FALSE(contains(r.out, "CRC check")) << describe(r);
    EXPECT_FALSE(rig.env.exists("d.hex"));
    EXPECT_GE(r.seconds, 19.0);
}

INSTANTIATE_TEST_SUITE_P(Classes, SilentEcu,
                         testing::Values(SilentCase{"KES2", kKes2Memory}, SilentCase{"DRO", kDroMemory}),
                         [](const testing::TestParamInfo<SilentCase>& info) { return info.param.ecuClass; });

}  // namespace
