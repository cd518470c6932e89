// The code and data flash services of VOKesGen: block lookup, erase, write and read in packets, with
// their refusals, reply texts and progress.

#include <gtest/gtest.h>

#include "ecu/VOKesGen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/ecu/PacketBytes.h"

namespace ecutest {
namespace {

TEST(GetBlockNumber, CodeBlockTable) {
    const std::pair<uint64_t, unsigned> table[] = {
        {0, 0},
        {0x1FFF, 0},
        {0x2000, 1},
        {0xFFFF, 7},
        {0x10000, 8},
        {0x17FFF, 8},
        {0x18000, 9},
        {0x200000, 70},
        {0x3FFFFF, 133},
        {0x400000, 134},
        {0x400001, 0x85},
        {0xFFFFFF, 0x85},
        {0x1000000, 0x80},
        {0x1008000, 0x81},
        {0x13F8000, 0xFF},
        {0x1400000, 0x80},
    };
    Rig<VOKesGen> rig;
    for (const auto& [address, block] : table) {
        EXPECT_EQ(rig.ecu.GetBlockNumber(address), block) << std::hex << address;
    }
    EXPECT_TRUE(rig.bus.exchanges().empty());
}

TEST(EraseCodeBlocks, OneRequestPerBlockWithProgress) {
    struct Case {
        uint8_t first, last;
        std::vector<uint32_t> progress;
    };
    const Case cases[] = {
        {3, 3, {100}},
        {5, 4, {}},
        {250, 255, {0, 20, 40, 60, 80, 100}},
        {0, 2, {0, 50, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.first) << "-" << int(c.last));
        Rig<VOKesGen> rig;
        for (unsigned b = c.first; b <= c.last; ++b) {
            const auto block = static_cast<uint8_t>(b);
            rig.bus.expect({0xBB, 0x72, block, block, 0, 0, 0}, Answer::reply({0xFB}));
        }
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.EraseCodeBlocks(c.first, c.last));
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(progressValues(out.normal()), c.progress);
        const std::string header =
            "    Block: " + std::to_string(c.first) + " - " + std::to_string(c.last) + "\n    Erase: ";
        EXPECT_EQ(out.normal().substr(0, header.size()), header);
        EXPECT_EQ(out.error(), "");
        for (const Exchange& e : rig.bus.exchanges()) {
            EXPECT_EQ(e.answerLength, 8u);
        }
    }
}

TEST(EraseCodeBlocks, RepliesAndTheirTexts) {
    const std::string header = "    Block: 7 - 7\n    Erase: ";
    runTextCases({0xBB, 0x72, 0x07, 0x07, 0, 0, 0}, 8,
                 {
                     {"positive", Answer::reply({0xFB, 0x72, 0x00}), true, ""},
                     {"negative", Answer::negative(0xBB, 0x72), false,
                      "\nEraseCode, Block: 0x7 (7)\n NRC(GeneralProgrammingFailure)\n", "", header},
                     {"short negative", Answer::reply({0x7F, 0xBB}), false, "\nEraseCode, Block: 0x7 (7)\n",
                      "", header},
                     {"another service's reply", Answer::reply({0xFA, 0x00}), false,
                      "\nNoResp. Erase CodeFlash-Error\n\nErasing failed (KO) !!!\n", "", header + "\n"},
                     {"empty", Answer::empty(), false,
                      "\nInvalidResp. (EraseCode), Block: 0x7 (7), Response: \n", "", header},
                     {"missing", Answer::none(), false,
                      "\nNoResp. Erase CodeFlash-Error\n\nErasing failed (KO) !!!\n", "", header + "\n"},
                 },
                 [](VOKesGen& ecu) { return ecu.EraseCodeBlocks(7, 7); });
}

TEST(EraseCodeBlocks, AFailedBlockEndsTheErase) {
    Rig<VOKesGen> rig;
    rig.bus.expect({0xBB, 0x72, 1, 1, 0, 0, 0}, Answer::reply({0xFB}))
        .expect({0xBB, 0x72, 2, 2, 0, 0, 0}, Answer::negative(0xBB, 0x22));
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.EraseCodeBlocks(1, 3));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(rig.bus.exchanges().size(), 2u);
}

