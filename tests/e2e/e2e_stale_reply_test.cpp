// Runs against a simulated ECU that sends a reply twice: the copy is still queued when the tool sends
// its next request, and must not be taken for that request's answer. Every later step gets its own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/SimRig.h"

namespace {

using e2e::Bytes;
using e2e::describe;
using e2e::RunResult;
using e2e::SimRig;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Rh850Case {
    std::string label;
    std::vector<std::string> simOptions;
    bool withRamRoutine;
};

// A code write of four packets into a programmed RH850. Taken for an answer, the copy of a doubled
// login reply would answer the next request and each reply after it the request after its own, up to
// a failed start of the RAM routine; the copy of the first write packet's reply would fail the second.
TEST(StaleReply, Rh850RunWithADoubledReplySucceeds) {
    const std::vector<Rh850Case> cases = {
        {"doubled login reply, RAM routine", {"--duplicate", "BA:1"}, true},
        {"doubled reply to a write packet", {"--duplicate", "BB70:1"}, false},
    };
    for (const Rh850Case& c : cases) {
        SCOPED_TRACE(c.label);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start(c.simOptions));
        const Bytes code = e2e::patternBytes(0x800, 5);
        std::vector<std::string> args = {"--nonVerbose", "--pktlen", "512", "--writeCode",
                                         rig.env.write("code.hex", e2e::intelHexText({{0x10000, code}}))};
        if (c.withRamRoutine) {
            const Bytes routine = e2e::patternBytes(0x400, 6);
            args.insert(args.end(),
                        {"--ram", rig.env.write("ram.hex", e2e::intelHexText({{0xFEDF8000, routine}}))});
        }
        const RunResult r = rig.run(args, {});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(contains(r.out, "ECU is programmed successfully (OK)")) << describe(r);
        EXPECT_FALSE(contains(r.out + r.err, "failed")) << describe(r);
        if (c.withRamRoutine) {
            EXPECT_TRUE(contains(r.out, "Start: 0xFEDF8000")) << describe(r);
        }
        // The write erased the 32 KiB block it falls in and wrote its bytes there.
        rig.eraseCode(0x10000, 0x8000);
        rig.setCode(0x10000, code);
        const Bytes expected = rig.memory;
        rig.stop();
        EXPECT_EQ(rig.differencesFrom(expected), "");
    }
}

// A KES2 command file: the reply to BB FE comes twice, and BB FF still shows its own reply, the ECU
// information BB FE has just set.
TEST(StaleReply, Kes2CommandAfterADoubledReplyShowsItsOwnReply) {
    SimRig rig("KES2", e2e::kKes2Memory);
    rig.programAll();
    const Bytes programmed = rig.memory;
    ASSERT_TRUE(rig.start({"--duplicate", "BBFE:1"}));
    const std::string file = rig.env.write("cmd.txt", "Name:Set\nBB FE 11 22 33 44\n\nName:Info\nBB FF\n");
    const RunResult r = rig.run({"--CmdFile", file});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    const size_t info = r.out.find("\nCmd (Len: 2 dec): Info");
    ASSERT_NE(info, std::string::npos) << describe(r);
    const std::string infoPart = r.out.substr(info);
    EXPECT_TRUE(contains(infoPart, "... succeeded.\n")) << describe(r);
    EXPECT_TRUE(contains(infoPart, "Response: 6 bytes: 0XFB0XFF0X110X220X330X44\n")) << describe(r);
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(programmed), "");
}

}  // namespace
