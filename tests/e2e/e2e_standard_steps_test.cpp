// The steps of the standard programs against a simulated ECU whose flash holds a programmed image:
// the whole memory is compared after each run, so bytes erased but not written back, or written
// where the step was not asked to, show wherever they are. Also the order of the steps, the session
// options, the jump, code writes without erase or with a length, read-back files and their
// addresses, and a read-back buffer that cannot be had.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/SimRig.h"

namespace {

using e2e::Bytes;
using e2e::describe;
using e2e::expectMemoryLeft;
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

    // Block 0 erased by the code write, block 9 by --eraseCode; 1 KiB of data flash by --eraseData,
    // then the data pages, each after the erase of its own unit.
    ecu.rig.eraseCode(0, 0x2000);
    ecu.rig.setCode(0, code);
    ecu.rig.eraseCode(0x18000, 0x8000);
    ecu.rig.eraseData(kRh850Data, 0x400);
    ecu.rig.setData(kRh850Data, data);
    expectMemoryLeft(ecu.rig);
}

// The packet lengths a user may give: whole and odd numbers of 256-byte pages, the least and the
// most the program takes.
const char* const kPacketLengths[] = {"256", "512", "768", "1000", "4095"};
const std::vector<std::string> kAllPacketLengths(std::begin(kPacketLengths), std::end(kPacketLengths));

std::string hexText(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

// Stops the simulator and compares the whole memory it saved with what the test made of rig.memory:
// bytes flagged there (erased bytes the file does not hold) may be 0x00 or 0xFF. Gives the memory
// saved.
Bytes expectWriteLeft(SimRig& rig) {
    const Bytes expected = rig.memory;
    const std::vector<bool> flags = rig.zeroOrErasedFlags();
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(expected, flags), "");
    return rig.memory;
}

// A standard class with the blocks of a file to write to it.
struct ClassFile {
    std::string ecuClass;
    e2e::MemoryLayout layout;
    std::vector<e2e::Block> blocks;
};
void PrintTo(const ClassFile& c, std::ostream* os) {
    *os << c.ecuClass;
}

// Blocks that begin off a page, end a few bytes before the end of an erase block, share a page, sit
// in the last page of the flash, with erase blocks between them that hold nothing of the file. RH850
// also has the block of 0x100-0x1FFF, which a write rounded to packets carried into erase block 1.
const ClassFile kCodeFiles[] = {
    {"RH850",
     e2e::kRh850Memory,
     {{0x100, e2e::patternBytes(0x1F00, 71)},
      {0x3E90, e2e::patternBytes(0x160, 72)},
      {0x12010, e2e::patternBytes(0x70, 73)},
      {0x120C0, e2e::patternBytes(0x100, 74)},
      {0x3FFF40, e2e::patternBytes(0xC0, 75)}}},
    {"CYT2",
     e2e::kCyt2Memory,
     {{0x10007E10, e2e::patternBytes(0x1E0, 76)},
      {0x10010010, e2e::patternBytes(0x70, 77)},
      {0x100100C0, e2e::patternBytes(0x100, 78)},
      {0x101F1F80, e2e::patternBytes(0x40, 79)},
      {0x1020FF80, e2e::patternBytes(0x80, 80)}}},
    {"NXP",
     e2e::kNxpMemory,
     {{0x10007E10, e2e::patternBytes(0x1E0, 81)},
      {0x10010010, e2e::patternBytes(0x70, 82)},
      {0x100100C0, e2e::patternBytes(0x100, 83)},
      {0x101F1F80, e2e::patternBytes(0x40, 84)},
      {0x1020FF80, e2e::patternBytes(0x80, 85)}}},
};

// The bytes of blocks inside [start, start + length), as blocks.
std::vector<e2e::Block> cut(const std::vector<e2e::Block>& blocks, uint64_t start, uint64_t length) {
    std::vector<e2e::Block> inside;
    for (const e2e::Block& b : blocks) {
        const uint64_t from = std::max(b.address, start);
        const uint64_t to = std::min(b.address + b.bytes.size(), start + length);
        if (from < to) {
            inside.push_back({from, e2e::slice(b.bytes, from - b.address, to - from)});
        }
    }
    return inside;
}

// A write of a range of a file: its start and length, and the packet lengths it is run at.
struct RangeCase {
    std::string label;
    ClassFile file;
    uint64_t start;
    uint64_t length;
    std::vector<std::string> pktlens;
};
void PrintTo(const RangeCase& c, std::ostream* os) {
    *os << c.label;
}

