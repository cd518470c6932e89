// Runs of voflash against ecu-sim around the flash itself: the session (flash request, login), the
// set-up failures and their exit codes, the RAM routine and the jump, command files, the channel
// menu, LIN, late answers, the refusals of bad lengths and page sizes, help and option errors.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/E2eSupport.h"

namespace {

using e2e::Block;
using e2e::BusLayout;
using e2e::Bytes;
using e2e::crc32;
using e2e::describe;
using e2e::E2eEnv;
using e2e::RunResult;
using e2e::SimProcess;

bool has(const RunResult& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

// An RH850 simulator with the given options, and runs of voflash in batch mode on the RH850 class.
struct Rh850Bench {
    explicit Rh850Bench(std::vector<std::string> simOptions = {}, BusLayout layout = {})
        : env(layout), sim(env, withClass(std::move(simOptions))) {}

    static std::vector<std::string> withClass(std::vector<std::string> options) {
        options.insert(options.begin(), {"--class", "RH850"});
        return options;
    }

    RunResult run(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--ecuClass", "RH850", "--nonVerbose"});
        return env.runVoflash(args);
    }

    E2eEnv env;
    SimProcess sim;
};

TEST(Session, FlashRequestWithTheRightKeyPutsTheEcuInBootloaderMode) {
    Rh850Bench bench({"--flash-key", "1234ABCD"});
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const RunResult r = bench.run({"--ecuFlashRequest", "1234ABCD"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "ECU is in bootloader mode (OK)")) << describe(r);
    EXPECT_TRUE(has(r, "ECU responding (OK)"));
}

// A refused key ends the run with 4 after the 5 s limit, with the channel closed and no closing
// lines; the refusals come about once per 100 ms attempt, not back to back.
TEST(Session, FlashRequestWithAWrongKeyEndsWith4) {
    Rh850Bench bench({"--flash-key", "1234ABCD"});
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const RunResult r = bench.run({"--ecuFlashRequest", "1111"});
    EXPECT_EQ(r.exitCode, 4) << describe(r);
    EXPECT_TRUE(has(r, "Wrong flash request magic Key (KO)")) << describe(r);
    EXPECT_TRUE(has(r, "ECU flash request failed (KO) !!!"));
    EXPECT_FALSE(has(r, "Time elapsed: "));
    EXPECT_FALSE(has(r, "Press any key"));
    EXPECT_GT(r.seconds, 4.5);
    EXPECT_LT(r.seconds, 30);
    // The channel was closed before the process ended: nothing reported at exit.
    EXPECT_EQ(r.err, "");
    const auto dots = std::count(r.out.begin(), r.out.end(), '.');
    EXPECT_LT(dots, 200) << "attempts not paced";
}

TEST(Session, LoginWhileTheEcuPowersUp) {
    Rh850Bench bench({"--no-answer", "BA:6"});
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const RunResult r = bench.run({});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "Attempting to connect to the ECU")) << describe(r);
    EXPECT_TRUE(has(r, "ECU responding (OK)"));
    EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)"));
    // Six unanswered attempts of 300 ms each came first.
    EXPECT_GT(r.seconds, 1.5);
}

// Set-up failures: no hardware (1) and an interface type without a channel (2).
struct SetUpCase {
    std::string label;
    bool hardware;
    std::vector<std::string> args;
    int exitCode;
    std::string text;
};

