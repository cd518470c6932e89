// The NXP and RH850 ECU classes: the block map of the NXP (and CYT2) ECUs and FlashCode's erase over
// it, the RH850 data-flash units, and the programming-session download request of the three
// standard-program classes.

#include <gtest/gtest.h>

#include "ecu/EcuLoginCode.h"
#include "ecu/VOCyt2Gen.h"
#include "ecu/VONxpGen.h"
#include "ecu/VORh850Gen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/ecu/PacketBytes.h"

namespace ecutest {
namespace {

const std::pair<uint64_t, unsigned> kGroupBlocks[] = {
    {0, 0},           {0x0FFFFFFF, 0},  {0x10000000, 0},  {0x10007FFF, 0},  {0x10008000, 1},
    {0x101E8000, 61}, {0x101EFFFF, 61}, {0x101F0000, 62}, {0x101F1FFF, 62}, {0x101F2000, 63},
    {0x1020FFFF, 77}, {0x10210000, 0},  {0xFFFFFFFF, 0},  {0x110000000, 0},
};

template <typename Ecu>
void expectGroupBlocks() {
    Rig<Ecu> rig;
    for (const auto& [address, block] : kGroupBlocks) {
        EXPECT_EQ(rig.ecu.GetBlockNumber(address), block) << std::hex << address;
    }
    EXPECT_TRUE(rig.bus.exchanges().empty());
}

TEST(GetBlockNumber, CodeBlockGroupsOfNxpAndCyt2) {
    expectGroupBlocks<VONxpGen>();
    expectGroupBlocks<VOCyt2Gen>();
}

TEST(GetBlockNumber, Rh850KeepsTheKesMap) {
    Rig<VORh850Gen> rig;
    EXPECT_EQ(rig.ecu.GetBlockNumber(0x2000), 1);
    EXPECT_EQ(rig.ecu.GetBlockNumber(0x10000), 8);
    EXPECT_EQ(rig.ecu.GetBlockNumber(0x1008000), 0x81);
    EXPECT_EQ(rig.ecu.GetBlockNumber(0x10008000), 0x80 | ((0x10008000 - 0x1000000) / 0x8000 % 128));
}

template <typename Ecu>
void expectEraseOverGroups() {
    // 0x101E8000 - 0x101F3FFF: the last 32 KiB block and the first two 8 KiB blocks.
    Rig<Ecu> rig;
    for (uint8_t b = 61; b <= 63; ++b) {
        rig.bus.expect({0xBB, 0x72, b, b, 0, 0, 0}, Answer::reply({0xFB}));
    }
    const Bytes data = counting(0xC000);
    expectPacketWrites(rig.bus, 0x70, 0x101E8000, data, 0x4000, 0x40, Answer::reply({0xFB, 0x70}));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.FlashCode(data, 0x101E8000, 0xC000, true, nullptr, 0x40, 0x100));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_NE(out.normal().find("    Block: 61 - 63\n"), std::string::npos);
    EXPECT_EQ(out.error(), "");
}

TEST(FlashCode, ErasesTheGroupBlocksOfTheRange) {
    expectEraseOverGroups<VONxpGen>();
    expectEraseOverGroups<VOCyt2Gen>();
}

// Outside the map the lookup answers block 0; the erase must not go on with it.
template <typename Ecu>
void expectEraseRefusedOutsideGroups() {
    struct Case {
        std::string label;
        uint64_t address, length;
        std::string error;
    };
    const Case cases[] = {
        {"start below the map", 0x0FFFF000, 0x2000, "Incorrect start Addr.: 0xffff000\n"},
        {"end beyond the map", 0x1020F000, 0x2000, "Incorrect data length: 0x2000\n"},
        {"start beyond the map", 0x10210000, 0x1000, "Incorrect start Addr.: 0x10210000\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<Ecu> rig;
        StreamCapture out;
        EXPECT_FALSE(rig.ecu.FlashCode(Bytes(c.length), c.address, c.length, true, nullptr, 2,
                                       static_cast<uint32_t>(c.length / 2)));
        EXPECT_EQ(out.error(), c.error);
        EXPECT_TRUE(rig.bus.exchanges().empty());
    }
}

TEST(FlashCode, OwnEraseRefusesRangesOutsideTheGroups) {
    expectEraseRefusedOutsideGroups<VONxpGen>();
    expectEraseRefusedOutsideGroups<VOCyt2Gen>();
}

TEST(Rh850FlashData, UnitsCountFromTheDataFlashStart) {
    struct Case {
        std::string label;
        uint64_t address, length;
        uint32_t pages, pageSize;
        Bytes erase;
    };
    const Case cases[] = {
        {"first unit", 0xFF200000, 0x40, 1, 0x40, {0xBB, 0x82, 0x00, 0x00, 0x00, 0x01, 0x00}},
        {"two units on", 0xFF200080, 0x80, 1, 0x80, {0xBB, 0x82, 0x00, 0x02, 0x00, 0x04, 0x00}},
        // A page that ends inside a unit erases that unit whole.
        {"last unit partly used", 0xFF200040, 0x50, 1, 0x50, {0xBB, 0x82, 0x00, 0x01, 0x00, 0x03, 0x00}},
        // 512 units from unit 0.
        {"32 KiB", 0xFF200000, 0x8000, 0x80, 0x100, {0xBB, 0x82, 0x00, 0x00, 0x02, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VORh850Gen> rig;
        const Bytes data = counting(c.length);
        const size_t chunk = size_t{c.pages} * c.pageSize;
        rig.bus.expect(c.erase, Answer::reply({0xFB}));
        expectPacketWrites(rig.bus, 0x80, c.address, data, chunk, static_cast<uint8_t>(c.pages),
                           Answer::reply({0xFB, 0x80}));
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.FlashData(data, c.address, c.length, nullptr, c.pages, c.pageSize));
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(out.error(), "");
        std::ostringstream head;
        head << std::hex << "\r    Addr:  0x" << c.address << ", Length: 0x" << c.length << "\n";
        EXPECT_EQ(out.normal().substr(0, head.str().size()), head.str());
        for (size_t i = 1; i < rig.bus.exchanges().size(); ++i) {
            EXPECT_EQ(rig.bus.exchanges()[i].answerLength, 8u);
        }
    }
}

TEST(Rh850FlashData, RefusedBeforeAnythingIsSent) {
    const Refusal cases[] = {
        {"zero pages", 0xFF200000, 0x40, 0, 0x40, 0x40, "\nTrying to flash zero pages!\n"},
        {"below the data flash", 0xFF1FFFC0, 0x40, 1, 0x40, 0x40, "Incorrect start Addr.: 0xff1fffc0\n"},
        {"far below the data flash", 0x14000000, 0x40, 1, 0x40, 0x40, "Incorrect start Addr.: 0x14000000\n"},
        {"inside a unit", 0xFF200020, 0x40, 1, 0x40, 0x40, "Incorrect start Addr.: 0xff200020\n"},
        {"range ends beyond 2^32", 0xFFFFFFC0, 0x80, 1, 0x80, 0x80, "Incorrect data length: 0x80\n"},
        {"zero length", 0xFF200000, 0, 1, 0x40, 0x40, "Incorrect data length: 0x0\n"},
        {"zero page size", 0xFF200000, 0x40, 1, 0, 0x40, "Incorrect page size: 0x0\n"},
        {"more pages than a byte holds", 0xFF200000, 0x4000, 256, 0x40, 0x4000,
         "Incorrect number of pages: 256\n"},
        {"data shorter than the length", 0xFF200000, 0x50, 1, 0x40, 0x4F,
         "Data shorter than the length: 0x4f\n"},
    };
    expectRefusedBeforeSending<VORh850Gen>(cases, [](VORh850Gen& ecu, const Refusal& c) {
        return ecu.FlashData(counting(c.dataSize), c.address, c.length, nullptr, c.pages, c.pageSize);
    });
}

TEST(Rh850FlashData, WriteRepliesAndTheirTexts) {
    const Bytes data = counting(0x40, 5);
    const Bytes erase = {0xBB, 0x82, 0x00, 0x01, 0x00, 0x02, 0x00};
    runTextCases<VORh850Gen>(
        packet(0x80, 0xFF200040, 1, data), 8,
        {
            {"positive", Answer::reply({0xFB, 0x00}), true, ""},
            {"positive but three bytes", Answer::reply({0xFB, 0x80, 0x00}), false,
             "\nInvalidResp(W_Data), Addr: 0xff200040, Response: 0XFB0X8000\n"},
            {"negative", Answer::negative(0xBB, 0x72), false,
             "\nW_Data,Addr: 0xff200040\n NRC(GeneralProgrammingFailure)\n"},
            {"short negative", Answer::reply({0x7F}), false, "\nW_Data,Addr: 0xff200040\n"},
            {"empty", Answer::empty(), false, "\nInvalidResp(W_Data), Addr: 0xff200040, Response: \n"},
            {"missing", Answer::none(), false, "\nNoResp(W_Data), Addr: 0xff200040, Response: \n"},
        },
        [&data](VORh850Gen& ecu) { return ecu.FlashData(data, 0xFF200040, 0x40, nullptr, 1, 0x40); },
        {{erase, Answer::reply({0xFB})}});
}

TEST(Rh850FlashData, AFailedEraseEndsItWithoutWriting) {
    Rig<VORh850Gen> rig;
    rig.bus.expect({0xBB, 0x82, 0x00, 0x00, 0x00, 0x01, 0x00}, Answer::negative(0xBB, 0x72));
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.FlashData(counting(0x40), 0xFF200000, 0x40, nullptr, 1, 0x40));
    EXPECT_TRUE(rig.bus.done());
}

Bytes downloadRequest() {
    const auto code = ecuLoginCode();
    Bytes request = {0x34};
    request.insert(request.end(), code.begin(), code.end());
    return request;
}

const std::vector<TextCase> kDownloadCases = {
    {"positive", Answer::reply({0x74, 0x20}), true, ""},
    {"negative", Answer::negative(0x34, 0x31), false, "Srv: 0x34 NRC: 0x31 (RequestOutOfRange)\n"},
    {"short negative", Answer::reply({0x7F, 0x34}), false, "NegResp/InvalidResponse: 0X7F0X34\n"},
    {"another service's reply", Answer::reply({0x75, 0x00}), false,
     ".... RequestDownload failed: No.Response !\n"},
    {"empty", Answer::empty(), false, "Invalid Response: \n"},
    {"missing", Answer::none(), false, ".... RequestDownload failed: No.Response !\n"},
    {"send fails", Answer::sendFails(), false, " Error while sending RequestDownload request\n"},
};

TEST(RequestDownload, RepliesAndTheirTextsInTheThreeClasses) {
    runTextCases<VONxpGen>(downloadRequest(), 8, kDownloadCases,
                           [](VONxpGen& ecu) { return ecu.RequestDownload(); });
    runTextCases<VORh850Gen>(downloadRequest(), 8, kDownloadCases,
                             [](VORh850Gen& ecu) { return ecu.RequestDownload(); });
    runTextCases<VOCyt2Gen>(downloadRequest(), 8, kDownloadCases,
                            [](VOCyt2Gen& ecu) { return ecu.RequestDownload(); });
}

TEST(ProgSessionHook, FalseAndSilent) {
    Rig<VONxpGen> nxp;
    Rig<VORh850Gen> rh850;
    Rig<VOCyt2Gen> cyt2;
    StreamCapture out;
    EXPECT_FALSE(nxp.ecu.ProgSessionHook());
    EXPECT_FALSE(rh850.ecu.ProgSessionHook());
    EXPECT_FALSE(cyt2.ecu.ProgSessionHook());
    EXPECT_TRUE(nxp.bus.exchanges().empty() && rh850.bus.exchanges().empty() && cyt2.bus.exchanges().empty());
    EXPECT_EQ(out.error() + out.normal(), "");
}

}  // namespace
}  // namespace ecutest
