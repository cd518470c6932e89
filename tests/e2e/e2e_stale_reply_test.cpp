// Runs against a simulated ECU that sends a reply twice or after its request's time-out: the copy or
// the late reply is still on its way when the tool sends its next request, and must not be taken for
// that request's answer or flow control. Every later step gets its own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/SimRig.h"
#include "tests/e2e/StaleReplyE2e.h"

namespace {

using e2e::Bytes;
using e2e::describe;
using e2e::RunResult;
using e2e::SimRig;
using stale_e2e::contains;

// The CAN channel of the standard programs is found by detection; the LIN one is named.
const std::vector<std::string> kCan = {};
const std::vector<std::string> kLin = {"--lin", "--baud", "19200", "--txId", "3C", "--rxId", "3D"};

// A code file of two blocks with a gap between them, the second ending at the end of the 32 KiB sector
// 0x10000-0x17FFF, and the memory a write of it leaves: the sector erased, the blocks written.
struct CodeFile {
    Bytes first = e2e::patternBytes(0x800, 5);
    Bytes second = e2e::patternBytes(0x200, 8);

    std::string write(SimRig& rig) const {
        return rig.env.write("code.hex", e2e::intelHexText({{0x10000, first}, {0x17E00, second}}));
    }
    void expectWritten(SimRig& rig) const {
        rig.eraseCode(0x10000, 0x8000);
        rig.setCode(0x10000, first);
        rig.setCode(0x17E00, second);
    }
};

std::string ramFile(SimRig& rig) {
    return rig.env.write("ram.hex", e2e::intelHexText({{0xFEDF8000, e2e::patternBytes(0x400, 6)}}));
}

// Stops the simulator and gives where its memory differs from the rig's as the run should have left it.
std::string stopAndCompare(SimRig& rig) {
    const Bytes expected = rig.memory;
    rig.stop();
    return rig.differencesFrom(expected);
}

struct Rh850Case {
    std::string label;
    std::vector<std::string> simOptions;
    bool withRamRoutine;
    bool frameTiming = false;
};

// A code write into a programmed RH850. Taken for an answer, the copy of a doubled login reply would
// answer the next request and each reply after it the request after its own, up to a failed start of
// the RAM routine; the copy of the first write packet's reply would fail the second. With the bus's
// frame timing a copy can still be on its way when the next request goes out, which then reads it as
// its flow control (the RAM download and the code write): two runs of that, the race itself is tested
// frame by frame in the transport's tests.
TEST(StaleReply, Rh850RunWithADoubledReplySucceeds) {
    const std::vector<Rh850Case> cases = {
        {"doubled login reply, RAM routine", {"--duplicate", "BA:1"}, true},
        {"doubled reply to a write packet", {"--duplicate", "BB70:1"}, false},
        {"every reply doubled, frame timing, first run", {"--duplicate", "*"}, true, true},
        {"every reply doubled, frame timing, second run", {"--duplicate", "*"}, true, true},
    };
    for (const Rh850Case& c : cases) {
        SCOPED_TRACE(c.label);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        if (c.frameTiming) {
            rig.env.setEnv("VOFLASH_BUS_TIMING", "1");
        }
        ASSERT_TRUE(rig.start(c.simOptions));
        const CodeFile code;
        std::vector<std::string> args = {"--nonVerbose", "--pktlen", "512", "--writeCode", code.write(rig)};
        if (c.withRamRoutine) {
            args.insert(args.end(), {"--ram", ramFile(rig)});
        }
        const RunResult r = rig.run(args, kCan);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(contains(r.out, "ECU is programmed successfully (OK)")) << describe(r);
        EXPECT_FALSE(contains(r.out + r.err, "failed")) << describe(r);
        if (c.withRamRoutine) {
            EXPECT_TRUE(contains(r.out, "CRC check passed")) << describe(r);
            EXPECT_TRUE(contains(r.out, "Start: 0xFEDF8000")) << describe(r);
        }
        code.expectWritten(rig);
        EXPECT_EQ(stopAndCompare(rig), "");
    }
}

// A KES2 command file: the reply to BB FE comes twice, and BB FF still shows its own reply, the ECU
// information BB FE has just set; also on a bus with frame timing, where the copy can still be on its
// way when BB FF goes out (three runs of that).
TEST(StaleReply, Kes2CommandAfterADoubledReplyShowsItsOwnReply) {
    for (const bool frameTiming : {false, true, true, true}) {
        SCOPED_TRACE(frameTiming ? "frame timing" : "no frame timing");
        SimRig rig("KES2", e2e::kKes2Memory);
        rig.programAll();
        if (frameTiming) {
            rig.env.setEnv("VOFLASH_BUS_TIMING", "1");
        }
        ASSERT_TRUE(rig.start({"--duplicate", "BBFE:1"}));
        const RunResult r = rig.run({"--CmdFile", stale_e2e::writeInfoCommandFile(rig.env)});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        stale_e2e::expectInfoShowsItsOwnReply(r, "Response", false);
        EXPECT_EQ(stopAndCompare(rig), "");
    }
}

struct LateCrcCase {
    std::string label;
    std::string delay;
    std::vector<std::string> bus;
    std::string pktlen;
};

// The RAM CRC reply comes after the query's time-out of 3000 ms: the tool cannot know that the routine
// arrived intact, so it neither starts it nor writes anything (exit 4). The next run, started while
// the late reply may still be on its way (on LIN it waits in the ECU's reply table for the next
// header), takes it for none of its answers or flow controls: its login, download, CRC, start and
// code write all get their own.
TEST(StaleReply, LateRamCrcReplyIsNotTheAnswerOfTheStepsAfterIt) {
    const std::vector<LateCrcCase> cases = {
        {"CAN, 3100 ms", "BC:3100:1", kCan, "512"},
        {"CAN, 3400 ms", "BC:3400:1", kCan, "256"},
        {"LIN, 3100 ms", "BC:3100:1", kLin, "256"},
    };
    for (const LateCrcCase& c : cases) {
        SCOPED_TRACE(c.label);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        std::vector<std::string> simOptions = {"--delay", c.delay};
        if (c.bus == kLin) {
            simOptions.push_back("--lin");
        }
        ASSERT_TRUE(rig.start(simOptions));
        const CodeFile code;
        std::vector<std::string> args = {"--nonVerbose", "--pktlen",    c.pktlen,       "--ram",
                                         ramFile(rig),   "--writeCode", code.write(rig)};
        const RunResult late = rig.run(args, c.bus);
        EXPECT_EQ(late.exitCode, 4) << describe(late);
        EXPECT_TRUE(contains(late.out, "Read RAM CRC: NoResp!")) << describe(late);
        EXPECT_FALSE(contains(late.out, "Start: 0xFEDF8000")) << describe(late);
        EXPECT_FALSE(contains(late.out, "Block: ")) << describe(late);

        const RunResult next = rig.run(args, c.bus);
        EXPECT_EQ(next.exitCode, 0) << describe(next);
        EXPECT_TRUE(contains(next.out, "CRC check passed")) << describe(next);
        EXPECT_TRUE(contains(next.out, "Start: 0xFEDF8000")) << describe(next);
        EXPECT_FALSE(contains(next.out, "failed")) << describe(next);
        EXPECT_TRUE(contains(next.out, "ECU is programmed successfully (OK)")) << describe(next);
        code.expectWritten(rig);
        EXPECT_EQ(stopAndCompare(rig), "");
    }
}

struct OptionReadCase {
    std::string label;
    std::vector<std::string> simOptions;
    std::string readText;
};

// The option-byte read fails: its reply comes after the time-out, or a "response pending" answers it
// and its reply follows. That reply, still on its way when the erase goes out, is not the erase's flow
// control or answer: block 0 is erased and nothing else changes.
TEST(StaleReply, ReplyAfterAFailedOptionReadIsNotTheErasesFlowControl) {
    const std::vector<OptionReadCase> cases = {
        {"late reply", {"--delay", "BB92:3300:1"}, "NoResp(ReadOptionBytes)"},
        {"response pending", {"--pending", "BB92:1:1"}, " NRC(ResponsePending)"},
    };
    for (const OptionReadCase& c : cases) {
        SCOPED_TRACE(c.label);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start(c.simOptions));
        const RunResult r = rig.run({"--nonVerbose", "--readOpt", "--eraseCode", "0,0"}, kCan);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(contains(r.out + r.err, c.readText)) << describe(r);
        EXPECT_FALSE(contains(r.out, "Erasing failed")) << describe(r);
        EXPECT_FALSE(contains(r.out, "NoResp. Erase")) << describe(r);
        // The option-byte read failed, so the verdict is KO all the same.
        EXPECT_TRUE(contains(r.out, "ECU is not programmed successfully (KO)")) << describe(r);
        rig.eraseCode(0, 0x2000);
        EXPECT_EQ(stopAndCompare(rig), "");
    }
}

// A command file of the standard programs: the reply to BB FE comes after its time-out, and BB FF
// shows its own reply, the ECU information BB FE set, not BB FE's late one.
TEST(StaleReply, StandardCommandAfterALateReplyShowsItsOwnReply) {
    SimRig rig("RH850", e2e::kRh850Memory);
    rig.programAll();
    const Bytes programmed = rig.memory;
    ASSERT_TRUE(rig.start({"--delay", "BBFE:3300:1"}));
    const RunResult r =
        rig.run({"--nonVerbose", "--cmdFile", stale_e2e::writeInfoCommandFile(rig.env)}, kCan);
    stale_e2e::expectInfoShowsItsOwnReply(r, "Rsp", true);
    EXPECT_EQ(stopAndCompare(rig), "");
    EXPECT_EQ(rig.memory, programmed);
}

}  // namespace
