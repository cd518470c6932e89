#pragma once
// The KES2 and DRO status screen as a terminal shows it: voflash runs against ecu-sim with its
// standard output on a pseudo-terminal, and what it wrote is laid out in a grid of cells as the
// terminal lays it out (cursor moves included). Every label keeps its row, each bar stands at column
// 10 on the row below its label, a step's message under its bar, the command file's output below the
// screen and the closing lines below everything.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "tests/console/probe_runner.h"
#include "tests/e2e/Kes2DroE2e.h"

namespace status_screen_e2e {

using namespace kes2dro_e2e;

inline const std::string& fullBar() {
    static const std::string bar = std::string(10, ' ') + "[" + std::string(50, '=') + "] 100 %";
    return bar;
}

// The rows of the screen with what changes from run to run (build date and time, the CRC, the time
// elapsed) replaced by fixed words.
inline std::vector<std::string> normalisedRows(const std::string& out) {
    std::vector<std::string> rows = probe::screenRows(out);
    const std::regex version(R"(-- \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d( - v1\.\d))");
    const std::regex crc(R"(CRC check passed \(0x[0-9A-F]+\))");
    const std::regex elapsed(R"(Time elapsed: [0-9.e+-]+ seconds)");
    for (std::string& row : rows) {
        row = std::regex_replace(row, version, "-- BUILD$1");
        row = std::regex_replace(row, crc, "CRC check passed (0xCRC)");
        row = std::regex_replace(row, elapsed, "Time elapsed: T seconds");
    }
    return rows;
}

struct ScreenRun {
    probe::Result result;
    std::vector<std::string> rows;
};

// voflash with the rig's class, the tool's channel and args, on a terminal of 80 columns.
inline ScreenRun runOnTerminal(const Kes2DroRig& rig, const std::vector<std::string>& args,
                               unsigned short rows = 40) {
    probe::Setup setup;
    setup.output = probe::Output::terminal;
    setup.rows = rows;
    setup.timeoutSeconds = 120;
    for (const std::string& entry : rig.env.environment()) {
        const std::size_t equals = entry.find('=');
        // The terminal's own TERM (xterm) stays.
        if (entry.substr(0, equals) != "TERM") {
            setup.environment.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
        }
    }
    std::vector<std::string> argv = {
        e2e::voflashPath(), "--ecuClass", rig.ecuClass, "--Com", "9", "--p", "1"};
    argv.insert(argv.end(), args.begin(), args.end());
    ScreenRun run{probe::runProgram(argv, setup), {}};
    run.rows = normalisedRows(run.result.out);
    return run;
}

// DRO with the RAM routine, a data read and a data write (the run of the report): the screen as laid
// out, the data flash read back whole and the file's bytes written from address 0.
inline void expectDroScreen(const std::string& packetLength) {
    SCOPED_TRACE("--pktlen " + packetLength);
    Kes2DroRig rig("DRO", kDroMemory);
    rig.programAll();
    ASSERT_TRUE(rig.start()) << rig.sim->output();
    const Bytes data = e2e::patternBytes(0x800, 41);
    const std::string dataFile = hexFile(rig.env, "d.hex", {{0, data}});
    const Bytes before = rig.data(0, kDroMemory.dataLength);
    const ScreenRun run = runOnTerminal(rig, {"--ram", ramRoutine(rig.env), "--pktlen", packetLength, "--wD",
                                              dataFile, "--rD", rig.env.path("back.hex")});
    ASSERT_FALSE(run.result.timedOut);
    EXPECT_EQ(run.result.exitCode, 0) << run.result.out;
    const std::vector<std::string> expected = {
        "-- BUILD - v1.1",
        "",
        "",
        "",
        " Connecting :",
        " Upload ApplRam:",
        fullBar(),
        "CRC check passed (0xCRC)",
        "",
        " Read Data:",
        fullBar(),
        "",
        " Flash Data:",
        fullBar(),
        "",
        "",
        "Time elapsed: T seconds",
        "Press any key to continue . . .",
        "",
    };
    EXPECT_EQ(run.rows, expected) << run.result.out;
    rig.expectFileHolds("back.hex", 0, before);
    rig.setData(0, data);
    EXPECT_EQ(stopAndCompare(rig), "");
}

// KES2 with the ECU information, a command file, a boot-area read, a data read the ECU refuses once,
// a label of no step and a data write: the refusal under the read's label, the command file's
// output below the screen, and the write after the refusal still done.
inline void expectKes2Screen(const std::string& packetLength) {
    SCOPED_TRACE("--pktlen " + packetLength);
    Kes2DroRig rig("KES2", kKes2Memory);
    rig.programAll();
    ASSERT_TRUE(rig.start({"--nrc", "BB81:31:1"})) << rig.sim->output();
    const Bytes data = e2e::patternBytes(0x100, 43);
    const std::string dataFile = hexFile(rig.env, "d.hex", {{0xFE000000, data}});
    const Bytes bootArea = rig.code(0, 0x8000);
    const ScreenRun run = runOnTerminal(
        rig, {"--ram", ramRoutine(rig.env), "--ECU", "12", "--pktlen", packetLength, "--CmdFile",
              rig.env.write("cmds.txt", "Name: Info\nBB FF\n"), "--Bmg", "--rP", rig.env.path("boot.hex"),
              "--rD", rig.env.path("data.hex"), "--Dferase", "--wD", dataFile});
    ASSERT_FALSE(run.result.timedOut);
    EXPECT_EQ(run.result.exitCode, 0) << run.result.out;
    const std::string command = "Cmd (Len: 2 dec):  Info";
    const std::vector<std::string> expected = {
        "-- BUILD - v1.6",
        " Target: 12",
        "",
        "",
        "",
        " Connecting : ActEcuInfo: 18",
        " Upload ApplRam:",
        fullBar(),
        "CRC check passed (0xCRC)",
        "",
        " Read Code:",
        fullBar(),
        "",
        " Read Data:",
        "R_Data, Addr: 0x0 NRC(RequestOutOfRange)",
        "",
        " DF erase:",
        "",
        "",
        " Flash Data:",
        fullBar(),
        "",
        "",
        command + std::string(32 - command.size(), ' ') + "... succeeded.",
        "        Response: 6 bytes: 0XFB0XFF0000000X12",
        "",
        "Time elapsed: T seconds",
        "Press any key to continue . . .",
        "",
    };
    EXPECT_EQ(run.rows, expected) << run.result.out;
    rig.expectFileHolds("boot.hex", 0, bootArea);
    EXPECT_FALSE(rig.env.exists("data.hex"));
    rig.setData(0, data);
    EXPECT_EQ(stopAndCompare(rig), "");
}

// The index of the last row that is text, or -1.
inline int lastRow(const std::vector<std::string>& rows, const std::string& text) {
    for (int i = static_cast<int>(rows.size()) - 1; i >= 0; --i) {
        if (rows[static_cast<std::size_t>(i)] == text) {
            return i;
        }
    }
    return -1;
}

// DRO's boot-block write prints a line per TA and CFG block, far more than the rows under its label:
// the labels after it are drawn again below that output, the old ones blanked, and the data write
// shows its bar under its new label. Then the closing lines.
inline void expectLabelsDrawnAgainAfterALongStep(const std::string& packetLength) {
    SCOPED_TRACE("--pktlen " + packetLength);
    Kes2DroRig rig("DRO", kDroMemory);
    rig.programAll();
    ASSERT_TRUE(rig.start()) << rig.sim->output();
    const Bytes bootBlock = e2e::patternBytes(0x4000, 45);
    const Bytes data = e2e::patternBytes(0x800, 46);
    const ScreenRun run = runOnTerminal(rig, {"--ram", ramRoutine(rig.env), "--pktlen", packetLength, "--Bmg",
                                              "--wP", hexFile(rig.env, "boot.hex", {{0x70000, bootBlock}}),
                                              "--wD", hexFile(rig.env, "d.hex", {{0, data}}), "--reset"});
    ASSERT_FALSE(run.result.timedOut);
    EXPECT_EQ(run.result.exitCode, 0) << run.result.out;
    const std::vector<std::string>& rows = run.rows;
    EXPECT_EQ(std::count(rows.begin(), rows.end(), " Flash Code:"), 1) << run.result.out;
    EXPECT_EQ(std::count(rows.begin(), rows.end(), " Flash Data:"), 1) << run.result.out;
    EXPECT_EQ(std::count(rows.begin(), rows.end(), " Reset :"), 1) << run.result.out;
    const int flashData = lastRow(rows, " Flash Data:");
    const int lastResponse = [&] {
        int found = -1;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].find("Response: 2 bytes") != std::string::npos) {
                found = static_cast<int>(i);
            }
        }
        return found;
    }();
    EXPECT_GT(flashData, lastResponse) << run.result.out;
    ASSERT_GE(flashData, 0);
    EXPECT_EQ(rows[static_cast<std::size_t>(flashData) + 1], fullBar()) << run.result.out;
    EXPECT_GT(lastRow(rows, " Reset :"), flashData);
    EXPECT_GT(lastRow(rows, "Time elapsed: T seconds"), lastRow(rows, " Reset :")) << run.result.out;
    rig.setCode(0x70000, bootBlock);
    rig.setData(0, data);
    EXPECT_EQ(stopAndCompare(rig), "");
}

