// The long cases of replies of several frames and of replies that come late: everything over LIN
// (19200 baud, one header per frame of the ECU), the KES2 programs' 10 s wait for a reply, and a dead
// ECU, which the wait for a late answer before a request whose answer looks alike must not make take
// longer to give up.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/MultiFrameE2e.h"

namespace {

using namespace multiframe_e2e;

TEST(LateFirstFrameSlow, GetsNoFlowControlAndTheNextStepItsOwnAnswerOnLin) {
    expectLateFirstFrameGetsNoFlowControl(kLin);
}

TEST(AlikeRepliesSlow, ReadAfterAnUnansweredOneShowsItsOwnValueOnLin) {
    expectAlikeRepliesShowTheirOwnValues(kLin);
}

// ---- LIN: replies of many frames

struct LinFlashCase {
    std::string ecuClass;
    e2e::MemoryLayout layout;
    std::string pktlen;
    std::vector<std::string> dataRead;  // a data read of the class, its file "d.hex"
    uint64_t dataFrom;                  // the data-flash address of its first byte
    uint64_t dataLength;
};

// Code and data reads over LIN, at two packet lengths, RH850 and CYT2: each reply is fetched frame by
// frame, and the files read back hold the memory; the code write after them in the same run, which
// the ECU's unread frames once answered, lands whole.
TEST(LinReplies, CodeAndDataReadsAndAWriteAfterThem) {
    const std::vector<LinFlashCase> cases = {
        {"RH850",
         e2e::kRh850Memory,
         "512",
         {"--readData", "d.hex", "--dataLength", "400"},
         0xFF200000,
         0x400},
        {"RH850",
         e2e::kRh850Memory,
         "256",
         {"--readData", "d.hex", "--dataLength", "200"},
         0xFF200000,
         0x200},
        {"CYT2", e2e::kCyt2Memory, "512", {"--readData", "d.hex", "--dataLength", "400"}, 0x14000000, 0x400},
    };
    for (const LinFlashCase& c : cases) {
        SCOPED_TRACE(c.ecuClass + " at packet length " + c.pktlen);
        SimRig rig(c.ecuClass, c.layout);
        rig.programAll();
        ASSERT_TRUE(rig.start(kLin.sim));
        const uint64_t base = codeBase(rig);
        const Bytes codeBefore = rig.code(base, 0x800);
        const Bytes dataBefore = rig.data(c.dataFrom, c.dataLength);
        // In the range of the read, which comes first.
        const std::vector<Block> blocks = {{base, e2e::patternBytes(0x500, 41)}};
        std::vector<std::string> dataRead = c.dataRead;
        std::replace(dataRead.begin(), dataRead.end(), std::string("d.hex"), rig.env.path("d.hex"));
        const RunResult r =
            rig.run(with({"--nonVerbose", "--pktlen", c.pktlen, "--readCode", rig.env.path("c.hex"),
                          "--codeStartAddr", hexText(base), "--codeLength", "800", "--writeCode",
                          rig.env.write("code.hex", e2e::intelHexText(blocks))},
                         dataRead),
                    kLin.tool);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(contains(r.out, "ECU is programmed successfully (OK)")) << describe(r);
        rig.expectFileHolds("c.hex", base, codeBefore);
        rig.expectFileHolds("d.hex", c.dataFrom, dataBefore);
        expectStoppedAfterCodeWrite(rig, blocks);
    }
}

// A read whose reply loses a consecutive frame fails; what the ECU had left of it does not answer the
// erase and write after it, and the next run reads the code whole.
TEST(LinReplies, AFailedReadLeavesNothingForTheNextStep) {
    SimRig rig("RH850", e2e::kRh850Memory);
    rig.programAll();
    ASSERT_TRUE(rig.start(with({"--drop-cf", "BB71:3:1"}, kLin.sim)));
    const std::vector<Block> blocks = {{0x20000, e2e::patternBytes(0x300, 42)}};
    const RunResult r = rig.run(
        {"--nonVerbose", "--pktlen", "512", "--readCode", rig.env.path("c.hex"), "--codeStartAddr", "20000",
         "--codeLength", "800", "--writeCode", rig.env.write("code.hex", e2e::intelHexText(blocks))},
        kLin.tool);
    EXPECT_TRUE(contains(r.out, "NoResp(R_Code)")) << describe(r);
    EXPECT_FALSE(contains(r.out, "Erasing failed")) << describe(r);
    EXPECT_FALSE(contains(r.out, "NoResp. Erase")) << describe(r);
    EXPECT_FALSE(rig.env.exists("c.hex"));
    e2e::expectCodeWritten(rig, blocks);
    expectHealthyReadAndWrite(rig, kLin, "256");
}

// The simulator's faults on LIN, one frame per header: "response pending" reaches the tool before the
// option read's reply, and the copy of each write packet's reply comes with the header that fetches
// the flow control for the next packet. The option read fails, the write does not.
TEST(LinReplies, PendingAndDoubledRepliesReachTheTool) {
    SimRig rig("RH850", e2e::kRh850Memory);
    rig.programAll();
    ASSERT_TRUE(
        rig.start(with({"--pending", "BB92:1:1", "--duplicate", "BB70", "--duplicate", "BB71"}, kLin.sim)));
    BusDump dump(rig.env);
    ASSERT_TRUE(dump.listening());
    const std::vector<Block> blocks = {{0x30000, e2e::patternBytes(0x800, 43)}};
    const Bytes codeBefore = rig.code(0x30000, 0x800);
    const RunResult r = rig.run({"--nonVerbose", "--pktlen", "256", "--readOpt", "--writeCode",
                                 rig.env.write("code.hex", e2e::intelHexText(blocks)), "--readCode",
                                 rig.env.path("c.hex"), "--codeStartAddr", "30000", "--codeLength", "800"},
                                kLin.tool);
    dump.stop();
    EXPECT_TRUE(contains(r.out + r.err, " NRC(ResponsePending)")) << describe(r);
    EXPECT_FALSE(contains(r.out, "W_Code")) << describe(r);
    EXPECT_FALSE(contains(r.out, "R_Code")) << describe(r);
    EXPECT_EQ(count(dump.lines(), "LIN 3D    [8]  73 03 7F BB 78"), 1u) << dump.lines();
    // Eight write packets: more replies than packets went out.
    EXPECT_GT(count(dump.lines(), "LIN 3D    [8]  73 02 FB 70"), 8u) << dump.lines();
    rig.expectFileHolds("c.hex", 0x30000, codeBefore);
    expectStoppedAfterCodeWrite(rig, blocks);
}

// A KES2 data read whose reply (a first frame and its consecutive frames) comes just after the run
// gave up on it: the next run's login meets that first frame, sends it no flow control and takes its
// own answer; its RAM routine starts and its data read holds the data flash.
TEST(MultiFrameSlow, Kes2LateDataReadReplyIsNotTheNextRunsLoginAnswer) {
    SimRig rig("KES2", e2e::kKes2Memory);
    rig.programAll();
    ASSERT_TRUE(rig.start({"--delay", "BB81:10500:1"}));
    const RunResult late = rig.run({"--rD", rig.env.path("late.hex")});
    EXPECT_FALSE(rig.env.exists("late.hex")) << describe(late);

    const std::string ram =
        rig.env.write("ram.hex", e2e::intelHexText({{0x1000, e2e::patternBytes(0x400, 7)}}));
    const RunResult next = rig.run({"--ram", ram, "--rD", rig.env.path("d.hex")});
    EXPECT_EQ(next.exitCode, 0) << describe(next);
    EXPECT_TRUE(contains(next.out, "CRC check passed")) << describe(next);
    EXPECT_LT(next.seconds, 10.0) << describe(next);
    const Bytes data = rig.data(0, e2e::kKes2Memory.dataLength);
    const Bytes programmed = rig.memory;
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(programmed), "");
    // The read-back file carries the data flash at 0xFE000000.
    rig.expectFileHolds("d.hex", 0xFE000000, data);
}

