// Replies of several frames, and replies that look alike, against ecu-sim on CAN: a late reply or a
// second node must never be taken for the answer, the flow control or the data of another request.
// Each fault run is followed by a healthy run, and the simulator's whole memory is compared with what
// the runs should have left. The LIN runs, longer at 19200 baud, are in the slow tests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/MultiFrameE2e.h"

namespace {

using namespace multiframe_e2e;

TEST(LateFirstFrame, GetsNoFlowControlAndTheNextStepItsOwnAnswerOnCan) {
    expectLateFirstFrameGetsNoFlowControl(kCan);
}

TEST(AlikeReplies, ReadAfterAnUnansweredOneShowsItsOwnValueOnCan) {
    expectAlikeRepliesShowTheirOwnValues(kCan);
}

// ---- a second node on the bus

// Two simulators of the same programmed memory answer every request on one bus: their first and
// consecutive frames come mixed. A code read then fails or reads the memory as it is; a frame of the
// other node's message never becomes data. Then, the second one gone, the first gets its own answers.
TEST(SecondNode, ItsFramesNeverBecomeData) {
    SimRig rig("RH850", e2e::kRh850Memory);
    rig.programAll();
    // A second simulator channel on the ECU bus, beside the first.
    const auto config = rig.env.read("xl.cfg");
    ASSERT_TRUE(config.has_value());
    rig.env.write("xl.cfg", *config + "ECU sim 2, 1, 0, 1, CAN+LIN, 2, ecu\n");
    ASSERT_TRUE(rig.start());
    rig.env.write("second.bin", std::string(rig.memory.begin(), rig.memory.end()));
    e2e::SimProcess second(rig.env,
                           {"--class", "RH850", "--memory", rig.env.path("second.bin"), "--channel",
                            std::to_string(rig.env.simChannel() + 1)},
                           "second");
    ASSERT_TRUE(second.ready()) << second.output();
    constexpr uint64_t kStart = 0x20000;
    constexpr uint64_t kLength = 0x2400;
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::string back = "back" + std::to_string(run) + ".hex";
        const RunResult r = rig.run({"--nonVerbose", "--pktlen", "512", "--readCode", rig.env.path(back),
                                     "--codeStartAddr", hexText(kStart), "--codeLength", hexText(kLength)},
                                    kCan.tool);
        if (rig.env.exists(back)) {
            // A file is written only for a read that succeeded: all of it, each byte the flash's.
            EXPECT_TRUE(contains(r.out, "ECU is programmed successfully (OK)")) << describe(r);
            rig.expectFileHolds(back, kStart, rig.code(kStart, kLength));
        } else {
            EXPECT_TRUE(contains(r.out, "ECU is not programmed successfully (KO)")) << describe(r);
        }
    }
    EXPECT_EQ(second.stop(), 0);
    expectHealthyReadAndWrite(rig, kCan, "2048");
}

}  // namespace