TEST(Session, SetUpFailuresEndWithTheirCodes) {
    const std::vector<SetUpCase> cases = {
        {"no hardware, port 0", false, {"-n"}, 1, "Error: No CAN hardware found!"},
        {"no hardware, port given in batch mode",
         false,
         {"-n", "--port", "2"},
         1,
         "Error: No CAN hardware found!"},
        {"no hardware, menu", false, {}, 1, "Error: No CAN hardware found!"},
        {"interface type without channel", true, {"-n", "--com", "12"}, 2, "Invalid parameters: "},
        {"bus mode without channel", true, {"-n", "--com", "0"}, 2, "Invalid parameters: "},
        // The LIN checksum model belongs to the Vector LIN channel; a serial port goes without it.
        {"LIN on a serial interface", true, {"-n", "--com", "1", "--lin"}, 2, "Invalid parameters: "},
    };
    for (const SetUpCase& c : cases) {
        SCOPED_TRACE(c.label);
        BusLayout layout;
        layout.withToolHardware = c.hardware;
        E2eEnv env(layout);
        env.setEnv("VOFLASH_COM1", env.path("no-such-port"));
        std::vector<std::string> args = {"--ecuClass", "NXP"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = env.runVoflash(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        EXPECT_TRUE(has(r, c.text)) << describe(r);
        EXPECT_TRUE(has(r, "Time elapsed: "));
        EXPECT_FALSE(has(r, "Connecting:"));
    }
}

TEST(Session, RamRoutineUploadAndStart) {
    Rh850Bench bench({"--start-checks-crc"});
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    // The routine ends with the CRC of the bytes before it, as the simulator's start check wants.
    Bytes routine = e2e::patternBytes(0x2FC, 9);
    const uint32_t crc = crc32(routine);
    for (int shift = 0; shift < 32; shift += 8) {
        routine.push_back(static_cast<uint8_t>(crc >> shift));
    }
    const std::string ram = bench.env.write("ram.hex", e2e::intelHexText({{0xFEDF8000, routine}}));
    const RunResult r = bench.run({"--ram", ram});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "Upload RAM application:")) << describe(r);
    EXPECT_TRUE(has(r, "Start: 0xFEDF8000"));
    EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)"));
}

// A refused chunk of the RAM download ends the process with 4 inside the ECU library; the open
// channel is closed on the way out all the same.
TEST(Session, FailedRamDownloadEndsWith4) {
    Rh850Bench bench({"--nrc", "BD:22"});
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const RunResult r =
        bench.run({"--ram", bench.env.write("ram.hex",
                                            e2e::intelHexText({{0xFEDF8000, e2e::patternBytes(0x100, 1)}}))});
    EXPECT_EQ(r.exitCode, 4) << describe(r);
    EXPECT_TRUE(has(r, "Upload RAM application failed (KO) !!!")) << describe(r);
    EXPECT_FALSE(has(r, "Time elapsed: "));
    EXPECT_EQ(r.err, "");
}

struct StartCase {
    std::string label;
    std::vector<std::string> simOptions;
    bool withRam;
};

// A refused start of the RAM routine, or a refused jump when there is none, completes the run with 5.
TEST(Session, RefusedStartOrJumpEndsWith5) {
    const std::vector<StartCase> cases = {
        {"start of the RAM routine", {"--nrc", "BE:22"}, true},
        {"jump without RAM routine", {"--nrc", "BF:22"}, false},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.label);
        Rh850Bench bench(c.simOptions);
        ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
        std::vector<std::string> args;
        if (c.withRam) {
            args = {"--ram", bench.env.write("ram.hex",
                                             e2e::intelHexText({{0xFEDF8000, e2e::patternBytes(0x100, 1)}}))};
        }
        const RunResult r = bench.run(args);
        EXPECT_EQ(r.exitCode, 5) << describe(r);
        EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
        EXPECT_TRUE(has(r, "Time elapsed: "));
    }
}

TEST(Session, CommandFileRequestsAreSent) {
    Rh850Bench bench({"--ecu-info", "12345678"});
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const std::string file = bench.env.write("cmds.txt", "Name: Info\nBB FF\n\nName: Bad\nBB 55\n");
    const RunResult r = bench.run({"--cmdFile", file});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "Cmd (Len: 2 dec):  Info")) << describe(r);
    EXPECT_TRUE(has(r, "Cmd (Len: 2 dec):  Bad"));
    // The command file does not enter the verdict.
    EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)"));
}

TEST(Session, EcuInfoIsSetAndReadBack) {
    Rh850Bench bench;
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const RunResult r = bench.run({"--ecuInfo", "1A2B", "--ecuType", "demo"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, " Target: 1A2B")) << describe(r);
    EXPECT_TRUE(has(r, " Type:   demo"));
    EXPECT_TRUE(has(r, "ActEcuInfo: 6699")) << describe(r);
}

