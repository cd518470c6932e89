// The steps of the standard programs against a simulated ECU whose flash holds a programmed image:
// the whole memory is compared after each run, so bytes erased but not written back, or written
// where the step was not asked to, show wherever they are. Also the order of the steps, the session
// options, the jump, code writes without erase or with a length, read-back files and their
// addresses, and a read-back buffer that cannot be had.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/SimRig.h"

namespace {

using e2e::Bytes;
using e2e::describe;
using e2e::RunResult;
using e2e::SimRig;

constexpr uint64_t kRh850Data = 0xFF200000;

bool has(const RunResult& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

// A programmed RH850 and runs of voflash on it in batch mode.
struct Rh850 {
    explicit Rh850(const std::vector<std::string>& simOptions = {}) : rig("RH850", e2e::kRh850Memory) {
        rig.programAll();
        started = rig.start(simOptions);
    }
    RunResult run(const std::vector<std::string>& args) { return rig.run(args, {"-n"}); }
    std::string file(const std::string& name, const std::vector<e2e::Block>& blocks) const {
        return rig.env.write(name, e2e::intelHexText(blocks));
    }

    SimRig rig;
    bool started = false;
};

// Stops the simulator and compares the whole memory it saved with rig.memory, which the test has
// made into what the run should have left.
void expectMemoryLeft(SimRig& rig) {
    const Bytes expected = rig.memory;
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(expected), "");
}

// Every text of texts in the output, each after the one before it.
void expectInOrder(const RunResult& r, const std::vector<std::string>& texts) {
    size_t from = 0;
    for (const std::string& t : texts) {
        const size_t at = r.out.find(t, from);
        ASSERT_NE(at, std::string::npos) << "'" << t << "' missing or out of order\n" << describe(r);
        from = at + t.size();
    }
}

// Every step requested at once: the reads come before the erases and writes and see the old flash,
// the code is erased and written before the data flash is erased, and the data written after that
// erase stays.
TEST(StandardSteps, RunInTheirFixedOrder) {
    Rh850 ecu;
    ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
    const Bytes oldCode = ecu.rig.code(0, 0x800);
    const Bytes oldData = ecu.rig.data(kRh850Data, 0x200);
    const Bytes code = e2e::patternBytes(0x800, 21);
    const Bytes data = e2e::patternBytes(0x200, 22);
    const RunResult r = ecu.run({"--cmdFile",
                                 ecu.rig.env.write("cmds.txt", "Name: Info\nBB FF\n"),
                                 "--readCode",
                                 ecu.rig.env.path("code-back.hex"),
                                 "--codeLength",
                                 "800",
                                 "--readOpt",
                                 "--readData",
                                 ecu.rig.env.path("data-back.hex"),
                                 "--dataLength",
                                 "200",
                                 "--eraseCode",
                                 "9,9",
                                 "--writeCode",
                                 ecu.file("code.hex", {{0, code}}),
                                 "--writeOpt",
                                 "A5",
                                 "--eraseData",
                                 "1",
                                 "--writeData",
                                 ecu.file("data.hex", {{kRh850Data, data}}),
                                 "--ecuReset"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    expectInOrder(
        r, {"Cmd (Len: 2 dec):  Info", "Read code:", "Read option bytes:", "   0xffffffff",
            "Read data:", "Erase code:", "Flash code:", "Write option bytes:", "Erase all flash data:",
            "FlashData:", "ECU is programmed successfully (OK)", "---> ECU is in application mode now (OK)"});
    ecu.rig.expectFileHolds("code-back.hex", 0, oldCode);
    ecu.rig.expectFileHolds("data-back.hex", kRh850Data, oldData);

    // Block 0 erased by the code write, block 9 by --eraseCode; 1 KiB of data flash less its last
    // unit by --eraseData, then the data pages, each after the erase of its own unit.
    ecu.rig.eraseCode(0, 0x2000);
    ecu.rig.setCode(0, code);
    ecu.rig.eraseCode(0x18000, 0x8000);
    ecu.rig.eraseData(kRh850Data, 0x3C0);
    ecu.rig.setData(kRh850Data, data);
    expectMemoryLeft(ecu.rig);
}

// The code write does not depend on the packet length: blocks are rounded up to the requests sent
// (a packet of 1000 bytes carries three pages of 256), a block inside the rounded tail of the one
// before is not written twice, and every block lands whole.
TEST(StandardSteps, CodeWriteLandsWholeAtEveryPacketLength) {
    const struct {
        std::string pktlen;
        uint64_t lastTail;
    } table[] = {{"256", 0x100}, {"512", 0x200}, {"1000", 0x300}};
    const Bytes a = e2e::patternBytes(0x480, 31);
    const Bytes b = e2e::patternBytes(0x10, 32);
    const Bytes c = e2e::patternBytes(0x40, 33);
    for (const auto& t : table) {
        SCOPED_TRACE(t.pktlen);
        Rh850 ecu;
        ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
        const RunResult r = ecu.run({"--pktlen", t.pktlen, "--writeCode",
                                     ecu.file("code.hex", {{0x2000, a}, {0x2500, b}, {0x8100, c}})});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
        // Blocks 1 and 4 erased; what the rounded writes cover holds the file's bytes, 0x00 between.
        ecu.rig.eraseCode(0x2000, 0x2000);
        ecu.rig.eraseCode(0x8000, 0x2000);
        ecu.rig.setCode(0x2000, Bytes(0x600, 0x00));
        ecu.rig.setCode(0x2000, a);
        ecu.rig.setCode(0x2500, b);
        ecu.rig.setCode(0x8100, Bytes(t.lastTail, 0x00));
        ecu.rig.setCode(0x8100, c);
        expectMemoryLeft(ecu.rig);
    }
}

// --writeCode with --codeLength writes that range of the file block alone, after the erase of the
// block it lies in.
TEST(StandardSteps, CodeWriteWithALengthWritesThatRange) {
    Rh850 ecu;
    ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
    const Bytes code = e2e::patternBytes(0x4000, 41);
    const RunResult r = ecu.run({"--writeCode", ecu.file("code.hex", {{0x10000, code}}), "--codeStartAddr",
                                 "10800", "--codeLength", "1000"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "Using code length 0x1000.")) << describe(r);
    EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
    ecu.rig.eraseCode(0x10000, 0x8000);
    ecu.rig.setCode(0x10800, e2e::slice(code, 0x800, 0x1000));
    expectMemoryLeft(ecu.rig);
}

// --noEraseCode writes onto flash as it is: onto erased flash the file's bytes alone change, the rest
// of their block keeps its bytes; onto programmed flash the ECU refuses and nothing changes. The
// reset after it is still answered.
TEST(StandardSteps, CodeWriteWithoutErase) {
    const Bytes code = e2e::patternBytes(0x800, 51);
    for (const bool erasedBefore : {true, false}) {
        SCOPED_TRACE(erasedBefore ? "onto erased flash" : "onto programmed flash");
        SimRig rig("RH850", e2e::kRh850Memory);
        rig.programAll();
        if (erasedBefore) {
            rig.eraseCode(0x2000, 0x800);
        }
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        const RunResult r =
            rig.run({"--writeCode", rig.env.write("code.hex", e2e::intelHexText({{0x2000, code}})),
                     "--noEraseCode", "--ecuReset"},
                    {"-n"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(has(r, "   Write with NoErase detected!")) << describe(r);
        EXPECT_FALSE(has(r, "    Erase: ")) << describe(r);
        EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
        if (erasedBefore) {
            EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
            rig.setCode(0x2000, code);
        } else {
            EXPECT_TRUE(has(r, "W_Code,Addr: 0x2000")) << describe(r);
            EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
        }
        expectMemoryLeft(rig);
    }
}

// A data read-back holds the bytes of --dataStartAddr under their own addresses, in the classes that
// address the data flash from its first byte as in the one that addresses it absolutely. A start
// below the data flash is refused before anything is sent, and the reset after it is answered.
TEST(StandardSteps, DataReadBackLabelsItsBytesWithTheirAddresses) {
    const struct {
        std::string ecuClass;
        e2e::MemoryLayout layout;
        bool refusesBelow;
    } classes[] = {
        {"CYT2", e2e::kCyt2Memory, false},
        {"NXP", e2e::kNxpMemory, true},
        {"RH850", e2e::kRh850Memory, true},
    };
    for (const auto& c : classes) {
        SCOPED_TRACE(c.ecuClass);
        SimRig rig(c.ecuClass, c.layout);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        const uint64_t start = c.layout.dataStart + 0x1000;
        char startText[24];
        std::snprintf(startText, sizeof startText, "%llx", static_cast<unsigned long long>(start));
        const RunResult r = rig.run(
            {"--readData", rig.env.path("back.hex"), "--dataStartAddr", startText, "--dataLength", "400"},
            {"-n"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
        rig.expectFileHolds("back.hex", start, rig.data(start, 0x400));

        if (c.refusesBelow) {
            std::snprintf(startText, sizeof startText, "%llx",
                          static_cast<unsigned long long>(c.layout.dataStart - 0x40));
            const RunResult below = rig.run({"--readData", rig.env.path("below.hex"), "--dataStartAddr",
                                             startText, "--dataLength", "400", "--ecuReset"},
                                            {"-n"});
            EXPECT_EQ(below.exitCode, 0) << describe(below);
            EXPECT_TRUE(has(below, "Error: The data start address 0x" + std::string(startText) +
                                       " lies below the data flash"))
                << describe(below);
            EXPECT_TRUE(has(below, "ECU is not programmed successfully (KO)")) << describe(below);
            EXPECT_TRUE(has(below, "---> ECU is in application mode now (OK)")) << describe(below);
            EXPECT_FALSE(rig.env.exists("below.hex"));
        }
        expectMemoryLeft(rig);
    }
}

// voflash with its memory for allocations limited to limitMb: through the sanitizer's allocator where
// the build has one (its shadow memory rules out an address-space limit), else through the address
// space of the shell that starts it.
RunResult runWithMemoryLimit(SimRig& rig, const std::vector<std::string>& args, unsigned limitMb) {
    std::vector<std::string> argv = {"--ecuClass", rig.ecuClass, "-n"};
    argv.insert(argv.end(), args.begin(), args.end());
#if defined(__SANITIZE_ADDRESS__)
    const char* options = std::getenv("ASAN_OPTIONS");
    rig.env.setEnv("ASAN_OPTIONS",
                   std::string(options != nullptr ? options : "") +
                       ":allocator_may_return_null=1:max_allocation_size_mb=" + std::to_string(limitMb));
    return rig.env.runVoflash(argv);
#else
    argv.insert(argv.begin(),
                {"/bin/sh", "-c", "ulimit -v " + std::to_string(limitMb * 1024) + " && exec \"$@\"", "sh",
                 e2e::voflashPath()});
    RunResult result;
    result.exitCode = e2e::runProcess(argv, rig.env.environment(), "/dev/null", rig.env.path("limited.out"),
                                      rig.env.path("limited.err"), 120000);
    result.out = rig.env.read("limited.out").value_or("");
    result.err = rig.env.read("limited.err").value_or("");
    return result;
#endif
}

// A read-back buffer that cannot be had fails its step with a line of its own; the run goes on with
// the next step, gives its verdict and resets the ECU.
TEST(StandardSteps, ReadBufferThatCannotBeHadFailsItsStep) {
    Rh850 ecu;
    ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
    const RunResult r = runWithMemoryLimit(
        ecu.rig,
        {"--readCode", ecu.rig.env.path("code-back.hex"), "--codeLength", "FFFFFE00", "--readData",
         ecu.rig.env.path("data-back.hex"), "--dataLength", "200", "--ecuReset"},
        1024);
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, "Error: Not enough memory to read 0xfffffe00 bytes of code.")) << describe(r);
    EXPECT_FALSE(has(r, "bad_alloc")) << describe(r);
    EXPECT_FALSE(ecu.rig.env.exists("code-back.hex"));
    ecu.rig.expectFileHolds("data-back.hex", kRh850Data, ecu.rig.data(kRh850Data, 0x200));
    EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
    EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
    expectMemoryLeft(ecu.rig);
}

// The reset and the programming session: answered, refused, unanswered. The session request goes out
// before the login, a refusal of either is reported and the run goes on; nothing in flash changes.
TEST(StandardSteps, ResetAndProgrammingSession) {
    const struct {
        std::string label;
        std::string option;
        std::vector<std::string> simOptions;
        std::vector<std::string> inOrder;
        std::vector<std::string> absent;
    } cases[] = {
        {"reset",
         "--ecuReset",
         {},
         {"   0xffffffff", "ECU is programmed successfully (OK)", "---> ECU is in application mode now (OK)"},
         {"still in bootloader mode"}},
        {"refused reset",
         "--ecuReset",
         {"--nrc", "BF00:22"},
         {"ECU is programmed successfully (OK)",
          "---> ECU is still in bootloader mode, Please restart it manually !!! "},
         {"application mode now"}},
        {"programming session",
         "--progSession",
         {},
         {"ECU responding (OK)", "   0xffffffff", "ECU is programmed successfully (OK)"},
         {"Srv: 0x34", "RequestDownload"}},
        {"refused programming session",
         "--progSession",
         {"--nrc", "34:22"},
         {"Srv: 0x34 NRC: 0x22 (ConditiosNotCorrect)", "ECU responding (OK)", "   0xffffffff"},
         {}},
        {"unanswered programming session",
         "--progSession",
         {"--no-answer", "34"},
         {".... RequestDownload failed: No.Response !", "ECU responding (OK)", "   0xffffffff"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Rh850 ecu(c.simOptions);
        ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
        const RunResult r = ecu.run({c.option, "--readOpt"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        expectInOrder(r, c.inOrder);
        for (const std::string& t : c.absent) {
            EXPECT_FALSE(has(r, t)) << t << "\n" << describe(r);
        }
        expectMemoryLeft(ecu.rig);
    }
}

// The jump without a RAM routine goes to 0xFEDF8000 or --jumpAddr (its low 32 bits); with a routine,
// the start goes to the routine's first address or --jumpAddr instead.
TEST(StandardSteps, JumpAndStartAddress) {
    const struct {
        std::string label;
        bool ram;
        std::vector<std::string> args;
        std::string start;
    } cases[] = {
        {"jump", false, {}, "Start: 0xfedf8000\n"},
        {"jump to --jumpAddr cut to 32 bits", false, {"--jumpAddr", "1FEDF8010"}, "Start: 0xfedf8010\n"},
        {"start of the routine", true, {}, "Start: 0xFEDF8000\n"},
        {"start at --jumpAddr", true, {"--jumpAddr", "FEDF8100"}, "Start: 0xFEDF8100\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Rh850 ecu;
        ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
        std::vector<std::string> args = c.args;
        if (c.ram) {
            args.insert(args.end(),
                        {"--ram", ecu.file("ram.hex", {{0xFEDF8000, e2e::patternBytes(0x100, 61)}})});
        }
        const RunResult r = ecu.run(args);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(has(r, c.start)) << describe(r);
        EXPECT_EQ(r.out.find("Start: 0x"), r.out.rfind("Start: 0x")) << describe(r);
        EXPECT_EQ(has(r, "Upload RAM application:"), c.ram) << describe(r);
        expectMemoryLeft(ecu.rig);
    }
}

}  // namespace