TEST(EraseDataBlocks, FirstAndEndUnitInOneRequest) {
    struct Case {
        uint16_t first, count;
        Bytes request;
        std::string header;
    };
    const Case cases[] = {
        {0, 0x12F, {0xBB, 0x82, 0x00, 0x00, 0x01, 0x2F, 0x00}, "    Block: 0 - 303\n    Erase: "},
        {0x1234, 1, {0xBB, 0x82, 0x12, 0x34, 0x12, 0x35, 0x00}, "    Block: 4660 - 4661\n    Erase: "},
        // The end goes past 16 bits in the text; the request carries its low 16 bits.
        {0xFFFF, 2, {0xBB, 0x82, 0xFF, 0xFF, 0x00, 0x01, 0x00}, "    Block: 65535 - 65537\n    Erase: "},
    };
    for (const Case& c : cases) {
        Rig<VOKesGen> rig;
        rig.bus.expect(c.request, Answer::reply({0xFB}));
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.EraseDataBlocks(c.first, c.count));
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(out.normal().substr(0, c.header.size()), c.header);
        EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{50, 100}));
    }
}

TEST(EraseDataBlocks, RepliesAndTheirTexts) {
    const std::string failed = "\n\nErasing failed (KO) !!!\n\n";
    const std::string header = "    Block: 16 - 18\n    Erase: ";
    runTextCases(
        {0xBB, 0x82, 0x00, 0x10, 0x00, 0x12, 0x00}, 8,
        {
            {"positive", Answer::reply({0xFB}), true, ""},
            {"negative", Answer::negative(0xBB, 0x31), false,
             "\nErasing Data Blocks: 0x10 - 0x12 (16 - 18) NRC(RequestOutOfRange)" + failed, "", header},
            {"short negative", Answer::reply({0x7F, 0xBB}), false,
             "\nErasing Data Blocks: 0x10 - 0x12 (16 - 18)" + failed, "", header},
            {"another service's reply", Answer::reply({0xFA}), false,
             "\nNoResp. Erase DataFlash-Error\n\nErasing failed (KO) !!!\n\n", "", header},
            {"empty", Answer::empty(), false,
             "\nInvalidResp. (EraseData), Block: 0x10 - 0x12 (16 - 18)" + failed, "", header},
            {"missing", Answer::none(), false,
             "\nNoResp. Erase DataFlash-Error\n\nErasing failed (KO) !!!\n\n", "", header},
        },
        [](VOKesGen& ecu) { return ecu.EraseDataBlocks(0x10, 2); });
}

TEST(FlashCode, RefusedBeforeAnythingIsSent) {
    const Refusal cases[] = {
        {"length not a whole number of pages", 0x10000, 0x380, 2, 0x100, 0x380,
         "Incorrect data length: 0x380\n"},
        {"start not page-aligned", 0x10080, 0x200, 2, 0x100, 0x200, "Incorrect start Addr.: 0x10080\n"},
        {"zero pages", 0x10000, 0x200, 0, 0x100, 0x200, "Incorrect data length: 0x200\n"},
        {"zero page size", 0x10000, 0x200, 2, 0, 0x200, "Incorrect data length: 0x200\n"},
        {"zero length", 0x10000, 0, 2, 0x100, 0, "Incorrect data length: 0x0\n"},
        {"more pages than a byte holds", 0x10000, 0x10000, 256, 0x100, 0x10000,
         "Incorrect number of pages: 256\n"},
        {"range ends beyond 2^32", 0xFFFFFF00, 0x200, 1, 0x100, 0x200, "Incorrect data length: 0x200\n"},
        {"range ends at 2^32", 0xFFFFFF00, 0x100, 1, 0x100, 0x100, ""},
        {"start beyond 2^32", 0x100000000, 0x100, 1, 0x100, 0x100, "Incorrect start Addr.: 0x100000000\n"},
        {"data shorter than the length", 0x10000, 0x200, 1, 0x100, 0x100,
         "Data shorter than the length: 0x100\n"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VOKesGen> rig;
        const bool accepted = c.error.empty();
        if (accepted) {
            rig.bus.expectAny(Answer::reply({0xFB, 0x00}));
        }
        StreamCapture out;
        EXPECT_EQ(
            rig.ecu.FlashCode(counting(c.dataSize), c.address, c.length, false, nullptr, c.pages, c.pageSize),
            accepted);
        EXPECT_EQ(out.error(), c.error);
        EXPECT_EQ(rig.bus.exchanges().size(), accepted ? 1u : 0u);
        if (!accepted) {
            EXPECT_EQ(out.normal(), "");
        }
    }
}

TEST(FlashCode, WritesPacketByPacketWithProgress) {
    Rig<VOKesGen> rig;
    const Bytes data = counting(0x800);
    expectPacketWrites(rig.bus, 0x70, 0x10000, data, 0x200, 2, Answer::reply({0xFB, 0x70}));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.FlashCode(data, 0x10000, 0x800, false, nullptr, 2, 0x100));
    EXPECT_TRUE(rig.bus.done());
    for (const Exchange& e : rig.bus.exchanges()) {
        EXPECT_EQ(e.request.size(), 519u);
        EXPECT_EQ(e.answerLength, 8u);
    }
    EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{25, 50, 75, 100, 100}));
    const std::string head = "\r    Addr:  0x10000, Length: 0x800\n    Write: ";
    EXPECT_EQ(out.normal().substr(0, head.size()), head);
    EXPECT_EQ(out.normal().back(), '\n');
    EXPECT_EQ(out.error(), "");
}

