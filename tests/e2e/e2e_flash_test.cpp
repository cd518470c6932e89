// Code and data written into the simulated ECU of each standard class and read back in a second run,
// in both file formats; the erase steps.

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/E2eSupport.h"

namespace {

using e2e::Block;
using e2e::Bytes;
using e2e::describe;
using e2e::E2eEnv;
using e2e::RunResult;
using e2e::SimProcess;

struct ClassCase {
    std::string ecuClass;
    uint64_t codeStart;
    // Offset of the third code block: in another erase block than the first two where the class's
    // blocks are small enough, so the erase runs split.
    uint64_t thirdBlockOffset;
    uint64_t dataStart;
    std::vector<std::string> simOptions;
};
void PrintTo(const ClassCase& c, std::ostream* os) {
    *os << c.ecuClass;
}

const ClassCase kClasses[] = {
    // CYT2 reads code 500 ms per packet: the read-back is kept short.
    {"CYT2", 0x10000000, 0x4000, 0x14000000, {"--data-read-pages", "8"}},
    {"NXP", 0x10000000, 0x8000, 0x14000000, {}},
    {"RH850", 0, 0x8000, 0xFF200000, {}},
};

struct FormatCase {
    std::string extension;
    bool srecord;
};
void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.extension;
}

const FormatCase kFormats[] = {{"hex", false}, {"s19", true}};

