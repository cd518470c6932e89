// Requests that the tool checks whole before the first erase, against a simulated ECU whose flash holds
// a programmed image: block numbers that name a block of the other code flash area, erase ranges
// beyond the block map, data pages that no message carries, option values that are not what they look
// like, and a DRO boot-block write that stops where it failed. A refusal changes nothing in the saved
// memory, compared whole, and the request after it still gets its answer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/BusDump.h"
#include "tests/e2e/SimRig.h"

namespace {

using e2e::Block;
using e2e::Bytes;
using e2e::describe;
using e2e::RunResult;
using e2e::SimRig;

constexpr uint64_t kRh850Data = 0xFF200000;
constexpr uint64_t kCyt2Data = 0x14000000;

bool has(const RunResult& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

const std::vector<std::string> kCan = {"-n"};
const std::vector<std::string> kLin = {"-n", "--lin", "--baud", "19200", "--txId", "3C", "--rxId", "3D"};

e2e::MemoryLayout layoutOf(const std::string& ecuClass) {
    return ecuClass == "RH850" ? e2e::kRh850Memory : ecuClass == "CYT2" ? e2e::kCyt2Memory : e2e::kNxpMemory;
}

// A programmed ECU of a standard class, on CAN or LIN.
struct Programmed {
    Programmed(const std::string& ecuClass, bool lin = false)
        : rig(ecuClass, layoutOf(ecuClass)), bus(lin ? kLin : kCan) {
        rig.programAll();
        started = rig.start(lin ? std::vector<std::string>{"--lin"} : std::vector<std::string>{});
    }
    RunResult run(const std::vector<std::string>& args) { return rig.run(args, bus); }
    std::string file(const std::string& name, const std::vector<Block>& blocks) const {
        return rig.env.write(name, e2e::intelHexText(blocks));
    }
    // Stops the simulator; where the memory it saved differs from the rig's memory as the test made it.
    std::string left() {
        const Bytes expected = rig.memory;
        rig.stop();
        return rig.differencesFrom(expected);
    }

    SimRig rig;
    std::vector<std::string> bus;
    bool started = false;
};

// A step refused before anything was erased: its line, no erase, the KO verdict, and the reset after it
// answered.
void expectRefusedStep(const RunResult& r, const std::string& line) {
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(has(r, line)) << line << "\n" << describe(r);
    EXPECT_FALSE(has(r, "    Erase: ")) << describe(r);
    EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
    EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
}

// RH850 numbers the upper code area's blocks from 0x80, the numbers of the lower blocks 128 to 133: a
// write of the upper blocks so numbered would have the bootloader erase those lower blocks. It is
// refused before any erase, a lower block of the same file included, at every packet length, on CAN
// and LIN; the first upper block of a number of its own is erased by it (the simulated ECU has no
// upper area and refuses it, with nothing erased).
TEST(RequestChecks, Rh850UpperBlocksNumberedAsLowerOnesAreNotErased) {
    const struct {
        std::string label;
        bool lin;
        std::string pktlen;
    } runs[] = {{"CAN 256", false, "256"}, {"CAN 1024", false, "1024"}, {"LIN 512", true, "512"}};
    for (const auto& run : runs) {
        for (const uint64_t upper : {0x1000000ull, 0x1028000ull}) {
            SCOPED_TRACE(run.label + " at " + std::to_string(upper));
            Programmed ecu("RH850", run.lin);
            ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
            const RunResult r = ecu.run({"--pktlen", run.pktlen, "--writeCode",
                                         ecu.file("up.hex", {{0x2000, e2e::patternBytes(0x100, 1)},
                                                             {upper, e2e::patternBytes(1, 2)}}),
                                         "--ecuReset"});
            const bool first = upper == 0x1000000;
            expectRefusedStep(
                r, first ? "Incorrect start Addr.: 0x1000000 (erase block number 0x80 (128) names the "
                           "block at 0x3d0000 of the other code flash area)\n"
                         : "Incorrect start Addr.: 0x1028000 (erase block number 0x85 (133) names the "
                           "block at 0x3f8000 of the other code flash area)\n");
            EXPECT_EQ(ecu.left(), "");
        }
    }
    Programmed ecu("RH850");
    ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
    const RunResult own = ecu.run(
        {"--writeCode", ecu.file("own.hex", {{0x1030000, e2e::patternBytes(0x100, 3)}}), "--ecuReset"});
    EXPECT_TRUE(has(own, "    Block: 134 - 134\n")) << describe(own);
    EXPECT_TRUE(has(own, "EraseCode, Block: 0x86 (134)\n NRC(RequestOutOfRange)")) << describe(own);
    EXPECT_TRUE(has(own, "---> ECU is in application mode now (OK)")) << describe(own);
    EXPECT_EQ(ecu.left(), "");
}

// --eraseCode ranges are checked against the class's block map before the first block is erased: a
// range that leaves it, or runs from one area into the other, is refused with one line; a range of
// one area erases exactly its blocks.
TEST(RequestChecks, EraseCodeRangesBeyondTheMapEraseNothing) {
    const struct {
        std::string ecuClass;
        std::string range;
        std::string error;
        uint64_t erasedFrom, erased;
    } cases[] = {
        {"RH850", "0,200", "block 134 lies in another code flash area than block 0", 0, 0},
        {"RH850", "130,140", "block 134 lies in another code flash area than block 130", 0, 0},
        {"NXP", "76,80", "block 78 is no block of the code flash", 0, 0},
        {"RH850", "128,133", "", 0x3D0000, 0x30000},
        {"NXP", "76,77", "", 0x1020C000, 0x4000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ecuClass + " " + c.range);
        Programmed ecu(c.ecuClass);
        ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
        const RunResult r = ecu.run({"--eraseCode", c.range, "--ecuReset"});
        if (c.error.empty()) {
            EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
            EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
            ecu.rig.eraseCode(c.erasedFrom, c.erased);
        } else {
            expectRefusedStep(
                r, "\nError: Invalid --eraseCode \"" + c.range + "\": " + c.error + ". Nothing erased.\n");
            EXPECT_FALSE(has(r, "Erase code:")) << describe(r);
        }
        EXPECT_EQ(ecu.left(), "");
    }
}

// A data page larger than one message carries (0xFF8 bytes after the request's seven) is refused
// before its units are erased, at any packet length; pages that fit write the whole file.
TEST(RequestChecks, DataPagesNoMessageCarriesAreRefusedBeforeTheErase) {
    for (const std::string ecuClass : {"RH850", "CYT2"}) {
        const uint64_t base = ecuClass == "RH850" ? kRh850Data : kCyt2Data;
        const Bytes data = e2e::patternBytes(0x1000, 4);
        // The packet length does not enter a data write; the refusal holds at any.
        for (const std::string pktlen : {"256", "2048"}) {
            for (const std::string page : {"1000", "FC0"}) {
                // One class is enough to show that a page that fits is written.
                if (page == "FC0" && (pktlen != "256" || ecuClass != "RH850")) {
                    continue;
                }
                SCOPED_TRACE(ecuClass + " pktlen " + pktlen + " page " + page);
                Programmed ecu(ecuClass);
                ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
                const RunResult r =
                    ecu.run({"--pktlen", pktlen, "--writeData", ecu.file("d.hex", {{base, data}}),
                             "--dataLength", "1000", "--dataPageSize", page, "--ecuReset"});
                if (page == "1000") {
                    char line[200];
                    std::snprintf(
                        line, sizeof line,
                        "  Invalid page size: 0x1000 (--dataPageSize: the page at 0x%llx goes out in one "
                        "request of 0x1007 bytes, and one message carries 0xfff bytes at most)\n",
                        static_cast<unsigned long long>(base));
                    expectRefusedStep(r, line);
                    EXPECT_FALSE(has(r, "NoResp(W_Data)")) << describe(r);
                } else {
                    EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
                    ecu.rig.setData(base, data);
                }
                EXPECT_EQ(ecu.left(), "");
            }
        }
    }
}

// A command line whose number values are not numbers of the option's base (or not the KiB that
// --eraseData of RH850 takes) is refused before any step, as the option library's errors are: no
// request reaches the ECU. The next run with a sound command line is answered.
TEST(RequestChecks, OptionValuesThatAreNotNumbersRunNothing) {
    const struct {
        std::string ecuClass;
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {"RH850",
         {"--writeCode", "CODE", "--codeStartAddr", "zz"},
         "('zz') for option '--codeStartAddr' is invalid: not a hexadecimal number"},
        {"RH850",
         {"--writeData", "DATA", "--dataStartAddr", "zz"},
         "('zz') for option '--dataStartAddr' is invalid: not a hexadecimal number"},
        {"RH850",
         {"--writeCode", "CODE", "--codeLength", "4k"},
         "('4k') for option '--codeLength' is invalid: not a hexadecimal number"},
        {"RH850", {"--eraseData", "x"}, "('x') for option '--eraseData' is invalid: not a decimal number"},
        {"RH850",
         {"--eraseData", "abc"},
         "('abc') for option '--eraseData' is invalid: not a decimal number"},
        {"RH850", {"--eraseData", "0"}, "('0') for option '--eraseData' is invalid: not above 0"},
        {"RH850", {"--eraseData", "4k"}, "('4k') for option '--eraseData' is invalid: not a decimal number"},
        {"RH850",
         {"--eraseData", "1e3"},
         "('1e3') for option '--eraseData' is invalid: not a decimal number"},
        {"NXP",
         {"--eraseCode", "3", "--writeCode", "CODE"},
         "('3') for option '--eraseCode' is invalid: not two decimal block numbers as first,last"},
        {"CYT2",
         {"--writeCode", "CODE", "--pktlen", "1024abc"},
         "('1024abc') for option '--pktlen' is invalid: not a decimal number"},
        {"CYT2",
         {"--readOpt", "--port", "0x10"},
         "('0x10') for option '--port' is invalid: not a decimal number"},
    };
    // One programmed ECU per class for its cases: none of them may change anything.
    for (const std::string ecuClass : {"RH850", "NXP", "CYT2"}) {
        Programmed ecu(ecuClass);
        ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
        const std::string code = ecu.file("c.hex", {{ecu.rig.layout.codeStart, e2e::patternBytes(0x100, 5)}});
        const std::string data = ecu.file("d.hex", {{ecu.rig.layout.dataStart, e2e::patternBytes(0x40, 6)}});
        for (const auto& c : cases) {
            if (c.ecuClass != ecuClass) {
                continue;
            }
            SCOPED_TRACE(c.ecuClass + " " + c.error);
            std::vector<std::string> args;
            for (const std::string& a : c.args) {
                args.push_back(a == "CODE" ? code : a == "DATA" ? data : a);
            }
            args.push_back("--ecuReset");
            e2e::BusDump dump(ecu.rig.env);
            ASSERT_TRUE(dump.listening());
            const RunResult r = ecu.run(args);
            const std::vector<uint8_t> services = dump.stop();
            EXPECT_EQ(r.exitCode, 0) << describe(r);
            EXPECT_TRUE(has(r, "\nError: Exception of type the argument " + c.error + "\n")) << describe(r);
            EXPECT_TRUE(services.empty()) << services.size() << " requests";
            EXPECT_FALSE(has(r, "Connecting:")) << describe(r);
            const RunResult next = ecu.run({"--readOpt"});
            EXPECT_TRUE(has(next, "   0xffffffff\n")) << describe(next);
        }
        EXPECT_EQ(ecu.left(), "");
    }
}

// CYT2 --eraseCode erases the blocks of --codeStartAddr and --codeLength: without them a value that
// names blocks is refused (the block of address 0 would be erased instead); with them that range is
// erased and one line says the value is not used.
TEST(RequestChecks, Cyt2EraseCodeValueThatNamesBlocks) {
    for (const std::string value : {"5,6", "3"}) {
        SCOPED_TRACE(value);
        Programmed ecu("CYT2");
        ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
        const RunResult r = ecu.run({"--eraseCode", value, "--ecuReset"});
        expectRefusedStep(
            r, "Error: --eraseCode \"" + value +
                   "\" names blocks, but CYT2 erases the blocks of --codeStartAddr and --codeLength, "
                   "and neither is given. Nothing erased.\n");
        EXPECT_EQ(ecu.left(), "");
    }
    Programmed ecu("CYT2");
    ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
    const RunResult r =
        ecu.run({"--eraseCode", "5,6", "--codeStartAddr", "10010000", "--codeLength", "10000"});
    EXPECT_TRUE(has(r,
                    "  The --eraseCode value \"5,6\" is not used: CYT2 erases the blocks of --codeStartAddr "
                    "and --codeLength.\n    Block: 2 - 3\n"))
        << describe(r);
    EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
    ecu.rig.eraseCode(0x10010000, 0x10000);
    EXPECT_EQ(ecu.left(), "");
}

// The two texts that named the wrong thing: the CYT2 code read names --pktlen, and a refused RH850
// data erase says that it was the data flash being erased, in the heading's decimal too.
TEST(RequestChecks, TextsNameWhatTheUserTypedAndWhatWasErased) {
    {
        Programmed ecu("CYT2");
        ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
        const RunResult r = ecu.run({"--readCode", ecu.rig.env.path("back.hex"), "--pktlen", "300",
                                     "--codeLength", "100", "--ecuReset"});
        EXPECT_TRUE(has(r, "invalid packet length provided. --pktlen should be multiple of 0x100."))
            << describe(r);
        EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
        EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
        EXPECT_FALSE(ecu.rig.env.exists("back.hex"));
        EXPECT_EQ(ecu.left(), "");
    }
    Programmed ecu("RH850");
    ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
    const RunResult r = ecu.run({"--eraseData", "2048", "--ecuReset"});
    EXPECT_TRUE(has(r, "    Block: 0 - 32768\n")) << describe(r);
    EXPECT_TRUE(has(r, "Erasing Data Blocks: 0x0 - 0x8000 (0 - 32768) NRC(RequestOutOfRange)"))
        << describe(r);
    EXPECT_FALSE(has(r, "Erasing Code Blocks")) << describe(r);
    EXPECT_FALSE(has(r, "CodeFlash")) << describe(r);
    EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
    EXPECT_EQ(ecu.left(), "");
}

// DRO --Bmg: a BMG write the ECU refuses ends the step there. No TA or CFG request follows, and the
// last line says the boot-block write failed; the block stays as the refused write's erase left it.
// The next run writes the boot block.
TEST(RequestChecks, DroBootBlockWriteStopsWhereItFailed) {
    SimRig rig("DRO", e2e::kDroMemory);
    rig.programAll();
    ASSERT_TRUE(rig.start({"--nrc", "BB70:72:1"}));
    const Bytes file = e2e::patternBytes(0x4000, 7);
    const std::string name = rig.env.write("b.hex", e2e::intelHexText({{0x70000, file}}));
    const RunResult r = rig.run({"--Bmg", "--wP", name});
    EXPECT_EQ(r.exitCode, 3) << describe(r);
    EXPECT_TRUE(has(r, "Flash BMG")) << describe(r);
    EXPECT_TRUE(has(r, "W_Code,Addr: 0x70000 NRC(GeneralProgrammingFailure)")) << describe(r);
    const std::string last =
        "Boot block write failed: the BMG area at 0x70000 is not written, and nothing more is sent to the "
        "boot block.\n";
    ASSERT_TRUE(has(r, last)) << describe(r);
    EXPECT_EQ(r.out.find("succeeded"), std::string::npos) << describe(r);
    EXPECT_FALSE(has(r, "Flash TA")) << describe(r);
    EXPECT_FALSE(has(r, "Flash CFG")) << describe(r);
    // The write's erase of the boot block came before the refusal.
    rig.eraseCode(0x70000, 0x4000);
    Bytes expected = rig.memory;
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(expected), "");

    ASSERT_TRUE(rig.start());
    const RunResult next = rig.run({"--Bmg", "--wP", name});
    EXPECT_FALSE(has(next, "Boot block write failed")) << describe(next);
    EXPECT_TRUE(has(next, "Flash TA, 0x700 bytes found in the input-file")) << describe(next);
    rig.setCode(0x70000, file);
    expected = rig.memory;
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(expected), "");
}

}  // namespace