// Two detected channels: the menu asks, the answer picks the second one, which reaches the ECU.
TEST(Session, MenuOfTwoDetectedChannels) {
    BusLayout layout;
    layout.toolChannels = 2;
    layout.simOnToolChannel = 2;
    E2eEnv env(layout);
    SimProcess sim(env, {"--class", "NXP"});
    ASSERT_TRUE(sim.ready()) << sim.output();
    const RunResult r = env.runVoflash({"--ecuClass", "NXP", "--port", "1"}, 60000, std::string("1\n"));
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "Please select one of the following item:")) << describe(r);
    EXPECT_TRUE(has(r, "  0:   VN1640 Channel 1"));
    EXPECT_TRUE(has(r, "  1:   VN1640 Channel 2"));
    EXPECT_TRUE(has(r, "Select: "));
    EXPECT_TRUE(has(r, "  Port:      2")) << describe(r);
    EXPECT_TRUE(has(r, "ECU responding (OK)"));
}

// Over LIN the replies of the ECU are single frames: login, jump, code erase, code write, option
// bytes. The simulator's memory shows what was written.
TEST(Session, Rh850OverLin) {
    E2eEnv env;
    SimProcess sim(env, {"--class", "RH850", "--lin", "--memory", env.path("memory.bin")});
    ASSERT_TRUE(sim.ready()) << sim.output();
    const Bytes code = e2e::patternBytes(0x400, 11);
    const std::string file = env.write("code.s19", e2e::srecordText({{0, code}}));
    const RunResult r = env.runVoflash({"--ecuClass", "RH850", "-n", "--lin", "--baud", "19200", "--txId",
                                        "3C", "--rxId", "3D", "--pktlen", "256", "--eraseCode", "0,0",
                                        "--writeCode", file, "--writeOpt", "A5", "--readOpt"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "   0xa5")) << describe(r);
    EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
    EXPECT_EQ(sim.stop(), 0);
    const auto memory = env.read("memory.bin");
    ASSERT_TRUE(memory.has_value());
    ASSERT_GE(memory->size(), code.size());
    EXPECT_EQ(Bytes(memory->begin(), memory->begin() + static_cast<long>(code.size())), code);
}

// A reply that comes after the receive time-out fails its step; the run goes on, reports the
// failed step in its verdict and ends normally.
TEST(Session, LateAnswerFailsItsStep) {
    Rh850Bench bench({"--delay", "BB92:3500:1"});
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const RunResult r = bench.run({"--readOpt"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "   0x0")) << describe(r);
    EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
    EXPECT_TRUE(has(r, "Time elapsed: "));
}

// Steps refused before anything is sent or allocated; no read-back file is written for them, nor
// for a read that failed.
struct RefusalCase {
    std::string label;
    std::vector<std::string> args;
    std::string text;
    std::vector<std::string> simOptions = {};
};

TEST(Session, RefusedAndFailedReadsWriteNoFile) {
    const std::vector<RefusalCase> cases = {
        {"data range beyond 4 GiB",
         {"--readData", "out.hex", "--dataLength", "100000000"},
         "ends beyond 0xffffffff"},
        {"code range beyond 4 GiB",
         {"--readCode", "out.hex", "--codeStartAddr", "FFFFF000", "--codeLength", "2000"},
         "ends beyond 0xffffffff"},
        {"code page size 0",
         {"--readCode", "out.hex", "--codePageSize", "0", "--codeLength", "800"},
         "Invalid code page size: 0"},
        {"code page larger than the packet",
         {"--readCode", "out.hex", "--codePageSize", "400", "--codeLength", "800"},
         "Invalid page count 0"},
        {"read refused by the ECU",
         {"--readCode", "out.hex", "--codeLength", "800"},
         "NRC",
         {"--nrc", "BB71:22"}},
        {"no data length", {"--readData", "out.hex"}, "Please use the --dataLength cmd lind parameter."},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.label);
        Rh850Bench bench(c.simOptions);
        ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
        std::vector<std::string> args = c.args;
        for (std::string& a : args) {
            if (a == "out.hex") {
                a = bench.env.path("out.hex");
            }
        }
        const RunResult r = bench.run(args);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(has(r, c.text)) << describe(r);
        EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
        EXPECT_FALSE(bench.env.exists("out.hex"));
    }
}