std::string hexText(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string imageText(const std::vector<Block>& blocks, bool srecord) {
    return srecord ? e2e::srecordText(blocks) : e2e::intelHexText(blocks);
}

// Bytes expected in flash for blocks written in whole pages of page bytes over [start, start +
// length): each block's data, the rest of its last page 0x00, the rest erased 0xFF. The blocks begin
// on a page.
Bytes expectedFlash(const std::vector<Block>& blocks, uint64_t start, uint64_t length, uint64_t page) {
    Bytes out(length, 0xFF);
    for (const Block& b : blocks) {
        const uint64_t rounded = (b.bytes.size() + page - 1) / page * page;
        for (uint64_t i = 0; i < rounded; ++i) {
            out[b.address - start + i] = i < b.bytes.size() ? b.bytes[i] : 0x00;
        }
    }
    return out;
}

class FlashRoundTrip : public testing::TestWithParam<std::tuple<ClassCase, FormatCase>> {};

TEST_P(FlashRoundTrip, WritesCodeAndDataAndReadsThemBack) {
    const auto& [c, f] = GetParam();
    E2eEnv env;
    std::vector<std::string> simArgs = {"--class", c.ecuClass};
    simArgs.insert(simArgs.end(), c.simOptions.begin(), c.simOptions.end());
    SimProcess sim(env, simArgs);
    ASSERT_TRUE(sim.ready()) << sim.output();

    // Three blocks: one of whole packets, one whose tail is rounded up, one further away, with gaps
    // wider than the rounding between them.
    const std::vector<Block> code = {
        {c.codeStart, e2e::patternBytes(0x1000, 1)},
        {c.codeStart + 0x2000, e2e::patternBytes(0x900, 2)},
        {c.codeStart + c.thirdBlockOffset, e2e::patternBytes(0x800, 3)},
    };
    // Only the block holding --dataStartAddr is written.
    const std::vector<Block> data = {
        {c.dataStart, e2e::patternBytes(0x900, 4)},
        {c.dataStart + 0x2000, e2e::patternBytes(0x100, 5)},
    };
    const std::string codeFile = env.write("code." + f.extension, imageText(code, f.srecord));
    const std::string dataFile = env.write("data." + f.extension, imageText(data, f.srecord));

    const RunResult write =
        env.runVoflash({"--ecuClass", c.ecuClass, "--nonVerbose", "--pktlen", "2048", "--writeCode", codeFile,
                        "--writeData", dataFile, "--dataLength", "900", "--dataPageSize", "800"});
    ASSERT_EQ(write.exitCode, 0) << describe(write);
    EXPECT_NE(write.out.find("ECU is programmed successfully (OK)"), std::string::npos) << describe(write);
    EXPECT_NE(write.out.find("Time elapsed: "), std::string::npos);
    EXPECT_NE(write.out.find("Press any key to continue . . . "), std::string::npos);

    const uint64_t codeLength = c.thirdBlockOffset + 0x1000;
    const std::string codeBack = "code-back." + f.extension;
    const std::string dataBack = "data-back." + f.extension;
    const RunResult read = env.runVoflash(
        {"--ecuClass", c.ecuClass, "--nonVerbose", "--pktlen", "2048", "--readCode", env.path(codeBack),
         "--codeLength", hexText(codeLength), "--readData", env.path(dataBack), "--dataLength", "3000"});
    ASSERT_EQ(read.exitCode, 0) << describe(read);
    EXPECT_NE(read.out.find("ECU is programmed successfully (OK)"), std::string::npos) << describe(read);

    const e2e::ByteMap codeMap = e2e::readImageFile(env, codeBack);
    EXPECT_EQ(codeMap.size(), codeLength);
    // Every class writes its code in pages of 256 bytes, whatever the packet length.
    EXPECT_EQ(e2e::bytesOf(codeMap, c.codeStart, codeLength),
              expectedFlash(code, c.codeStart, codeLength, 256));
    const e2e::ByteMap dataMap = e2e::readImageFile(env, dataBack);
    EXPECT_EQ(dataMap.size(), 0x3000u);
    EXPECT_EQ(e2e::bytesOf(dataMap, c.dataStart, 0x3000), expectedFlash({data[0]}, c.dataStart, 0x3000, 1));
}

INSTANTIATE_TEST_SUITE_P(Classes, FlashRoundTrip,
                         testing::Combine(testing::ValuesIn(kClasses), testing::ValuesIn(kFormats)),
                         [](const auto& info) {
                             return std::get<0>(info.param).ecuClass + "_" +
                                    std::get<1>(info.param).extension;
                         });

// The erase steps: written flash reads back erased after --eraseCode and --eraseData.
class EraseSteps : public testing::TestWithParam<ClassCase> {};

TEST_P(EraseSteps, EraseCodeAndDataFlash) {
    const ClassCase& c = GetParam();
    E2eEnv env;
    std::vector<std::string> simArgs = {"--class", c.ecuClass};
    simArgs.insert(simArgs.end(), c.simOptions.begin(), c.simOptions.end());
    SimProcess sim(env, simArgs);
    ASSERT_TRUE(sim.ready()) << sim.output();
    const std::vector<Block> code = {{c.codeStart, e2e::patternBytes(0x800, 7)}};
    // RH850 writes data in pages of 64 bytes, each with its own erase: a short block.
    const std::vector<Block> data = {{c.dataStart, e2e::patternBytes(0x80, 8)}};
    const RunResult write =
        env.runVoflash({"--ecuClass", c.ecuClass, "-n", "--pktlen", "2048", "--writeCode",
                        env.write("code.hex", e2e::intelHexText(code)), "--writeData",
                        env.write("data.hex", e2e::intelHexText(data)), "--dataLength", "80"});
    ASSERT_EQ(write.exitCode, 0) << describe(write);

    // CYT2 erases the blocks of the code range; NXP and RH850 the blocks named; RH850 erases data by
    // its size in KiB.
    std::vector<std::string> erase = {"--ecuClass", c.ecuClass,    "-n", "--pktlen",
                                      "2048",       "--eraseData", "32"};
    if (c.ecuClass == "CYT2") {
        erase.insert(erase.end(),
                     {"--eraseCode", "x", "--codeStartAddr", hexText(c.codeStart), "--codeLength", "800"});
    } else {
        erase.insert(erase.end(), {"--eraseCode", "0,0"});
    }
    const RunResult erased = env.runVoflash(erase);
    ASSERT_EQ(erased.exitCode, 0) << describe(erased);
    EXPECT_NE(erased.out.find("Erase code:"), std::string::npos) << describe(erased);
    EXPECT_NE(erased.out.find("Erase all flash data:"), std::string::npos);
    EXPECT_NE(erased.out.find("ECU is programmed successfully (OK)"), std::string::npos) << describe(erased);

    const RunResult read = env.runVoflash({"--ecuClass", c.ecuClass, "-n", "--pktlen", "2048", "--readCode",
                                           env.path("code-back.hex"), "--codeLength", "800", "--readData",
                                           env.path("data-back.hex"), "--dataLength", "800"});
    ASSERT_EQ(read.exitCode, 0) << describe(read);
    EXPECT_EQ(e2e::bytesOf(e2e::readImageFile(env, "code-back.hex"), c.codeStart, 0x800, 0),
              Bytes(0x800, 0xFF));
    EXPECT_EQ(e2e::bytesOf(e2e::readImageFile(env, "data-back.hex"), c.dataStart, 0x800, 0),
              Bytes(0x800, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(Classes, EraseSteps, testing::ValuesIn(kClasses),
                         [](const auto& info) { return info.param.ecuClass; });

// CYT2 erases the blocks from the range's first byte to its last, not one past it, and refuses a
// range that leaves the block map instead of erasing block 0.
TEST(Cyt2EraseCode, ErasesTheBlocksOfTheRangeOnly) {
    E2eEnv env;
    SimProcess sim(env, {"--class", "CYT2"});
    ASSERT_TRUE(sim.ready()) << sim.output();
    const std::vector<Block> code = {{0x10000000, e2e::patternBytes(0x800, 1)},
                                     {0x10008000, e2e::patternBytes(0x800, 2)}};
    const RunResult write = env.runVoflash({"--ecuClass", "CYT2", "-n", "--pktlen", "2048", "--writeCode",
                                            env.write("code.hex", e2e::intelHexText(code))});
    ASSERT_EQ(write.exitCode, 0) << describe(write);

    const RunResult outside = env.runVoflash({"--ecuClass", "CYT2", "-n", "--eraseCode", "x",
                                              "--codeStartAddr", "10200000", "--codeLength", "20000"});
    EXPECT_EQ(outside.exitCode, 0) << describe(outside);
    EXPECT_NE(outside.out.find("leaves the code flash blocks"), std::string::npos) << describe(outside);
    EXPECT_NE(outside.out.find("ECU is not programmed successfully (KO)"), std::string::npos);

    const RunResult erase = env.runVoflash({"--ecuClass", "CYT2", "-n", "--eraseCode", "x", "--codeStartAddr",
                                            "10000000", "--codeLength", "8000"});
    ASSERT_EQ(erase.exitCode, 0) << describe(erase);
    EXPECT_NE(erase.out.find("ECU is programmed successfully (OK)"), std::string::npos) << describe(erase);

    const RunResult read = env.runVoflash({"--ecuClass", "CYT2", "-n", "--pktlen", "2048", "--readCode",
                                           env.path("back.hex"), "--codeLength", "8800"});
    ASSERT_EQ(read.exitCode, 0) << describe(read);
    const e2e::ByteMap back = e2e::readImageFile(env, "back.hex");
    EXPECT_EQ(e2e::bytesOf(back, 0x10000000, 0x800, 0), Bytes(0x800, 0xFF));
    EXPECT_EQ(e2e::bytesOf(back, 0x10008000, 0x800, 0), code[1].bytes);
}

}  // namespace
