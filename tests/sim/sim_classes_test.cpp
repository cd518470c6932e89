// The CYT2, NXP, KES2 and DRO bootloaders driven end to end by their ECU classes: each class's block
// layout, data-flash addressing, erase units and read sizes.

#include <gtest/gtest.h>

#include <algorithm>

#include "ecu/VOCyt2Gen.h"
#include "ecu/VODroGen.h"
#include "ecu/VONxpGen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/sim/sim_fixture.h"

namespace simtest {
namespace {

using Cyt2Test = SimTest<VOCyt2Gen>;
using NxpTest = SimTest<VONxpGen>;
using DroTest = SimTest<VODroGen>;

TEST_F(Cyt2Test, CodeInTheSmallBlocksIsErasedWrittenAndReadBack) {
    startWith(configFor(sim::EcuClass::kCyt2));
    ASSERT_TRUE(tool->loginWithRetry());
    ASSERT_TRUE(simulator->poke(sim::Space::kCode, 0x101F0000, Bytes(0x2000, 0x00)));
    const Bytes data = pattern(0x400);
    ecutest::StreamCapture out;
    // Block 62, the first 8 KiB block, is erased first.
    ASSERT_TRUE(ecu().FlashCode(data, 0x101F0000, data.size(), true, nullptr, 1, 0x200)) << out.error();
    EXPECT_EQ(peek(sim::Space::kCode, 0x101F0000, 0x400), data);
    EXPECT_EQ(peek(sim::Space::kCode, 0x101F0400, 0x1C00), Bytes(0x1C00, 0xFF));
    Bytes back(data.size());
    ASSERT_TRUE(ecu().ReadCode(back, 0x101F0000, back.size(), nullptr, 0x200)) << out.error();
    EXPECT_EQ(back, data);
}

TEST_F(Cyt2Test, DataReadWithoutPageCountTakesTheSetting) {
    startWith(configFor(sim::EcuClass::kCyt2));
    ASSERT_TRUE(tool->loginWithRetry());
    const Bytes data = pattern(0x200, 3);
    ASSERT_TRUE(simulator->poke(sim::Space::kData, 0x200, data));
    ecutest::StreamCapture out;
    Bytes back(0x400);
    ASSERT_TRUE(ecu().ReadData(back, 0x14000000, back.size(), nullptr, 2)) << out.error();
    EXPECT_EQ(Bytes(back.begin() + 0x200, back.end()), data);
}

TEST_F(Cyt2Test, DataReadSettingThatDiffersFromTheToolsPagesIsSeenAsInvalid) {
    sim::Config config = configFor(sim::EcuClass::kCyt2);
    config.dataReadPages = 1;
    startWith(config);
    ASSERT_TRUE(tool->loginWithRetry());
    ecutest::StreamCapture out;
    Bytes back(0x200);
    EXPECT_FALSE(ecu().ReadData(back, 0x14000000, back.size(), nullptr, 2));
    EXPECT_NE(out.error().find("InvalidResp(R_Data), Addr: 0x14000000"), std::string::npos) << out.error();
}

TEST_F(Cyt2Test, DataFlashIsErasedInUnitsAndWritten) {
    startWith(configFor(sim::EcuClass::kCyt2));
    ASSERT_TRUE(tool->loginWithRetry());
    ASSERT_TRUE(simulator->poke(sim::Space::kData, 0, Bytes(0x300, 0x00)));
    const Bytes data = pattern(0x80, 9);
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().FlashData(data, 0x14000100, data.size(), nullptr, 1, 0x80)) << out.error();
    EXPECT_EQ(peek(sim::Space::kData, 0x100, 0x80), data);
    // Units 4 and 5 only (end unit exclusive): the bytes around stay as they were.
    EXPECT_EQ(peek(sim::Space::kData, 0xC0, 0x40), Bytes(0x40, 0x00));
    EXPECT_EQ(peek(sim::Space::kData, 0x180, 0x40), Bytes(0x40, 0x00));
    ASSERT_TRUE(ecu().EraseDataBlocks(0, 12));
    EXPECT_EQ(peek(sim::Space::kData, 0, 0x300), Bytes(0x300, 0xFF));
}

TEST_F(NxpTest, DataIsWrittenAbsoluteAndReadFromZero) {
    startWith(configFor(sim::EcuClass::kNxp));
    ASSERT_TRUE(tool->loginWithRetry());
    const Bytes data = pattern(0x100, 0x21);
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().FlashData(data, 0x14000000, data.size(), nullptr, 1, 0x100)) << out.error();
    Bytes back(0x100);
    ASSERT_TRUE(ecu().ReadData(back, 0, back.size(), nullptr, 1)) << out.error();
    EXPECT_EQ(back, data);
    // The absolute address is outside what the NXP data read addresses.
    EXPECT_FALSE(ecu().ReadData(back, 0x14000000, back.size(), nullptr, 1));
    EXPECT_NE(out.error().find("NRC(RequestOutOfRange)"), std::string::npos) << out.error();
}

TEST_F(NxpTest, CodeBlocksOfTheTableAreErasedByNumber) {
    startWith(configFor(sim::EcuClass::kNxp));
    ASSERT_TRUE(tool->loginWithRetry());
    ASSERT_TRUE(simulator->poke(sim::Space::kCode, 0x10008000, Bytes(0x10000, 0x00)));
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().EraseCodeBlocks(1, 1));
    EXPECT_EQ(peek(sim::Space::kCode, 0x10008000, 0x8000), Bytes(0x8000, 0xFF));
    EXPECT_EQ(peek(sim::Space::kCode, 0x10010000, 0x8000), Bytes(0x8000, 0x00));
    // Block 78 lies past the table.
    EXPECT_FALSE(ecu().EraseCodeBlocks(78, 78));
    EXPECT_NE(out.error().find("EraseCode, Block: 0x4e (78)\n NRC(RequestOutOfRange)"), std::string::npos)
        << out.error();
}

