// What the standard classes check against their code-flash block map before anything is erased: the
// block each erase-block number names to the bootloader, ranges of block numbers that leave the map
// or run from one area into the other, the upper blocks erased by numbers of their own, and writes
// whose requests one message of the transport cannot carry.

#include <gtest/gtest.h>

#include <optional>

#include "ecu/VOCyt2Gen.h"
#include "ecu/VOKesGen.h"
#include "ecu/VONxpGen.h"
#include "ecu/VORh850Gen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/ecu/PacketBytes.h"

namespace ecutest {
namespace {

using BlockAddress = std::pair<unsigned, std::optional<uint64_t>>;

// Every block number names the block whose own number it is, or none.
template <typename Ecu>
void expectBlockAddresses(const std::vector<BlockAddress>& table) {
    Rig<Ecu> rig;
    for (const auto& [block, address] : table) {
        EXPECT_EQ(rig.ecu.CodeBlockAddress(static_cast<uint8_t>(block)), address) << block;
    }
    for (unsigned block = 0; block < 256; ++block) {
        const std::optional<uint64_t> address = rig.ecu.CodeBlockAddress(static_cast<uint8_t>(block));
        if (address) {
            EXPECT_EQ(rig.ecu.GetBlockNumber(*address), block) << block;
            EXPECT_TRUE(rig.ecu.InCodeBlockMap(*address)) << block;
        }
    }
}

// The numbers 128 to 133 name the last lower blocks, so the upper blocks numbered 0x80 to 0x85 are
// named by none; 134 on are the upper area's.
TEST(CodeBlockAddress, LowerNumbersFirstThenTheUpperArea) {
    expectBlockAddresses<VOKesGen>({{0, 0x0},
                                    {7, 0xE000},
                                    {8, 0x10000},
                                    {128, 0x3D0000},
                                    {133, 0x3F8000},
                                    {134, 0x1030000},
                                    {255, 0x13F8000}});
    expectBlockAddresses<VORh850Gen>({{128, 0x3D0000}, {134, 0x1030000}});
}

TEST(CodeBlockAddress, BlockGroupsOfNxpAndCyt2) {
    const std::vector<BlockAddress> table = {{0, 0x10000000},  {61, 0x101E8000},   {62, 0x101F0000},
                                             {77, 0x1020E000}, {78, std::nullopt}, {255, std::nullopt}};
    expectBlockAddresses<VONxpGen>(table);
    expectBlockAddresses<VOCyt2Gen>(table);
}

struct RangeCase {
    unsigned first, last;
    std::string fault;  // empty: the range is one run of blocks of one area
};

template <typename Ecu>
void expectRangeFaults(const std::vector<RangeCase>& cases) {
    Rig<Ecu> rig;
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << "," << c.last);
        const auto first = static_cast<uint8_t>(c.first);
        const std::optional<VOKesGen::BlockRangeFault> fault =
            rig.ecu.FindCodeBlockRangeFault(first, static_cast<uint8_t>(c.last));
        EXPECT_EQ(fault ? fault->text(first) : "", c.fault);
    }
}

TEST(FindCodeBlockRangeFault, RangesStayInOneArea) {
    expectRangeFaults<VORh850Gen>({
        {0, 133, ""},
        {128, 133, ""},
        {134, 255, ""},
        {9, 9, ""},
        {0, 200, "block 134 lies in another code flash area than block 0"},
        {130, 140, "block 134 lies in another code flash area than block 130"},
        {133, 134, "block 134 lies in another code flash area than block 133"},
    });
}

TEST(FindCodeBlockRangeFault, RangesStayInTheBlockGroups) {
    const std::vector<RangeCase> cases = {
        {0, 77, ""},
        {76, 80, "block 78 is no block of the code flash"},
        {78, 78, "block 78 is no block of the code flash"},
        {200, 255, "block 200 is no block of the code flash"},
    };
    expectRangeFaults<VONxpGen>(cases);
    expectRangeFaults<VOCyt2Gen>(cases);
}

// The first upper block whose number names no lower block is erased by its number and written.
TEST(FlashCode, UpperBlocksOfTheirOwnNumberAreErasedAndWritten) {
    Rig<VORh850Gen> rig;
    const Bytes data = counting(0x200);
    rig.bus.expect({0xBB, 0x72, 0x86, 0x86, 0, 0, 0}, Answer::reply({0xFB}));
    expectPacketWrites(rig.bus, 0x70, 0x1030000, data, 0x200, 2, Answer::reply({0xFB, 0x70}));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.FlashCode(data, 0x1030000, 0x200, true, nullptr, 2, 0x100));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(out.error(), "");
}

// A write whose first request is longer than a message of the transport (4095 bytes) is refused
// before its erase; one of exactly that length goes on to the erase (on a channel that answers
// nothing, so only the frames written show it). The serial protocols set no such limit.
TEST(RequestLength, AWriteNoMessageCarriesIsRefusedBeforeTheErase) {
    const std::string refusal = "Request too long: 0x1000 bytes (one message carries 0xfff bytes at most)\n";
    for (const uint32_t page : {0xFF8u, 0xFF9u}) {
        SCOPED_TRACE(page);
        const bool fits = page == 0xFF8;
        {
            TransportRig<VORh850Gen> rig;
            ASSERT_TRUE(rig.attached);
            EXPECT_EQ(rig.ecu.maxRequestLength(), 0xFFFu);
            StreamCapture out;
            EXPECT_FALSE(rig.ecu.FlashData(counting(page), 0xFF200000, page, nullptr, 1, page));
            EXPECT_EQ(out.error().find(refusal) != std::string::npos, !fits) << out.error();
            // The erase request BB 82 00 00 00 40 00 in a single frame.
            EXPECT_EQ(rig.channel.written().empty(), !fits);
        }
        {
            TransportRig<VOKesGen> rig;
            ASSERT_TRUE(rig.attached);
            StreamCapture out;
            EXPECT_FALSE(rig.ecu.FlashCode(counting(page), 0, page, true, nullptr, 1, page));
            EXPECT_EQ(out.error().find(refusal) != std::string::npos, !fits) << out.error();
            EXPECT_EQ(rig.channel.written().empty(), !fits);
        }
    }
    Rig<VOKesGen> scripted;
    EXPECT_EQ(scripted.ecu.maxRequestLength(), 0u);
}

}  // namespace
}  // namespace ecutest
