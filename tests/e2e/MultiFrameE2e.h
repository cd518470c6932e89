#pragma once
// What the end-to-end tests of replies of several frames share: the buses (CAN, and LIN with its
// identifiers), the healthy run after a fault with its whole-memory comparison, and the runs of a late
// first frame and of replies that look alike, on either bus.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/BusDump.h"
#include "tests/e2e/SimRig.h"

namespace multiframe_e2e {

using e2e::Block;
using e2e::BusDump;
using e2e::Bytes;
using e2e::describe;
using e2e::RunResult;
using e2e::SimRig;

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

inline std::string hexText(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
    return text;
}

// The tool's options and the simulator's for one bus. On CAN the standard programs find the channel
// by detection; on LIN it is named with its identifiers.
struct Bus {
    std::string label;
    std::vector<std::string> tool;
    std::vector<std::string> sim;
    // How the dump shows the tool's flow control for a reply.
    std::string toolFlowControl;
    // A reply this late misses the receive of its step: on CAN the receive time-out of 3000 ms, on
    // LIN the 1000 ms over which a reply is asked for.
    std::string lateMs;
};

inline void PrintTo(const Bus& bus, std::ostream* os) {
    *os << bus.label;
}

inline const Bus kCan = {"CAN", {}, {}, "6F1       [8]  43 30 FF 00", "3300"};
inline const Bus kLin = {"LIN",
                         {"--lin", "--baud", "19200", "--txId", "3C", "--rxId", "3D"},
                         {"--lin"},
                         "LIN 3C    [8]  73 30 FF 00",
                         "1300"};

inline std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

// The first code blocks of a class: the start of its code flash, where the tests read and write.
inline uint64_t codeBase(const SimRig& rig) {
    return rig.layout.codeStart + (rig.ecuClass == "RH850" ? 0x10000 : 0);
}

// Stops the simulator: its whole memory must be what a code write of blocks leaves in the rig's.
inline void expectStoppedAfterCodeWrite(SimRig& rig, const std::vector<Block>& blocks) {
    e2e::expectCodeWritten(rig, blocks);
    const Bytes written = rig.memory;
    const std::vector<bool> flags = rig.zeroOrErasedFlags();
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(written, flags), "");
}

// The healthy run after a fault, at packet length pktlen: a read of 2 KiB from the start of the code
// flash, then (steps run in this order) a code write of two blocks there, the same range. The file must
// hold the flash as it was, and the whole memory then what the write leaves.
inline void expectHealthyReadAndWrite(SimRig& rig, const Bus& bus, const std::string& pktlen) {
    SCOPED_TRACE("healthy run at packet length " + pktlen);
    const uint64_t base = codeBase(rig);
    constexpr uint64_t readLength = 0x800;
    const Bytes before = rig.code(base, readLength);
    const std::vector<Block> blocks = {{base, e2e::patternBytes(0x600, 31)},
                                       {base + 0x700, e2e::patternBytes(0x100, 32)}};
    const std::string file = rig.env.write("healthy.hex", e2e::intelHexText(blocks));
    const RunResult r = rig.run({"--nonVerbose", "--pktlen", pktlen, "--writeCode", file, "--readCode",
                                 rig.env.path("healthy-back.hex"), "--codeStartAddr", hexText(base),
                                 "--codeLength", hexText(readLength)},
                                bus.tool);
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(contains(r.out, "ECU is programmed successfully (OK)")) << describe(r);
    rig.expectFileHolds("healthy-back.hex", base, before);
    expectStoppedAfterCodeWrite(rig, blocks);
}

// ---- a late first frame

struct LateFirstFrameCase {
    std::string label;
    std::string ecuClass;
    e2e::MemoryLayout layout;
    std::vector<std::string> simOptions;
    std::vector<std::string> args;
    // The step after the failed read shows its own answer so.
    std::string afterText;
    std::string lostText;  // what the step after it printed when it lost its answer
    // Flow controls of the tool in the run: for the option read, whose answer looks like the late one,
    // the tool first receives the late reply and drops it.
    size_t flowControls;
    std::string pktlen;
};

