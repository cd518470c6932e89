#pragma once
// The RAM routine faults of the end-to-end tests, and the KES2/DRO run that must start no routine
// that did not arrive intact.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/BusDump.h"
#include "tests/e2e/SimRig.h"

namespace e2e {

struct Kes2DroClass {
    std::string name;
    MemoryLayout layout;
    // A code file the write-code step takes.
    Block code;
};

// The class name in test messages.
inline void PrintTo(const Kes2DroClass& ecu, std::ostream* out) {
    *out << ecu.name;
}

// A RAM routine fault and what the run prints for it.
struct RamCase {
    std::string label;
    std::vector<std::string> simOptions;
    bool missingFile;
    std::string text;
    // The fault answers only the first CRC query: a healthy run follows on the same simulator.
    bool healthyAfter;
};

// The faults: a wrong CRC, a short answer (a negative one), no routine file, no CRC answer (which
// costs the receive time-out).
inline std::vector<RamCase> ramCases() {
    return {
        {"wrong CRC", {"--wrong-ram-crc"}, false, "Crc mismatch (Expected: 0x", false},
        {"short CRC answer",
         {"--nrc", "BC:22:1"},
         false,
         "CRC check failed: invalid response: 0X7F0XBC0X22",
         true},
        {"routine file missing", {}, true, "Could not open file", true},
        {"no CRC answer", {"--no-answer", "BC:1"}, false, "Read RAM CRC: NoResp! ", true},
    };
}

constexpr uint8_t kCrcQuery = 0xBC;
constexpr uint8_t kStart = 0xBE;

// The KES2 or DRO program with the RAM routine fault of c: the upload fails, nothing is started, the
// exit code is 4, and the later steps still run (the command file's request is answered); then, where the
// fault has passed, a healthy run on the same simulator starts its routine. The memory stays as it was.
inline void expectKes2DroRoutineNotStarted(const Kes2DroClass& ecu, const RamCase& c) {
    SCOPED_TRACE(c.label);
    SimRig rig(ecu.name, ecu.layout);
    rig.programAll();
    ASSERT_TRUE(rig.start(c.simOptions)) << rig.sim->output();
    const std::string ram = rig.env.write("ram.hex", intelHexText({{0x1000, patternBytes(0x400, 7)}}));
    {
        BusDump dump(rig.env);
        ASSERT_TRUE(dump.listening());
        const RunResult r = rig.run({"--ram", c.missingFile ? rig.env.path("missing.hex") : ram, "--CmdFile",
                                     rig.env.write("cmds.txt", "Name: Info\nBB FF\n")});
        const std::vector<uint8_t> services = dump.stop();
        EXPECT_EQ(r.exitCode, 4) << describe(r);
        EXPECT_NE(r.out.find(c.text), std::string::npos) << describe(r);
        EXPECT_FALSE(sent(services, kStart)) << describe(r);
        EXPECT_EQ(sent(services, kCrcQuery), !c.missingFile);
        EXPECT_NE(r.out.find("... succeeded."), std::string::npos) << describe(r);
    }
    if (c.healthyAfter) {
        BusDump dump(rig.env);
        ASSERT_TRUE(dump.listening());
        const RunResult r = rig.run({"--ram", ram});
        const std::vector<uint8_t> services = dump.stop();
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_NE(r.out.find("CRC check passed (0x"), std::string::npos) << describe(r);
        EXPECT_TRUE(sent(services, kStart));
    }
    const Bytes expected = rig.memory;
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(expected), "");
}

}  // namespace e2e