// On a terminal of 20 rows a command file's output scrolls the labels of the later steps out of the
// window: they are drawn again below that output, where the steps then show their bars.
inline void expectLabelsDrawnAgainWhenScrolledAway(const std::string& packetLength) {
    SCOPED_TRACE("--pktlen " + packetLength);
    Kes2DroRig rig("KES2", kKes2Memory);
    rig.programAll();
    ASSERT_TRUE(rig.start()) << rig.sim->output();
    std::string commands;
    for (int i = 1; i <= 7; ++i) {
        commands += "Name: Info" + std::to_string(i) + "\nBB FF\n\n";
    }
    const Bytes data = e2e::patternBytes(0x100, 47);
    const ScreenRun run =
        runOnTerminal(rig,
                      {"--ram", ramRoutine(rig.env), "--pktlen", packetLength, "--CmdFile",
                       rig.env.write("cmds.txt", commands), "--rD", rig.env.path("back.hex"), "--wD",
                       hexFile(rig.env, "d.hex", {{0xFE000000, data}})},
                      20);
    ASSERT_FALSE(run.result.timedOut);
    EXPECT_EQ(run.result.exitCode, 0) << run.result.out;
    const std::vector<std::string>& rows = run.rows;
    const int lastCommand = lastRow(rows, "        Response: 6 bytes: 0XFB0XFF00000000");
    ASSERT_GE(lastCommand, 0) << run.result.out;
    for (const char* label : {" Read Data:", " Flash Data:"}) {
        SCOPED_TRACE(label);
        const int row = lastRow(rows, label);
        EXPECT_GT(row, lastCommand) << run.result.out;
        ASSERT_GE(row, 0);
        EXPECT_EQ(rows[static_cast<std::size_t>(row) + 1], fullBar()) << run.result.out;
    }
    EXPECT_GT(lastRow(rows, "Time elapsed: T seconds"), lastRow(rows, " Flash Data:"));
    rig.expectFileHolds("back.hex", 0xFE000000, rig.data(0, kKes2Memory.dataLength));
    rig.setData(0, data);
    EXPECT_EQ(stopAndCompare(rig), "");
}

}  // namespace status_screen_e2e