// A length that is no whole number of packets: the last request carries only the pages left, so
// nothing past the length is written.
TEST(FlashCode, LastRequestCarriesOnlyThePagesLeft) {
    Rig<VOKesGen> rig;
    const Bytes data = counting(0x500);
    rig.bus.expect(packet(0x70, 0x10000, 2, slice(data, 0, 0x200)), Answer::reply({0xFB, 0x70}))
        .expect(packet(0x70, 0x10200, 2, slice(data, 0x200, 0x200)), Answer::reply({0xFB, 0x70}))
        .expect(packet(0x70, 0x10400, 1, slice(data, 0x400, 0x100)), Answer::reply({0xFB, 0x70}));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.FlashCode(data, 0x10000, 0x500, false, nullptr, 2, 0x100));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{40, 80, 100, 100}));
    EXPECT_EQ(out.error(), "");
}

TEST(FlashCode, ErasesTheBlocksOfTheRangeFirst) {
    Rig<VOKesGen> rig;
    const Bytes data = counting(0x4000);
    // 0xE000 to 0x11FFF: the last 8 KiB block and the first 32 KiB block.
    for (uint8_t b = 7; b <= 8; ++b) {
        rig.bus.expect({0xBB, 0x72, b, b, 0, 0, 0}, Answer::reply({0xFB}));
    }
    expectPacketWrites(rig.bus, 0x70, 0xE000, data, 0x1000, 16, Answer::reply({0xFB, 0x00}));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.FlashCode(data, 0xE000, 0x4000, true, nullptr, 16, 0x100));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_NE(out.normal().find("    Block: 7 - 8\n    Erase: "), std::string::npos);
    EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{0, 100, 25, 50, 75, 100, 100}));
}