// RH850 --eraseData with a page size of 0 fails the step instead of dividing by it.
TEST(Session, DataEraseWithPageSizeZeroFails) {
    Rh850Bench bench;
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const RunResult r = bench.run({"--eraseData", "32", "--dataPageSize", "0"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "Invalid data page size: 0")) << describe(r);
    EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)"));
}

// A data write whose file holds nothing at --dataStartAddr wrote nothing: a failed step.
TEST(Session, DataWriteThatWritesNothingFails) {
    Rh850Bench bench;
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const std::string file =
        bench.env.write("data.hex", e2e::intelHexText({{0xFF201000, e2e::patternBytes(0x40, 3)}}));
    const RunResult r = bench.run({"--writeData", file});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "Info: Flash data length defaulted to: 32768")) << describe(r);
    EXPECT_TRUE(has(r, "File does not include data to program. Second one in file.")) << describe(r);
    EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)"));
}

// Help, option errors and the class dispatch: all end with 0 before any interface is touched.
struct CommandLineCase {
    std::string label;
    std::vector<std::string> args;
    std::vector<std::string> texts;
    std::vector<std::string> absent;
};

TEST(CommandLine, HelpAndOptionErrorsEndWith0) {
    const std::vector<CommandLineCase> cases = {
        {"help",
         {"--ecuClass", "CYT2", "--help"},
         {"Options:", "--ecuClass arg", "Time elapsed: "},
         {"Com interface list:", "warning:", "Connecting:"}},
        {"no option",
         {},
         {"warning: The ecuClass parameter has not been properly provided.",
          "warning: We will use the default ecuClass RH850.", "Options:", "Com interface list:"},
         {"Connecting:"}},
        {"unknown option",
         {"--ecuClass", "NXP", "--foo"},
         {"Error: Exception of type "},
         {"Options:", "Connecting:"}},
        {"class as last argument",
         {"--ecuClass"},
         {"warning: We will use the default ecuClass RH850.", "Error: Exception of type "},
         {"Connecting:"}},
        {"class in lower case", {"--ecuClass", "cyt2", "--help"}, {"warning: The ecuClass parameter"}, {}},
        {"class with an equals sign", {"--ecuClass=CYT2", "--help"}, {"warning: The ecuClass parameter"}, {}},
    };
    E2eEnv env;
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(c.label);
        const RunResult r = env.runVoflash(c.args);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        for (const std::string& t : c.texts) {
            EXPECT_TRUE(has(r, t)) << t << "\n" << describe(r);
        }
        for (const std::string& t : c.absent) {
            EXPECT_FALSE(has(r, t)) << t << "\n" << describe(r);
        }
    }
}

TEST(CommandLine, InvalidPacketLengthFallsBackTo512) {
    Rh850Bench bench;
    ASSERT_TRUE(bench.sim.ready()) << bench.sim.output();
    const RunResult r = bench.run({"--pktlen", "4096"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r,
                    "An invalid Packet Length (pktlen) has been provided.\nThe default value will be used "
                    "[512 bytes]."))
        << describe(r);
}

TEST(CommandLine, KesAndDroRunTheirOwnPrograms) {
    E2eEnv env;
    for (const std::string cls : {"KES2", "DRO"}) {
        SCOPED_TRACE(cls);
        const RunResult r = env.runVoflash({"--ecuClass", cls, "--help"});
        EXPECT_FALSE(has(r, "warning: The ecuClass parameter")) << describe(r);
        EXPECT_TRUE(has(r, "Time elapsed: "));
    }
}

}  // namespace