// Runs the write of each packet length on a programmed ECU with args; the memory must hold the file's
// bytes of the range in the erase units they lie in, the same at every packet length.
void expectRangeWritten(const RangeCase& c, const std::vector<std::string>& args, bool code) {
    std::optional<Bytes> first;
    const std::vector<e2e::Block> written = cut(c.file.blocks, c.start, c.length);
    for (const std::string& pktlen : c.pktlens) {
        SCOPED_TRACE(pktlen);
        SimRig rig(c.file.ecuClass, c.file.layout);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        std::vector<std::string> all = {"--pktlen", pktlen, code ? "--writeCode" : "--writeData",
                                        rig.env.write("in.hex", e2e::intelHexText(c.file.blocks))};
        all.insert(all.end(), args.begin(), args.end());
        const RunResult r = rig.run(all, {"-n"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
        if (code) {
            e2e::expectCodeWritten(rig, written);
        } else {
            e2e::expectDataWritten(rig, written);
        }
        const Bytes left = expectWriteLeft(rig);
        if (!first) {
            first = left;
        } else {
            EXPECT_EQ(rig.differencesFrom(*first), "") << "differs from the memory at " << c.pktlens[0];
        }
    }
}

class StandardCodeWrite : public testing::TestWithParam<ClassFile> {};

// --writeCode erases the erase blocks that hold the file's bytes and no other, and writes every byte
// of the file; which bytes end where is the same at every packet length.
TEST_P(StandardCodeWrite, FileLandsWholeAndAloneAtEveryPacketLength) {
    expectRangeWritten({GetParam().ecuClass, GetParam(), 0, ~uint64_t{0}, kAllPacketLengths}, {}, true);
}

INSTANTIATE_TEST_SUITE_P(Classes, StandardCodeWrite, testing::ValuesIn(kCodeFiles),
                         [](const auto& info) { return info.param.ecuClass; });

const RangeCase kCodeRanges[] = {
    {"Rh850TwoBlocksWithAGap",
     {"RH850",
      e2e::kRh850Memory,
      {{0x0, e2e::patternBytes(0x800, 91)}, {0x2000, e2e::patternBytes(0x400, 92)}}},
     0,
     0x2400,
     kAllPacketLengths},
    {"Rh850LastPageOfTheFlash",
     {"RH850", e2e::kRh850Memory, {{0x3FFE00, e2e::patternBytes(0x200, 93)}}},
     0x3FFF00,
     0x100,
     kAllPacketLengths},
    // Cut at both ends, one block inside, erase blocks between them that hold nothing.
    {"Rh850BlocksCutAtBothEnds",
     {"RH850",
      e2e::kRh850Memory,
      {{0x1F00, e2e::patternBytes(0x300, 94)},
       {0x9000, e2e::patternBytes(0x100, 95)},
       {0x14000, e2e::patternBytes(0x400, 96)}}},
     0x1F80,
     0x14200 - 0x1F80,
     kAllPacketLengths},
    // The range ends with an erase block, the file goes on into the next one.
    {"Cyt2RangeEndsAtAnEraseBlockEnd",
     {"CYT2", e2e::kCyt2Memory, {{0x10007E00, e2e::patternBytes(0x300, 97)}}},
     0x10007E80,
     0x180,
     kAllPacketLengths},
    {"Cyt2BlocksWithAGap",
     {"CYT2",
      e2e::kCyt2Memory,
      {{0x10000000, e2e::patternBytes(0x100, 98)},
       {0x10010000, e2e::patternBytes(0x100, 99)},
       {0x10018000, e2e::patternBytes(0x100, 100)}}},
     0x10000000,
     0x10100,
     kAllPacketLengths},
    {"NxpBlocksWithAGapToTheEndOfTheFlash",
     {"NXP",
      e2e::kNxpMemory,
      {{0x101F1E00, e2e::patternBytes(0x1F0, 101)}, {0x1020FF00, e2e::patternBytes(0x100, 102)}}},
     0x101F1E00,
     0x1E200,
     kAllPacketLengths},
};

class StandardCodeRange : public testing::TestWithParam<RangeCase> {};

// --codeStartAddr with --codeLength writes every byte of the file in the range, from every block in
// it, and erases the erase blocks those bytes lie in alone.
TEST_P(StandardCodeRange, WritesEveryBlockOfTheRange) {
    const RangeCase& c = GetParam();
    expectRangeWritten(c, {"--codeStartAddr", hexText(c.start), "--codeLength", hexText(c.length)}, true);
}

INSTANTIATE_TEST_SUITE_P(Ranges, StandardCodeRange, testing::ValuesIn(kCodeRanges),
                         [](const auto& info) { return info.param.label; });

// The data write packs no more than the file holds either: the packet length plays no part, so two
// are enough.
const std::vector<std::string> kDataPacketLengths = {"256", "4095"};

const RangeCase kDataRanges[] = {
    {"Rh850TwoBlocksWithAGap",
     {"RH850",
      e2e::kRh850Memory,
      {{0xFF200000, e2e::patternBytes(0x80, 111)}, {0xFF200100, e2e::patternBytes(0x80, 112)}}},
     0xFF200000,
     0x180,
     kDataPacketLengths},
    // Without --dataLength: the default 0x8000 bytes, the last unit of it written, the block after it
    // not; a block that ends inside a unit.
    {"Rh850DefaultLength",
     {"RH850",
      e2e::kRh850Memory,
      {{0xFF200000, e2e::patternBytes(0x50, 113)},
       {0xFF200300, e2e::patternBytes(0x30, 114)},
       {0xFF207FC0, e2e::patternBytes(0x80, 115)}}},
     0xFF200000,
     0x8000,
     kDataPacketLengths},
    // Pages of 0x800 bytes: units of a page that hold nothing of the file between two blocks, and a
    // block that starts inside a unit of the next page.
    {"Cyt2BlocksInOnePage",
     {"CYT2",
      e2e::kCyt2Memory,
      {{0x14000000, e2e::patternBytes(0x80, 116)},
       {0x14000100, e2e::patternBytes(0x80, 117)},
       {0x14000830, e2e::patternBytes(0x20, 118)}}},
     0x14000000,
     0x900,
     kDataPacketLengths},
    // Two blocks that share a unit, and the last unit of the data flash.
    {"NxpSharedUnitAndTheEndOfTheDataFlash",
     {"NXP",
      e2e::kNxpMemory,
      {{0x14000000, e2e::patternBytes(0x30, 119)},
       {0x14000038, e2e::patternBytes(0x10, 120)},
       {0x1400FFC0, e2e::patternBytes(0x40, 121)}}},
     0x14000000,
     0x10000,
     kDataPacketLengths},
};

class StandardDataRange : public testing::TestWithParam<RangeCase> {};

// --writeData writes every byte of the file from --dataStartAddr on, up to --dataLength, from every
// block in it, and erases the units those bytes lie in alone.
TEST_P(StandardDataRange, WritesEveryBlockOfTheRange) {
    const RangeCase& c = GetParam();
    std::vector<std::string> args = {"--dataStartAddr", hexText(c.start)};
    if (c.label != "Rh850DefaultLength") {
        args.insert(args.end(), {"--dataLength", hexText(c.length)});
    }
    expectRangeWritten(c, args, false);
}

INSTANTIATE_TEST_SUITE_P(Ranges, StandardDataRange, testing::ValuesIn(kDataRanges),
                         [](const auto& info) { return info.param.label; });

// A write that cannot be made as the file asks is refused with one line before anything is erased,
// at every packet length, also where a block before it could be written; the reset after it is
// answered and the memory is unchanged.
TEST(StandardSteps, WriteRefusedBeforeAnyErase) {
    const struct {
        std::string label;
        std::vector<std::string> args;
        std::vector<e2e::Block> file;
        std::string error;
    } cases[] = {
        // Pages of 0x300 bytes do not divide the erase blocks: the page of the second block begins in
        // block 0, which holds nothing of it.
        {"page reaching into another erase block",
         {"--codePageSize", "300", "--writeCode"},
         {{0x0, e2e::patternBytes(0x100, 131)}, {0x2010, e2e::patternBytes(0x10, 132)}},
         "Incorrect page size: 0x300 (the page at 0x1e00 reaches into an erase block the file has no data "
         "in)\n"},
        {"data start inside an erase unit",
         {"--dataStartAddr", "FF200010", "--dataLength", "40", "--writeData"},
         {{kRh850Data, e2e::patternBytes(0x80, 133)}},
         "Incorrect start Addr.: 0xff200010\n"},
    };
    for (const auto& c : cases) {
        for (const char* pktlen : {"768", "1000"}) {
            SCOPED_TRACE(c.label + " at " + pktlen);
            Rh850 ecu;
            ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
            std::vector<std::string> args = {"--pktlen", pktlen};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.insert(args.end(), {ecu.file("in.hex", c.file), "--ecuReset"});
            const RunResult r = ecu.run(args);
            EXPECT_EQ(r.exitCode, 0) << describe(r);
            EXPECT_TRUE(has(r, c.error)) << describe(r);
            EXPECT_FALSE(has(r, "    Erase: ")) << describe(r);
            EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
            EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
            expectMemoryLeft(ecu.rig);
        }
    }
}

// RH850 --eraseData erases the units of exactly that many KiB from the data flash's start; a size
// that one request cannot name is refused with one line and nothing changes. The reset after it is
// answered.
TEST(StandardSteps, Rh850EraseDataErasesExactlyTheKiBAsked) {
    const struct {
        std::string size;
        uint64_t erased;
        std::string text;
    } cases[] = {
        {"1", 0x400, "    Block: 0 - 16\n"},
        {"3", 0xC00, "    Block: 0 - 48\n"},
        {"64", 0x10000, "    Block: 0 - 1024\n"},
        {"4096", 0,
         "Error: --eraseData 4096 KiB is more than one erase request names (4095 KiB). Nothing erased.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        Rh850 ecu;
        ASSERT_TRUE(ecu.started) << ecu.rig.sim->output();
        const RunResult r = ecu.run({"--eraseData", c.size, "--ecuReset"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_TRUE(has(r, c.text)) << describe(r);
        EXPECT_TRUE(has(r, c.erased != 0 ? "ECU is programmed successfully (OK)"
                                         : "ECU is not programmed successfully (KO)"))
            << describe(r);
        EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
        ecu.rig.eraseData(kRh850Data, c.erased);
        expectMemoryLeft(ecu.rig);
    }
}

class MalformedEraseCode : public testing::TestWithParam<std::string> {};

// NXP and RH850 --eraseCode takes "first,last": a text that is not two decimal numbers so is refused
// with the command line, before any step, and the next run is answered; a number past 255 or a first
// block above the last erases nothing and fails the step with one line, and the reset after it is
// answered. "3,4" erases those two blocks.
TEST_P(MalformedEraseCode, FailsTheStepWithOneLine) {
    const std::string ecuClass = GetParam();
    const e2e::MemoryLayout layout = ecuClass == "NXP" ? e2e::kNxpMemory : e2e::kRh850Memory;
    const std::vector<std::string> notNumbers = {"3", "3-7", "3;7", "-1,3", "3,7x"};
    for (const std::string value : {"3", "3-7", "3;7", "7,3", "3,300", "-1,3", "3,7x", "3,4"}) {
        SCOPED_TRACE(value);
        SimRig rig(ecuClass, layout);
        rig.programAll();
        ASSERT_TRUE(rig.start()) << rig.sim->output();
        const RunResult r = rig.run({"--eraseCode", value, "--ecuReset"}, {"-n"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_EQ(has(r, "    Erase: "), value == "3,4") << describe(r);
        if (std::find(notNumbers.begin(), notNumbers.end(), value) != notNumbers.end()) {
            EXPECT_TRUE(has(r, "\nError: Exception of type the argument ('" + value +
                                   "') for option '--eraseCode' is invalid: not two decimal block numbers as "
                                   "first,last\n"))
                << describe(r);
            EXPECT_FALSE(has(r, "Connecting:")) << describe(r);
            const RunResult next = rig.run({"--readOpt"}, {"-n"});
            EXPECT_TRUE(has(next, "   0xffffffff\n")) << describe(next);
        } else if (value == "3,4") {
            EXPECT_TRUE(has(r, "Erase code:")) << describe(r);
            EXPECT_TRUE(has(r, "ECU is programmed successfully (OK)")) << describe(r);
            EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
            for (const uint64_t block : {3, 4}) {
                const uint64_t address = ecuClass == "NXP" ? 0x10000000 + block * 0x8000 : block * 0x2000;
                const e2e::EraseUnit unit = e2e::codeEraseBlockOf(ecuClass, address);
                rig.eraseCode(unit.start, unit.size);
            }
        } else {
            EXPECT_TRUE(has(r, "\nError: Invalid --eraseCode \"" + value +
                                   "\": give the first and the last block (0 to 255) as first,last. Nothing "
                                   "erased.\n"))
                << describe(r);
            EXPECT_FALSE(has(r, "Erase code:")) << describe(r);
            EXPECT_TRUE(has(r, "ECU is not programmed successfully (KO)")) << describe(r);
            EXPECT_TRUE(has(r, "---> ECU is in application mode now (OK)")) << describe(r);
        }
        expectMemoryLeft(rig);
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, MalformedEraseCode, testing::Values("NXP", "RH850"),
                         [](const auto& info) { return info.param; });

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
    return rig.env.runVoflashThrough(
        {"/bin/sh", "-c", "ulimit -v " + std::to_string(limitMb * 1024) + " && exec \"$@\"", "sh"}, argv);
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