TEST(FlashCode, OwnEraseRefusesRangesOutsideTheBlockMap) {
    const Refusal cases[] = {
        {"last byte in the gap", 0x3FF000, 0x2000, 1, 0x1000, 0x2000, "Incorrect data length: 0x2000\n"},
        {"first byte in the gap", 0x400000, 0x1000, 1, 0x1000, 0x1000, "Incorrect start Addr.: 0x400000\n"},
        {"beyond the upper area", 0x13F8000, 0x10000, 1, 0x8000, 0x10000, "Incorrect data length: 0x10000\n"},
        // Across the gap between the areas the blocks between the two ends lie elsewhere, whichever
        // way their numbers run.
        {"across the gap, last block below the first", 0x3F8000, 0xC10000, 1, 0x8000, 0xC10000,
         "Incorrect data length: 0xc10000 (the range runs from one code flash area into the other)\n"},
        {"across the gap into the first block's number", 0x3F8000, 0xC38000, 1, 0x8000, 0xC38000,
         "Incorrect data length: 0xc38000 (the range runs from one code flash area into the other)\n"},
        {"across the gap, last block above the first", 0x3F8000, 0xC40000, 1, 0x8000, 0xC40000,
         "Incorrect data length: 0xc40000 (the range runs from one code flash area into the other)\n"},
        // The upper blocks numbered 0x80 to 0x85 have the numbers of the lower blocks 128 to 133, which
        // the bootloader would erase instead.
        {"first upper block", 0x1000000, 0x100, 1, 0x100, 0x100,
         "Incorrect start Addr.: 0x1000000 (erase block number 0x80 (128) names the block at 0x3d0000 of the "
         "other code flash area)\n"},
        {"from the last upper block numbered so into the next", 0x1028000, 0x10000, 1, 0x100, 0x10000,
         "Incorrect start Addr.: 0x1028000 (erase block number 0x85 (133) names the block at 0x3f8000 of the "
         "other code flash area)\n"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VOKesGen> rig;
        StreamCapture out;
        EXPECT_FALSE(
            rig.ecu.FlashCode(Bytes(c.dataSize), c.address, c.length, true, nullptr, c.pages, c.pageSize));
        EXPECT_EQ(out.error(), c.error);
        EXPECT_TRUE(rig.bus.exchanges().empty());
    }
}

TEST(FlashCode, AFailedEraseEndsItWithoutWriting) {
    Rig<VOKesGen> rig;
    rig.bus.expect({0xBB, 0x72, 8, 8, 0, 0, 0}, Answer::negative(0xBB, 0x72));
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.FlashCode(counting(0x100), 0x10000, 0x100, true, nullptr, 1, 0x100));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(out.error(), "\nEraseCode, Block: 0x8 (8)\n NRC(GeneralProgrammingFailure)\n");
}

TEST(FlashCode, RepliesAndTheirTexts) {
    const Bytes data = counting(0x100, 3);
    const std::string failed = "\n\nFlashing failed (KO) !!!\n\n";
    runTextCases(
        packet(0x70, 0x20000, 1, data), 8,
        {
            {"positive", Answer::reply({0xFB, 0x00}), true, ""},
            {"positive but three bytes", Answer::reply({0xFB, 0x70, 0x00}), false,
             "\nInvalidResp(W_Code), Addr: 0x20000" + failed},
            {"negative", Answer::negative(0xBB, 0x72), false,
             "\nW_Code,Addr: 0x20000 NRC(GeneralProgrammingFailure)" + failed},
            {"short negative", Answer::reply({0x7F, 0xBB}), false, "\nW_Code,Addr: 0x20000"},
            {"another service's reply", Answer::reply({0xFA, 0x00}), false,
             "\nNoResp(W_Code), Addr: 0x20000\n\nFlashing failed (KO) !!!\n"},
            {"reply to another BB service", Answer::reply({0xFB, 0x71}), false,
             "\nNoResp(W_Code), Addr: 0x20000\n\nFlashing failed (KO) !!!\n"},
            {"empty", Answer::empty(), false, "\nInvalidResp(W_Code), Addr: 0x20000" + failed},
            {"missing", Answer::none(), false,
             "\nNoResp(W_Code), Addr: 0x20000\n\nFlashing failed (KO) !!!\n"},
        },
        [&data](VOKesGen& ecu) { return ecu.FlashCode(data, 0x20000, 0x100, false, nullptr, 1, 0x100); });
}

// FlashCode reaches the block lookup, the erase and the map through the virtual table.
class OtherMapEcu : public VOKesGen {
  public:
    using VOKesGen::VOKesGen;
    uint8_t GetBlockNumber(uint64_t) override { return 0x42; }
    bool EraseCodeBlocks(uint8_t first, uint8_t last) override {
        erased.emplace_back(first, last);
        return true;
    }
    std::vector<std::pair<uint8_t, uint8_t>> erased;

  protected:
    bool InCodeBlockMap(uint64_t address) const override { return address >= 0x400000 && address < 0x500000; }
};

TEST(FlashCode, UsesTheClassesOwnLookupEraseAndMap) {
    Rig<OtherMapEcu> rig;
    rig.bus.expectAny(Answer::reply({0xFB, 0x00}));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.FlashCode(counting(0x100), 0x400000, 0x100, true, nullptr, 1, 0x100));
    EXPECT_EQ(rig.ecu.erased, (std::vector<std::pair<uint8_t, uint8_t>>{{0x42, 0x42}}));
    EXPECT_FALSE(rig.ecu.FlashCode(counting(0x100), 0x10000, 0x100, true, nullptr, 1, 0x100));
    EXPECT_EQ(rig.ecu.erased.size(), 1u);
    EXPECT_TRUE(rig.bus.done());
}