// The code read's reply comes too late, a first frame FB 71 ... followed by consecutive frames. After
// the reset, whose answer looks like no read reply, it comes while the reset waits for its own
// single-frame answer: judged by its first bytes it cannot be that answer, so it gets no flow control
// (the tool sends none in the whole run) and the reset takes its own answer. Before the option read,
// whose answer could look like it, the tool waits for the late reply and drops it.
inline void expectLateFirstFrameGetsNoFlowControl(const Bus& bus) {
    const std::vector<LateFirstFrameCase> cases = {
        {"CYT2 reset after a code read",
         "CYT2",
         e2e::kCyt2Memory,
         {"--delay", "BB71:" + bus.lateMs + ":1"},
         {"--readCode", "c.hex", "--codeStartAddr", "10000000", "--codeLength", "200", "--ecuReset"},
         "",
         "ECU Reset failed (KO)",
         0,
         "1024"},
        {"RH850 option read after a code read",
         "RH850",
         e2e::kRh850Memory,
         {"--delay", "BB71:" + bus.lateMs + ":1", "--option-byte", "0=11223344"},
         {"--readCode", "c.hex", "--codeStartAddr", "10000", "--codeLength", "800", "--readOpt"},
         "   0x11223344",
         "NoResp(ReadOptionBytes)",
         1,
         "1024"},
    };
    for (const LateFirstFrameCase& c : cases) {
        SCOPED_TRACE(c.label);
        SimRig rig(c.ecuClass, c.layout);
        rig.programAll();
        ASSERT_TRUE(rig.start(with(c.simOptions, bus.sim)));
        std::unique_ptr<BusDump> dump = std::make_unique<BusDump>(rig.env);
        ASSERT_TRUE(dump->listening());
        std::vector<std::string> args = c.args;
        std::replace(args.begin(), args.end(), std::string("c.hex"), rig.env.path("c.hex"));
        const RunResult r = rig.run(with({"--nonVerbose"}, args), bus.tool);
        dump->stop();
        EXPECT_TRUE(contains(r.out, "NoResp(R_Code)")) << describe(r);
        EXPECT_FALSE(contains(r.out + r.err, c.lostText)) << describe(r);
        if (!c.afterText.empty()) {
            EXPECT_TRUE(contains(r.out, c.afterText)) << describe(r);
        }
        EXPECT_FALSE(rig.env.exists("c.hex"));
        EXPECT_EQ(count(dump->lines(), bus.toolFlowControl), c.flowControls) << dump->lines();
        dump.reset();
        expectHealthyReadAndWrite(rig, bus, c.pktlen);
    }
}

// ---- replies that look alike

// Three option-byte reads whose replies differ only in the value: the first reply comes after its
// time-out. The second read waits for it (and drops it) before it goes out, so each read that
// succeeds shows its own value; the wait ends when the late reply comes, not a whole time-out later.
inline void expectAlikeRepliesShowTheirOwnValues(const Bus& bus) {
    SimRig rig("RH850", e2e::kRh850Memory);
    rig.programAll();
    ASSERT_TRUE(rig.start(with({"--delay", "BB92:" + bus.lateMs + ":1", "--option-byte", "0=11111111",
                                "--option-byte", "1=22222222", "--option-byte", "2=33333333"},
                               bus.sim)));
    const std::string file =
        rig.env.write("cmd.txt", "Name:Opt0\nBB 92 00\n\nName:Opt1\nBB 92 01\n\nName:Opt2\nBB 92 02\n\n");
    const RunResult r = rig.run({"--nonVerbose", "--cmdFile", file}, bus.tool);
    const size_t first = r.out.find("Cmd (Len: 3 dec): Opt0");
    const size_t second = r.out.find("Cmd (Len: 3 dec): Opt1");
    const size_t third = r.out.find("Cmd (Len: 3 dec): Opt2");
    ASSERT_NE(first, std::string::npos) << describe(r);
    ASSERT_NE(second, std::string::npos) << describe(r);
    ASSERT_NE(third, std::string::npos) << describe(r);
    EXPECT_TRUE(contains(r.out.substr(first, second - first), "No.Response! Service: 0xbb")) << describe(r);
    EXPECT_TRUE(contains(r.out.substr(second, third - second), "Rsp: 6 bytes: 0XFB0X920X220X220X220X22\n"))
        << describe(r);
    EXPECT_TRUE(contains(r.out.substr(third), "Rsp: 6 bytes: 0XFB0X920X330X330X330X33\n")) << describe(r);
    EXPECT_FALSE(contains(r.out, "0X110X110X110X11")) << describe(r);
    // On CAN: the login, 3 s for the first read, 0.3 s more for its late reply, the two reads; a wait
    // of a whole receive time-out after the late reply would end near 6.3 s.
    if (bus.label == "CAN") {
        EXPECT_LT(r.seconds, 5.5) << describe(r);
    }
    expectHealthyReadAndWrite(rig, bus, "512");
}

}  // namespace multiframe_e2e
