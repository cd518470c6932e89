// What ecu-sim refuses at its start, each with one line. A repeated option (exit code 2). One
// simulator per channel and per memory file: a second ecu-sim on a channel that one serves, or on a
// memory file that one uses, is refused (exit code 1), leaves no file behind and changes none; the
// first one goes on answering. The locks end with the simulator, also when it is killed.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/SimRig.h"

namespace {

using e2e::describe;
using e2e::E2eEnv;
using e2e::RunResult;
using e2e::SimProcess;
using e2e::SimRig;

struct Bus {
    const char* name;
    std::vector<std::string> simOptions;
    std::vector<std::string> toolOptions;
};

const Bus kBuses[] = {
    {"CAN", {}, {}},
    {"LIN", {"--lin"}, {"--lin", "--baud", "19200", "--txId", "3C", "--rxId", "3D"}},
};

std::vector<std::string> simArgs(const std::string& memory, const Bus& bus) {
    std::vector<std::string> args = {"--class", "RH850", "--memory", memory};
    args.insert(args.end(), bus.simOptions.begin(), bus.simOptions.end());
    return args;
}

// A healthy run against the rig's simulator erases code block 0 (0x2000 bytes); after the simulator
// has stopped, the rest of its memory is as it started.
void expectBlockZeroErasedAndSaved(SimRig& rig, const Bus& bus) {
    std::vector<std::string> args = {"--ecuClass", "RH850", "--nonVerbose", "--eraseCode", "0,0"};
    args.insert(args.end(), bus.toolOptions.begin(), bus.toolOptions.end());
    const RunResult r = rig.env.runVoflash(args);
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_NE(r.out.find("ECU is programmed successfully (OK)"), std::string::npos) << describe(r);
    e2e::Bytes expected = rig.memory;
    std::fill(expected.begin(), expected.begin() + 0x2000, uint8_t{0xFF});
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(expected), "");
}

TEST(SimStart, RepeatedOptionIsRefused) {
    const E2eEnv env;
    struct Case {
        std::vector<std::string> args;
        std::string line;
    };
    const Case cases[] = {
        {{"--class", "RH850", "--class", "CYT2"}, "ecu-sim: --class given more than once"},
        {{"--channel", "1", "--channel", "2"}, "ecu-sim: --channel given more than once"},
        {{"--option-byte", "3=11223344", "--option-byte", "0x3=55667788"},
         "ecu-sim: --option-byte 3 given more than once"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        SimProcess sim(env, c.args, "refused");
        EXPECT_FALSE(sim.ready());
        EXPECT_EQ(sim.stop(), 2);
        EXPECT_EQ(sim.output(), c.line + " (ecu-sim --help lists the options)\n");
    }
}

TEST(SimStart, SecondSimulatorOnAServedChannelIsRefused) {
    for (const Bus& bus : kBuses) {
        SCOPED_TRACE(bus.name);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start(bus.simOptions)) << rig.sim->output();
        SimProcess second(rig.env, simArgs(rig.env.path("second.bin"), bus), "second");
        EXPECT_FALSE(second.ready());
        EXPECT_EQ(second.stop(), 1);
        EXPECT_EQ(second.output(), "ecu-sim: channel " + std::to_string(rig.env.simChannel()) +
                                       " (ECU sim, bus ecu) is already served by another ecu-sim\n");
        EXPECT_FALSE(rig.env.exists("second.bin"));
        expectBlockZeroErasedAndSaved(rig, bus);
    }
}

TEST(SimStart, SecondSimulatorOnAMemoryFileInUseIsRefused) {
    for (const Bus& bus : kBuses) {
        SCOPED_TRACE(bus.name);
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start(bus.simOptions)) << rig.sim->output();
        // On a bus of its own: only the memory file is shared.
        const E2eEnv elsewhere;
        const std::string memory = rig.env.path("memory.bin");
        SimProcess second(elsewhere, simArgs(memory, bus), "second");
        EXPECT_FALSE(second.ready());
        EXPECT_EQ(second.stop(), 1);
        EXPECT_EQ(second.output(), "ecu-sim: memory file " + memory + " is in use by another ecu-sim\n");
        EXPECT_EQ(rig.env.read("memory.bin"), std::string(rig.memory.begin(), rig.memory.end()));
        expectBlockZeroErasedAndSaved(rig, bus);
    }
}

TEST(SimStart, LocksEndWithTheSimulatorHoweverItEnds) {
    SimRig rig("RH850", e2e::kRh850Memory);
    rig.programAll();
    ASSERT_TRUE(rig.start()) << rig.sim->output();
    const std::vector<std::string> args = simArgs(rig.env.path("memory.bin"), kBuses[0]);
    // Killed: nothing saved, channel and memory file free again.
    rig.sim->crash();
    rig.sim = std::make_unique<SimProcess>(rig.env, args, "after-kill");
    ASSERT_TRUE(rig.sim->ready()) << rig.sim->output();
    // Stopped: the same.
    EXPECT_EQ(rig.sim->stop(), 0);
    rig.sim = std::make_unique<SimProcess>(rig.env, args, "after-stop");
    ASSERT_TRUE(rig.sim->ready()) << rig.sim->output();
    expectBlockZeroErasedAndSaved(rig, kBuses[0]);
}

}  // namespace