TEST(FlashData, ErasesTheUnitsThenWrites) {
    struct Case {
        std::string label;
        uint64_t address, length;
        uint32_t pageSize;
        Bytes erase;
    };
    const Case cases[] = {
        {"one unit", 0x14000000, 0x40, 0x40, {0xBB, 0x82, 0x00, 0x00, 0x00, 0x01, 0x00}},
        // A page ending inside a unit erases that unit as a whole.
        {"last unit partly used", 0x14000040, 0x50, 0x50, {0xBB, 0x82, 0x00, 0x01, 0x00, 0x03, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VOKesGen> rig;
        const Bytes data = counting(c.length);
        rig.bus.expect(c.erase, Answer::reply({0xFB}))
            .expect(packet(0x80, static_cast<uint32_t>(c.address), 1, data), Answer::reply({0xFB, 0x80}));
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.FlashData(data, c.address, c.length, nullptr, 1, c.pageSize));
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{50, 100, 100, 100}));
        EXPECT_EQ(out.error(), "");
        EXPECT_EQ(rig.bus.exchanges()[1].answerLength, 8u);
    }
}

// A length that ends inside a packet is written up to its end and no further: the last request
// carries the bytes left, in the pages they fill, however much data the caller hands over.
TEST(FlashData, WritesTheLengthAndNothingPastIt) {
    struct Request {
        uint32_t offset;
        uint8_t pages;
        size_t bytes;
    };
    struct Case {
        std::string label;
        uint64_t length;
        uint32_t pages, pageSize;
        Bytes erase;
        std::vector<Request> requests;
        std::vector<uint32_t> progress;
    };
    const Case cases[] = {
        {"one unit of a larger packet",
         0x40,
         1,
         0x800,
         {0xBB, 0x82, 0x00, 0x00, 0x00, 0x01, 0x00},
         {{0, 1, 0x40}},
         {50, 100, 100, 100}},
        {"whole pages left",
         0x500,
         2,
         0x100,
         {0xBB, 0x82, 0x00, 0x00, 0x00, 0x14, 0x00},
         {{0, 2, 0x200}, {0x200, 2, 0x200}, {0x400, 1, 0x100}},
         {50, 100, 40, 80, 100, 100}},
        {"part of a page left",
         0x250,
         2,
         0x100,
         {0xBB, 0x82, 0x00, 0x00, 0x00, 0x0A, 0x00},
         {{0, 2, 0x200}, {0x200, 1, 0x50}},
         {50, 100, 86, 100, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VOKesGen> rig;
        // More data than the length: what lies past it must not be sent.
        const Bytes data = counting(0x1000);
        rig.bus.expect(c.erase, Answer::reply({0xFB}));
        for (const Request& r : c.requests) {
            rig.bus.expect(packet(0x80, 0x14000000 + r.offset, r.pages, slice(data, r.offset, r.bytes)),
                           Answer::reply({0xFB, 0x80}));
        }
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.FlashData(data, 0x14000000, c.length, nullptr, c.pages, c.pageSize));
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(progressValues(out.normal()), c.progress);
        EXPECT_EQ(out.error(), "");
    }
}

TEST(FlashData, RefusedBeforeAnythingIsSent) {
    const Refusal cases[] = {
        {"zero pages", 0x14000000, 0x40, 0, 0x40, 0x40, "\nTrying to flash zero pages!\n"},
        {"more pages than a byte holds", 0x14000000, 0x4000, 256, 0x40, 0x4000,
         "Incorrect number of pages: 256\n"},
        {"zero page size", 0x14000000, 0x40, 1, 0, 0x40, "Incorrect page size: 0x0\n"},
        {"zero length", 0x14000000, 0, 1, 0x40, 0x40, "Incorrect data length: 0x0\n"},
        {"address inside a unit", 0x14000010, 0x40, 1, 0x40, 0x40, "Incorrect start Addr.: 0x14000010\n"},
        {"range ends beyond 2^32", 0xFFFFFFC0, 0x80, 1, 0x80, 0x80, "Incorrect data length: 0x80\n"},
        {"start beyond 2^32", 0x100000000, 0x40, 1, 0x40, 0x40, "Incorrect start Addr.: 0x100000000\n"},
        {"data shorter than the length", 0x14000000, 0x50, 1, 0x40, 0x4F,
         "Data shorter than the length: 0x4f\n"},
    };
    expectRefusedBeforeSending<VOKesGen>(cases, [](VOKesGen& ecu, const Refusal& c) {
        return ecu.FlashData(counting(c.dataSize), c.address, c.length, nullptr, c.pages, c.pageSize);
    });
}

TEST(FlashData, AFailedEraseEndsItWithoutWriting) {
    Rig<VOKesGen> rig;
    rig.bus.expect({0xBB, 0x82, 0x00, 0x00, 0x00, 0x01, 0x00}, Answer::none());
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.FlashData(counting(0x40), 0x14000000, 0x40, nullptr, 1, 0x40));
    EXPECT_TRUE(rig.bus.done());
}