// An ECU that never answers: the standard login is still tried every 300 ms and given up after 30 s
// (the same request again waits for nothing), and the KES2 login after its 10 s.
TEST(MultiFrameSlow, DeadEcuGivesUpInTheSameTime) {
    {
        SimRig rig("RH850", e2e::kRh850Memory);
        ASSERT_TRUE(rig.start({"--no-answer", "*"}));
        e2e::BusDump dump(rig.env);
        ASSERT_TRUE(dump.listening());
        const RunResult r = rig.run({"--nonVerbose"}, {});
        const std::vector<uint8_t> services = dump.stop();
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_GT(r.seconds, 29.0) << describe(r);
        EXPECT_LT(r.seconds, 33.0) << describe(r);
        EXPECT_GT(std::count(services.begin(), services.end(), uint8_t{0xBA}), 80) << describe(r);
    }
    {
        SimRig rig("KES2", e2e::kKes2Memory);
        ASSERT_TRUE(rig.start({"--no-answer", "*"}));
        const std::string ram =
            rig.env.write("ram.hex", e2e::intelHexText({{0x1000, e2e::patternBytes(0x400, 7)}}));
        const RunResult r = rig.run({"--ram", ram});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        EXPECT_GT(r.seconds, 9.9) << describe(r);
        EXPECT_LT(r.seconds, 12.5) << describe(r);
    }
}

}  // namespace