TEST_F(DroTest, CodeWriteErasesItsBlockAndNeedsNoLogin) {
    startWith(configFor(sim::EcuClass::kDro));
    ASSERT_TRUE(simulator->poke(sim::Space::kCode, 0x74000, Bytes(0x4000, 0x00)));
    const Bytes data = pattern(0x200, 0x33);
    int mode = 0;
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().FlashCode(data, 0x74000, data.size(), true, &mode, 1, 256)) << out.error();
    EXPECT_EQ(peek(sim::Space::kCode, 0x74000, 0x200), data);
    EXPECT_EQ(peek(sim::Space::kCode, 0x74200, 0x3E00), Bytes(0x3E00, 0xFF));
    Bytes back(0x200);
    ASSERT_TRUE(ecu().ReadCode(back, 0x74000, back.size(), nullptr, 1)) << out.error();
    EXPECT_EQ(back, data);
}

TEST_F(DroTest, BootBlockTaWriteGoesIntoTheErasedBlock) {
    startWith(configFor(sim::EcuClass::kDro));
    const Bytes bmg = pattern(0x100, 1);
    int mode = 0;
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().FlashCode(bmg, 0x70000, bmg.size(), true, &mode, 1, 256)) << out.error();
    Bytes ta{0xBB, 0x70, 0x00, 0x07, 0x37, 0x00, 0x01};
    const Bytes block = pattern(0x100, 7);
    ta.insert(ta.end(), block.begin(), block.end());
    ASSERT_TRUE(ecu().SendCommand(ta)) << out.error();
    EXPECT_EQ(peek(sim::Space::kCode, 0x73700, 0x100), block);
    // The same block again: the flash there is no longer erased.
    EXPECT_FALSE(ecu().SendCommand(ta));
    EXPECT_NE(out.error().find("NRC:0x72"), std::string::npos) << out.error();
}

TEST_F(DroTest, DataIsErasedInUnitsOf32WithACount) {
    startWith(configFor(sim::EcuClass::kDro));
    ASSERT_TRUE(simulator->poke(sim::Space::kData, 0xE0, Bytes(0x140, 0x00)));
    const Bytes data = pattern(0x100, 0x44);
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().FlashData(data, 0x100, data.size(), nullptr, 1, 0x100)) << out.error();
    EXPECT_EQ(peek(sim::Space::kData, 0x100, 0x100), data);
    EXPECT_EQ(peek(sim::Space::kData, 0xE0, 0x20), Bytes(0x20, 0x00));
    EXPECT_EQ(peek(sim::Space::kData, 0x200, 0x20), Bytes(0x20, 0x00));
    Bytes back(0x100);
    ASSERT_TRUE(ecu().ReadData(back, 0x100, back.size(), nullptr, 1)) << out.error();
    EXPECT_EQ(back, data);
}

// KES2 block 0 is the boot area alone; blocks 1 to 3 hold the application area above it.
TEST_F(DroTest, Kes2BlocksTheBootAreaAndTheApplicationArea) {
    struct Case {
        uint8_t block;
        uint32_t start, size;
    };
    // Erased one after the other, from 3 down to 0: each erase adds its block alone.
    const Case cases[] = {{3, 0x40000, 0x40000}, {2, 0x20000, 0x20000}, {1, 0x8000, 0x18000}, {0, 0, 0x8000}};
    startWith(configFor(sim::EcuClass::kKes2));
    ASSERT_TRUE(simulator->poke(sim::Space::kCode, 0, Bytes(0x80000, 0x00)));
    Bytes expected(0x80000, 0x00);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.block);
        ecutest::StreamCapture out;
        ASSERT_TRUE(ecu().SendCommand({0xBB, 0x72, c.block, c.block, 0x00, 0x00, 0x00})) << out.error();
        std::fill(expected.begin() + c.start, expected.begin() + c.start + c.size, 0xFF);
        EXPECT_TRUE(peek(sim::Space::kCode, 0, 0x80000) == expected);
    }
}

// The write of the KES2 program's application area: blocks 3 down to 1, then the data from 0x8000;
// the boot area stays.
TEST_F(DroTest, Kes2ApplicationWriteLeavesTheBootArea) {
    startWith(configFor(sim::EcuClass::kKes2));
    ASSERT_TRUE(simulator->poke(sim::Space::kCode, 0, Bytes(0x80000, 0x00)));
    const Bytes page = pattern(0x100, 0x55);
    int mode = 0;
    ecutest::StreamCapture out;
    ASSERT_TRUE(ecu().FlashCode(page, 0x8000, page.size(), true, &mode, 1, 256)) << out.error();
    EXPECT_EQ(peek(sim::Space::kCode, 0, 0x8000), Bytes(0x8000, 0x00));
    EXPECT_EQ(peek(sim::Space::kCode, 0x8000, 0x100), page);
    EXPECT_EQ(peek(sim::Space::kCode, 0x8100, 0x77F00), Bytes(0x77F00, 0xFF));
    // The raw data write of the KES2 program: offset 0x300, five bytes, page count 0.
    ASSERT_TRUE(ecu().SendCommand({0xBB, 0x80, 0x00, 0x00, 0x03, 0x00, 0x00, 1, 2, 3, 4, 5})) << out.error();
    EXPECT_EQ(peek(sim::Space::kData, 0x300, 5), (Bytes{1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace simtest