TEST(FlashData, WriteRepliesAndTheirTexts) {
    const Bytes data = counting(0x40, 9);
    const Bytes erase = {0xBB, 0x82, 0x00, 0x00, 0x00, 0x01, 0x00};
    runTextCases(
        packet(0x80, 0x14000000, 1, data), 8,
        {
            {"positive", Answer::reply({0xFB, 0x00}), true, ""},
            {"positive but three bytes", Answer::reply({0xFB, 0x80, 0x00}), false,
             "\nInvalidResp(W_Data), Addr: 0x14000000, Response: 0XFB0X8000\n"},
            {"negative", Answer::negative(0xBB, 0x72), false,
             "\nW_Data,Addr: 0x14000000\n NRC(GeneralProgrammingFailure)\n"},
            {"short negative", Answer::reply({0x7F}), false, "\nW_Data,Addr: 0x14000000\n"},
            {"empty", Answer::empty(), false, "\nInvalidResp(W_Data), Addr: 0x14000000, Response: \n"},
            {"missing", Answer::none(), false, "\nNoResp(W_Data), Addr: 0x14000000, Response: \n"},
        },
        [&data](VOKesGen& ecu) { return ecu.FlashData(data, 0x14000000, 0x40, nullptr, 1, 0x40); },
        {{erase, Answer::reply({0xFB})}});
}

TEST(ReadCode, ReadsPacketByPacketIntoOut) {
    Rig<VOKesGen> rig;
    for (uint32_t offset = 0; offset < 0x1000; offset += 0x200) {
        rig.bus.expect(packet(0x71, 0x8000 + offset, 2),
                       Answer::reply(readReply(0x200, static_cast<uint8_t>(offset >> 9))));
    }
    Bytes out(0x1000, 0xEE);
    StreamCapture capture;
    EXPECT_TRUE(rig.ecu.ReadCode(out, 0x8000, 0x1000, nullptr, 2));
    EXPECT_TRUE(rig.bus.done());
    for (const Exchange& e : rig.bus.exchanges()) {
        EXPECT_EQ(e.answerLength, 0x202u);
    }
    for (uint32_t offset = 0; offset < 0x1000; offset += 0x200) {
        EXPECT_EQ(slice(out, offset, 0x200), counting(0x200, static_cast<uint8_t>(offset >> 9)));
    }
    EXPECT_EQ(progressValues(capture.normal()),
              (std::vector<uint32_t>{12, 25, 37, 50, 62, 75, 87, 100, 100}));
    const std::string head = "\r    Addr:  0x8000, Length: 0x1000\n\r    Read: ";
    EXPECT_EQ(capture.normal().substr(0, head.size()), head);
    EXPECT_EQ(capture.error(), "");
}

