// A run does only what its command line asks, and its exit code is true: a command line the option
// library rejects runs no step, a RAM routine that did not arrive intact (or could not be read) is
// never started, and ecu-sim refuses a memory file it could not save. What reached the ECU is read
// from a dump of the bus and from the memory the simulator saved.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/BusDump.h"
#include "tests/e2e/RamRoutineE2e.h"
#include "tests/e2e/SimRig.h"

namespace {

using e2e::BusDump;
using e2e::Bytes;
using e2e::describe;
using e2e::E2eEnv;
using e2e::kCrcQuery;
using e2e::Kes2DroClass;
using e2e::kStart;
using e2e::RamCase;
using e2e::RunResult;
using e2e::sent;
using e2e::SimProcess;
using e2e::SimRig;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ---- Option errors

struct OptionErrorCase {
    std::string label;
    // "CODE", "CMD" and "OUT" stand for a code file, a command file that erases a block and a
    // read-back file.
    std::vector<std::string> args;
};

std::vector<std::string> withFiles(std::vector<std::string> args, const std::string& code,
                                   const std::string& cmd, const std::string& out) {
    for (std::string& a : args) {
        a = a == "CODE" ? code : a == "CMD" ? cmd : a == "OUT" ? out : a;
    }
    return args;
}

// Each command line holds steps that would change the programmed memory; none of them may run, also
// not those given before the option that the library rejects.
TEST(OptionErrors, StandardProgramRunsNoStep) {
    const std::vector<OptionErrorCase> cases = {
        {"repeated option after step options",
         {"--eraseCode", "0,1", "--cmdFile", "CMD", "--readData", "OUT", "--dataLength", "100", "--txId",
          "6F1", "--txId", "6F1", "--writeCode", "CODE"}},
        {"repeated option before step options",
         {"--txId", "6F1", "--txId", "6F1", "--eraseCode", "0,1", "--writeCode", "CODE"}},
        {"unknown option", {"--eraseCode", "0,1", "--cmdFile", "CMD", "--eraseData", "8", "--foo"}},
        {"missing value", {"--eraseCode", "0,1", "--cmdFile", "CMD", "--writeCode"}},
        {"value given to a flag", {"--eraseCode", "0,1", "--eraseData", "8", "--noEraseCode=1"}},
    };
    for (const OptionErrorCase& c : cases) {
        SCOPED_TRACE(c.label);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        const std::string code =
            rig.env.write("code.hex", e2e::intelHexText({{0, e2e::patternBytes(0x800, 5)}}));
        const std::string cmd = rig.env.write("cmds.txt", "Name: Erase\nBB 72 00 00 00 00 00\n");
        const RunResult r = rig.run(withFiles(c.args, code, cmd, rig.env.path("out.hex")), {"-n"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(has(r.out, "Error: Exception of type ")) << describe(r);
        for (const char* step : {"Connecting:", "Erase code:", "Flash code:", "Read data:", "Cmd (Len:",
                                 "Erase all flash data:", "ECU is programmed", "ECU is not programmed"}) {
            EXPECT_FALSE(has(r.out, step)) << step << "\n" << describe(r);
        }
        EXPECT_FALSE(rig.env.exists("out.hex"));
        const Bytes expected = rig.memory;
        rig.stop();
        EXPECT_EQ(rig.differencesFrom(expected), "");
    }
}

class Kes2DroOptionErrors : public ::testing::TestWithParam<Kes2DroClass> {};

// The option map is empty: the program builds its channel on the default interface (a CANcardXLe,
// which the driver does not offer), so the set-up fails; no file step, no command file.
TEST_P(Kes2DroOptionErrors, RunNoStep) {
    const std::vector<OptionErrorCase> cases = {
        {"repeated option after step options",
         {"--CmdFile", "CMD", "--rP", "OUT", "--wP", "CODE", "--TxId", "6F1", "--TxId", "6F1"}},
        {"repeated option before step options",
         {"--TxId", "6F1", "--TxId", "6F1", "--CmdFile", "CMD", "--wP", "CODE"}},
        {"unknown option", {"--CmdFile", "CMD", "--wP", "CODE", "--foo"}},
        {"missing value", {"--CmdFile", "CMD", "--wP", "CODE", "--rD"}},
    };
    for (const OptionErrorCase& c : cases) {
        SCOPED_TRACE(c.label);
        SimRig rig(GetParam().name, GetParam().layout);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        const std::string code = rig.env.write("code.hex", e2e::intelHexText({GetParam().code}));
        const std::string cmd = rig.env.write("cmds.txt", "Name: Erase\nBB 72 00 00 00 00 00\n");
        BusDump dump(rig.env);
        ASSERT_TRUE(dump.listening());
        const RunResult r = rig.run(withFiles(c.args, code, cmd, rig.env.path("out.hex")));
        const std::vector<uint8_t> services = dump.stop();
        EXPECT_EQ(r.exitCode, 2) << describe(r);
        EXPECT_TRUE(has(r.out, "error: ")) << describe(r);
        EXPECT_TRUE(has(r.out, "Invalid parameters: ")) << describe(r);
        EXPECT_FALSE(has(r.out, "Cmd (Len:")) << describe(r);
        EXPECT_TRUE(services.empty()) << services.size() << " requests";
        EXPECT_FALSE(rig.env.exists("out.hex"));
        const Bytes expected = rig.memory;
        rig.stop();
        EXPECT_EQ(rig.differencesFrom(expected), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Classes, Kes2DroOptionErrors,
    ::testing::Values(Kes2DroClass{"KES2", e2e::kKes2Memory, {0, e2e::patternBytes(0x9000, 6)}},
                      Kes2DroClass{"DRO", e2e::kDroMemory, {0x74000, e2e::patternBytes(0x2000, 6)}}),
    [](const ::testing::TestParamInfo<Kes2DroClass>& info) { return info.param.name; });

// ---- RAM routine

// A RAM routine that did not arrive intact, or whose file cannot be read, is not started: no start
// request reaches the ECU, the run ends with exit code 4. A failed upload ends the process at once
// with its KO line; an unreadable file fails the RAM step, the run completes with the KO verdict.
TEST(RamRoutine, StandardProgramStartsNoDamagedRoutine) {
    for (const RamCase& c : e2e::ramCases()) {
        SCOPED_TRACE(c.label);
        E2eEnv env;
        std::vector<std::string> simOptions = {"--class", "RH850"};
        simOptions.insert(simOptions.end(), c.simOptions.begin(), c.simOptions.end());
        SimProcess sim(env, simOptions);
        ASSERT_TRUE(sim.ready()) << sim.output();
        const std::string ram =
            env.write("ram.hex", e2e::intelHexText({{0xFEDF8000, e2e::patternBytes(0x300, 8)}}));
        const std::vector<std::string> args = {"--ecuClass", "RH850", "-n", "--ram"};
        {
            BusDump dump(env);
            ASSERT_TRUE(dump.listening());
            std::vector<std::string> failing = args;
            failing.push_back(c.missingFile ? env.path("missing.hex") : ram);
            const RunResult r = env.runVoflash(failing);
            const std::vector<uint8_t> services = dump.stop();
            EXPECT_EQ(r.exitCode, 4) << describe(r);
            EXPECT_TRUE(has(r.out, c.text)) << describe(r);
            EXPECT_FALSE(sent(services, kStart)) << describe(r);
            EXPECT_FALSE(has(r.out, "Start: 0x")) << describe(r);
            EXPECT_FALSE(has(r.out, "(OK)\n\n\n")) << describe(r);
            if (c.missingFile) {
                EXPECT_FALSE(sent(services, kCrcQuery));
                EXPECT_TRUE(has(r.out, "ECU is not programmed successfully (KO)")) << describe(r);
                EXPECT_TRUE(has(r.out, "Time elapsed: "));
            } else {
                EXPECT_TRUE(sent(services, kCrcQuery));
                // The CRC answer's text, then the failed upload, and the process ends there.
                const size_t crcText = r.out.find(c.text);
                const size_t failed = r.out.find("Upload RAM application failed (KO) !!!");
                ASSERT_NE(failed, std::string::npos) << describe(r);
                EXPECT_LT(crcText, failed);
                EXPECT_FALSE(has(r.out, "ECU is programmed successfully"));
                EXPECT_FALSE(has(r.out, "Time elapsed: "));
                EXPECT_EQ(r.err, "");
            }
        }
        if (c.healthyAfter) {
            BusDump dump(env);
            ASSERT_TRUE(dump.listening());
            std::vector<std::string> healthy = args;
            healthy.push_back(ram);
            const RunResult r = env.runVoflash(healthy);
            const std::vector<uint8_t> services = dump.stop();
            EXPECT_EQ(r.exitCode, 0) << describe(r);
            EXPECT_TRUE(has(r.out, "CRC check passed (0x")) << describe(r);
            EXPECT_TRUE(has(r.out, "Start: 0xFEDF8000")) << describe(r);
            EXPECT_TRUE(has(r.out, "ECU is programmed successfully (OK)")) << describe(r);
            EXPECT_TRUE(sent(services, kStart));
        }
    }
}

class Kes2DroRam : public ::testing::TestWithParam<Kes2DroClass> {};

TEST_P(Kes2DroRam, StartsNoDamagedRoutine) {
    for (const RamCase& c : e2e::ramCases()) {
        // A missing CRC answer costs the 10 s receive time-out: a slow test.
        if (c.label != "no CRC answer") {
            expectKes2DroRoutineNotStarted(GetParam(), c);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, Kes2DroRam,
                         ::testing::Values(Kes2DroClass{"KES2", e2e::kKes2Memory, {}},
                                           Kes2DroClass{"DRO", e2e::kDroMemory, {}}),
                         [](const ::testing::TestParamInfo<Kes2DroClass>& info) { return info.param.name; });

// ---- The simulator's memory file

// A memory file ecu-sim could not save at its end is refused at its start, with one line; nothing is
// left behind, and an existing memory file keeps its bytes.
TEST(SimMemoryFile, OneThatCannotBeWrittenIsRefusedAtStart) {
    E2eEnv env;
    const std::string saved(e2e::kRh850Memory.codeLength + e2e::kRh850Memory.dataLength, '\x5A');
    env.write("kept.bin", saved);
    std::filesystem::create_directories(env.path("kept.bin.tmp"));
    std::filesystem::create_directories(env.path("folder.bin"));
    env.write("file", "a file, no folder");
    struct Case {
        std::string label;
        std::string memory;
        std::string line;
    };
    std::vector<Case> cases = {
        {"no such folder", env.path("no/such/m.bin"),
         "ecu-sim: cannot write " + env.path("no/such/m.bin") + ": no folder " + env.path("no/such") + "\n"},
        {"no such folder, a relative path", "no/m.bin", "ecu-sim: cannot write no/m.bin: no folder no\n"},
        {"a file in place of the folder", env.path("file/m.bin"),
         "ecu-sim: cannot write " + env.path("file/m.bin") + ": Not a directory\n"},
        {"a folder in place of the file", env.path("folder.bin"),
         "ecu-sim: cannot write " + env.path("folder.bin") + ": it is a folder\n"},
        {"existing memory file, its temporary file a folder", env.path("kept.bin"),
         "ecu-sim: cannot write " + env.path("kept.bin") + ": its temporary file " +
             env.path("kept.bin.tmp") + " is a folder\n"},
    };
    if (geteuid() != 0) {
        std::filesystem::create_directories(env.path("read-only"));
        chmod(env.path("read-only").c_str(), 0555);
        cases.push_back({"a folder without write permission", env.path("read-only/m.bin"),
                         "ecu-sim: cannot write " + env.path("read-only/m.bin") + ": Permission denied\n"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SimProcess sim(env, {"--class", "RH850", "--memory", c.memory}, "refused");
        EXPECT_FALSE(sim.ready());
        EXPECT_EQ(sim.stop(), 1);
        EXPECT_EQ(sim.output(), c.line);
        EXPECT_FALSE(std::filesystem::exists(env.path("no")));
        EXPECT_FALSE(std::filesystem::exists(env.path("file/m.bin.tmp")));
        EXPECT_EQ(env.read("kept.bin"), saved);
        EXPECT_TRUE(std::filesystem::is_directory(env.path("kept.bin.tmp")));
        EXPECT_TRUE(std::filesystem::is_empty(env.path("folder.bin")));
    }
}

// A memory file that can be written: the simulator starts, leaves the file and a temporary file of
// an earlier run as they are, and saves what was flashed at its end.
TEST(SimMemoryFile, OneThatCanBeWrittenIsKeptUntilTheEnd) {
    E2eEnv env;
    const std::string saved(e2e::kRh850Memory.codeLength + e2e::kRh850Memory.dataLength, '\x5A');
    env.write("m.bin", saved);
    env.write("m.bin.tmp", "left by an earlier run");
    SimProcess sim(env, {"--class", "RH850", "--memory", env.path("m.bin")});
    ASSERT_TRUE(sim.ready()) << sim.output();
    EXPECT_EQ(env.read("m.bin"), saved);
    EXPECT_EQ(env.read("m.bin.tmp"), std::string("left by an earlier run"));
    const RunResult r = env.runVoflash({"--ecuClass", "RH850", "-n", "--eraseCode", "0,0"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(sim.stop(), 0) << sim.output();
    std::string expected = saved;
    std::fill(expected.begin(), expected.begin() + 0x2000, '\xFF');
    EXPECT_EQ(env.read("m.bin"), expected);
    EXPECT_FALSE(env.exists("m.bin.tmp"));
}

// The driver's configuration errors carry the name of the program that reads the configuration.
TEST(DriverConfiguration, ErrorsNameTheRunningProgram) {
    E2eEnv env;
    env.write("xl.cfg", "VN1640 Channel 1, 59, 0, 0\n");
    SimProcess sim(env, {"--class", "RH850"});
    EXPECT_FALSE(sim.ready());
    EXPECT_EQ(sim.output().rfind("ecu-sim: XL driver configuration " + env.path("xl.cfg") + ", line 1: ", 0),
              0u)
        << sim.output();
    const RunResult r = env.runVoflash({"--ecuClass", "RH850", "-n"});
    EXPECT_EQ(r.err.rfind("voflash: XL driver configuration " + env.path("xl.cfg") + ", line 1: ", 0), 0u)
        << describe(r);
    EXPECT_EQ(r.exitCode, 1) << describe(r);
}

}  // namespace