TEST(ReadCode, AFailureKeepsWhatWasReadBefore) {
    Rig<VOKesGen> rig;
    rig.bus.expect(packet(0x71, 0x8000, 1), Answer::reply(readReply(0x100, 1)))
        .expect(packet(0x71, 0x8100, 1), Answer::reply(readReply(0xFF, 1)));
    Bytes out(0x200, 0xEE);
    StreamCapture capture;
    EXPECT_FALSE(rig.ecu.ReadCode(out, 0x8000, 0x200, nullptr, 1));
    EXPECT_EQ(slice(out, 0, 0x100), counting(0x100, 1));
    EXPECT_EQ(slice(out, 0x100, 0x100), Bytes(0x100, 0xEE));
    EXPECT_EQ(capture.error(), "\nInvalidResp. (read), Addr: 0x8100\n");
}

const ReadRefusal kReadRefusals[] = {
    {"zero pages", 0x8000, 0x200, 0, 0x200, "Incorrect data length: 0x200\n"},
    {"zero length", 0x8000, 0, 1, 0x200, "Incorrect data length: 0x0\n"},
    {"length not a multiple of the packet", 0x8000, 0x300, 2, 0x300, "Incorrect data length: 0x300\n"},
    {"more pages than a byte holds", 0x8000, 0x10000, 256, 0x10000, "Incorrect number of pages: 256\n"},
    {"range ends beyond 2^32", 0xFFFFFF00, 0x200, 1, 0x200, "Incorrect data length: 0x200\n"},
    {"start beyond 2^32", 0x100000000, 0x100, 1, 0x100, "Incorrect start Addr.: 0x100000000\n"},
    {"out shorter than the length", 0x8000, 0x200, 1, 0x1FF,
     "Output buffer shorter than the length: 0x1ff\n"},
};

TEST(ReadCodeAndData, RefusedBeforeAnythingIsSent) {
    expectReadsRefusedBeforeSending<VOKesGen>(kReadRefusals);
}

TEST(ReadCode, RepliesAndTheirTexts) {
    runTextCases(packet(0x71, 0x30000, 1), 0x102,
                 {
                     {"positive", Answer::reply(readReply(0x100, 0)), true, ""},
                     {"negative", Answer::negative(0xBB, 0x31), false,
                      "R_Code, Addr: 0x30000 NRC(RequestOutOfRange)\n"},
                     {"short negative", Answer::reply({0x7F, 0xBB}), false, "R_Code, Addr: 0x30000"},
                     {"one byte short", Answer::reply(readReply(0xFF, 0)), false,
                      "\nInvalidResp. (read), Addr: 0x30000\n"},
                     {"one byte long", Answer::reply(readReply(0x101, 0)), false,
                      "\nInvalidResp. (read), Addr: 0x30000\n"},
                     {"empty", Answer::empty(), false, "\nInvalidResp. (read), Addr: 0x30000\n"},
                     {"missing", Answer::none(), false, "\nNoResp(R_Code), Addr: 0x30000\n"},
                 },
                 [](VOKesGen& ecu) {
                     Bytes out(0x100);
                     return ecu.ReadCode(out, 0x30000, 0x100, nullptr, 1);
                 });
}

TEST(ReadData, RepliesAndTheirTexts) {
    const std::string head = "\r    Addr:  0x30000, Length: 0x100\n\r    Read: ";
    runTextCases(packet(0x81, 0x30000, 1), 0x102,
                 {
                     {"positive", Answer::reply(readReply(0x100, 0)), true, ""},
                     {"negative", Answer::negative(0xBB, 0x31), false,
                      "\nR_Data, Addr: 0x30000\n NRC(RequestOutOfRange)", "", head + "\n"},
                     {"short negative", Answer::reply({0x7F, 0xBB}), false, "\nR_Data, Addr: 0x30000", "",
                      head + "\n"},
                     {"invalid", Answer::reply(readReply(0xFF, 0)), false,
                      "\nInvalidResp(R_Data), Addr: 0x30000\n", "", head},
                     {"empty", Answer::empty(), false, "\nInvalidResp(R_Data), Addr: 0x30000\n", "", head},
                     {"missing", Answer::none(), false, "\nNoResp(R_Data), Addr: 0x30000\n", "", head},
                 },
                 [](VOKesGen& ecu) {
                     Bytes out(0x100);
                     const bool ok = ecu.ReadData(out, 0x30000, 0x100, nullptr, 1);
                     if (ok) {
                         EXPECT_EQ(out, counting(0x100, 0));
                     }
                     return ok;
                 });
}

}  // namespace
}  // namespace ecutest
