// VODroGen: the code write with its erase of flashBlocks (or of the KES2 areas) from the last block
// down, the data write with its erase of 32-byte units, the reads, the RAM application and the raw
// commands.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>

#include "console/console.h"
#include "ecu/VODroGen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/ecu/PacketBytes.h"

namespace ecutest {
namespace {

Bytes eraseBlock(uint8_t b) {
    return {0xBB, 0x72, b, b, 0x00, 0x00, 0x00};
}

int writeMode = 0;

// A VODroGen whose closing of the progress bar shows in errorOut, so that a test sees it come before
// a message.
class BarMarkingDro : public VODroGen {
  public:
    using VODroGen::VODroGen;
    void ShowProgress(uint32_t percent, bool done) override {
        if (done) {
            errorOut << "[bar closed]";
        }
        VODroGen::ShowProgress(percent, done);
    }
};

// The rows with the closing of the progress bar ahead of each refusal's text.
template <typename Row, size_t N>
std::vector<Row> barClosedFirst(const Row (&rows)[N]) {
    std::vector<Row> marked(std::begin(rows), std::end(rows));
    for (Row& row : marked) {
        row.error = "[bar closed]" + row.error;
    }
    return marked;
}

// Scripts the erase of blocks (in the order given) and the writes of data from address in packets
// of pages x 256 bytes, all answered positively.
void scriptCodeWrite(ScriptedEcu& bus, const std::vector<uint8_t>& blocks, uint32_t address,
                     const Bytes& data, uint8_t pages) {
    for (const uint8_t b : blocks) {
        bus.expect(eraseBlock(b), Answer::reply({0xFB, 0x72}));
    }
    expectPacketWrites(bus, 0x70, address, data, size_t{pages} * 256, pages, Answer::reply({0xFB, 0x70}));
}

TEST(DroFlashCode, ErasesTheCoveredBlocksFromTheLastDown) {
    struct Case {
        std::string label;
        uint32_t address, length;
        uint8_t pages;
        std::vector<uint8_t> blocks;
    };
    const Case cases[] = {
        {"three small blocks", 0x74000, 0xC000, 0x40, {3, 2, 1}},
        {"block 0 alone", 0x70000, 0x4000, 0x40, {0}},
        // The rest of the last block is erased with it.
        {"end inside a block", 0x74000, 0x5000, 0x50, {2, 1}},
        {"last block", 0x160000, 0x20000, 0x80, {11}},
        {"whole table, down to block 0", 0x70000, 0x110000, 0x88, {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
        // The KES2 code flash lies below the table: block 0 is its boot area, blocks 1 to 3 its
        // application area, erased together.
        {"KES2 application area", 0x8000, 0x78000, 0x80, {3, 2, 1}},
        {"KES2 application's first page", 0x8000, 0x100, 0x01, {3, 2, 1}},
        {"KES2 whole image", 0, 0x80000, 0x80, {3, 2, 1, 0}},
        {"KES2 boot area alone", 0, 0x8000, 0x80, {0}},
        // The block the range begins in is erased whole: left unerased, the data would go onto flash
        // that is not erased.
        {"range inside a block it does not start", 0x75000, 0x3000, 0x30, {1}},
        {"range from inside a block into the next", 0x76000, 0x3000, 0x30, {2, 1}},
        {"KES2 range from inside the boot area", 0x100, 0x7F00, 0x7F, {0}},
        {"KES2 range from inside the application area", 0x9000, 0x100, 0x01, {3, 2, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VODroGen> rig;
        const Bytes data = counting(c.length);
        scriptCodeWrite(rig.bus, c.blocks, c.address, data, c.pages);
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.FlashCode(data, c.address, c.length, true, &writeMode, c.pages, 256));
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(out.error(), "");
        for (const Exchange& e : rig.bus.exchanges()) {
            EXPECT_EQ(e.answerLength, 8u);
        }
        const std::vector<uint32_t> progress = progressValues(out.normal());
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back(), 100u);
        // No address or length line.
        EXPECT_EQ(out.normal().find("Addr"), std::string::npos);
    }
}

TEST(DroFlashCode, ErasesEvenWhenEraseIsFalse) {
    Rig<VODroGen> rig;
    const Bytes data = counting(0x200);
    scriptCodeWrite(rig.bus, {0}, 0x70000, data, 2);
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.FlashCode(data, 0x70000, 0x200, false, &writeMode, 2, 256));
    EXPECT_TRUE(rig.bus.done());
    ASSERT_EQ(rig.bus.exchanges().size(), 2u);
    EXPECT_EQ(rig.bus.exchanges()[1].request.size(), 519u);
    EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{100, 100}));
}

// A length that is no whole number of packets: the whole packets, then the pages left in one
// shorter request, a last page that the range ends inside filled with FF; all after one erase.
TEST(DroFlashCode, ShorterLastRequest) {
    struct Case {
        std::string label;
        uint32_t length;
        uint8_t pages;
        // Page bytes of the requests, in order.
        std::vector<uint8_t> pageBytes;
    };
    const Case cases[] = {
        {"whole pages left", 0x300, 2, {2, 1}},
        {"a part of a page left", 0x310, 2, {2, 2}},
        {"less than one page", 0x80, 4, {1}},
        {"packets, then pages and a part", 0xA01, 4, {4, 4, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VODroGen> rig;
        const Bytes data = counting(c.length, 9);
        rig.bus.expect(eraseBlock(1), Answer::reply({0xFB, 0x72}));
        uint32_t offset = 0;
        for (const uint8_t pageByte : c.pageBytes) {
            const uint32_t taken = std::min<uint32_t>(pageByte * 256u, c.length - offset);
            Bytes bytes = slice(data, offset, taken);
            bytes.resize(pageByte * 256u, 0xFF);
            rig.bus.expect(packet(0x70, 0x74000 + offset, pageByte, bytes), Answer::reply({0xFB, 0x70}));
            offset += taken;
        }
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.FlashCode(data, 0x74000, c.length, true, &writeMode, c.pages, 256));
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(rig.bus.exchanges().size(), 1 + c.pageBytes.size());
        EXPECT_EQ(out.error(), "");
        EXPECT_EQ(progressValues(out.normal()).back(), 100u);
    }
}

TEST(DroFlashCode, RefusedBeforeAnythingIsSent) {
    const Refusal cases[] = {
        {"zero length", 0x70000, 0, 1, 256, 0, "Incorrect data length: 0x0\n"},
        {"zero pages", 0x70000, 0x100, 0, 256, 0x100, "Incorrect data length: 0x100\n"},
        {"zero page size", 0x70000, 0x100, 1, 0, 0x100, "Incorrect data length: 0x100\n"},
        {"start not page-aligned", 0x70080, 0x100, 1, 256, 0x100, "Incorrect start Addr.: 0x70080\n"},
        {"more pages than a byte holds", 0x70000, 0x10000, 256, 256, 0x10000,
         "Incorrect number of pages: 256\n"},
        // Each request carries pages x 256 bytes; another page size would read past the data.
        {"page size other than 256", 0x70000, 0x400, 1, 0x200, 0x400, "Incorrect page size: 0x200\n"},
        {"data shorter than the length", 0x70000, 0x200, 1, 256, 0x100,
         "Data shorter than the length: 0x100\n"},
        {"range ends beyond 2^32", 0xFFFFFF00, 0x200, 1, 256, 0x200, "Incorrect data length: 0x200\n"},
        {"start beyond 2^32", 0x100000000, 0x100, 1, 256, 0x100, "Incorrect start Addr.: 0x100000000\n"},
        // Outside the block table nothing would be erased where the data goes.
        {"end beyond the table", 0x160000, 0x20100, 1, 256, 0x20100, "Incorrect data length: 0x20100\n"},
        {"start beyond the table", 0x180000, 0x100, 1, 256, 0x100, "Incorrect start Addr.: 0x180000\n"},
        {"KES2 range past its code flash", 0x8000, 0x78100, 1, 256, 0x78100,
         "Incorrect data length: 0x78100\n"},
    };
    expectRefusedBeforeSending<BarMarkingDro>(barClosedFirst(cases), [](VODroGen& ecu, const Refusal& c) {
        return ecu.FlashCode(counting(c.dataSize), c.address, c.length, true, &writeMode, c.pages,
                             c.pageSize);
    });
}

TEST(DroFlashCode, NothingWithoutAWriteMode) {
    int off = -1;
    for (int* mode : {&off, static_cast<int*>(nullptr)}) {
        Rig<VODroGen> rig;
        StreamCapture out;
        EXPECT_FALSE(rig.ecu.FlashCode(counting(0x100), 0x70000, 0x100, true, mode, 1, 256));
        EXPECT_EQ(out.error() + out.normal(), "");
        EXPECT_TRUE(rig.bus.exchanges().empty());
    }
}

TEST(DroFlashCode, EraseRepliesAndTheirTexts) {
    runTextCases<VODroGen>(
        eraseBlock(0), 8,
        {
            {"negative", Answer::negative(0xBB, 0x72), false,
             "EraseCode, Block: 0x0 NRC(GeneralProgrammingFailure)", "", "\n"},
            {"short negative", Answer::reply({0x7F, 0xBB}), false, "EraseCode, Block: 0x0", "", "\n"},
            {"another service's reply", Answer::reply({0xFA, 0x00}), false,
             "NoResp. Erase CodeFlash-Error\n\nErasing failed (KO) !!!\n", "", "\n"},
            {"empty", Answer::empty(), false, "InvalidResp. (EraseCode), Block: 0x0", "", "\n"},
            {"missing", Answer::none(), false, "NoResp. Erase CodeFlash-Error\n\nErasing failed (KO) !!!\n",
             "", "\n"},
        },
        [](VODroGen& ecu) {
            return ecu.FlashCode(counting(0x4000), 0x70000, 0x4000, true, &writeMode, 0x40, 256);
        });
}

TEST(DroFlashCode, AFailedEraseEndsItWithoutWriting) {
    Rig<VODroGen> rig;
    rig.bus.expect(eraseBlock(3), Answer::reply({0xFB})).expect(eraseBlock(2), Answer::negative(0xBB, 0x22));
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.FlashCode(counting(0xC000), 0x74000, 0xC000, true, &writeMode, 0x40, 256));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(rig.bus.exchanges().size(), 2u);
    EXPECT_EQ(out.error(), "EraseCode, Block: 0x2 NRC(ConditiosNotCorrect)");
}

struct WriteCase {
    std::string label;
    Answer answer;
    bool result;
    std::string error;
    std::string normalTail;
};

TEST(DroFlashCode, WriteRepliesAndTheirTexts) {
    const Bytes data = counting(0x100, 4);
    const WriteCase cases[] = {
        {"positive", Answer::reply({0xFB, 0x00}), true, "", "\n"},
        {"positive but three bytes", Answer::reply({0xFB, 0x70, 0x00}), false,
         "InvalidResp(W_Code), Addr: 0x7c000\n", ""},
        {"negative", Answer::negative(0xBB, 0x72), false,
         "W_Code,Addr: 0x7c000 NRC(GeneralProgrammingFailure)", "\n"},
        {"short negative", Answer::reply({0x7F, 0xBB}), false, "W_Code,Addr: 0x7c000", "\n"},
        {"empty", Answer::empty(), false, "InvalidResp(W_Code), Addr: 0x7c000\n", ""},
        {"missing", Answer::none(), false, "NoResp(W_Code), Addr: 0x7c000\n", ""},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VODroGen> rig;
        rig.bus.expect(eraseBlock(3), Answer::reply({0xFB})).expect(packet(0x70, 0x7C000, 1, data), c.answer);
        StreamCapture out;
        EXPECT_EQ(rig.ecu.FlashCode(data, 0x7C000, 0x100, true, &writeMode, 1, 256), c.result);
        EXPECT_EQ(out.error(), c.error);
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(out.normal().substr(out.normal().size() - c.normalTail.size()), c.normalTail);
    }
}

TEST(DroFlashData, ErasesTheUnitsInOneRequestThenWrites) {
    struct Case {
        std::string label;
        uint32_t address, length;
        uint32_t pages, pageSize;
        Bytes erase;
    };
    const Case cases[] = {
        // Fourth and fifth bytes: the count of units, not the end unit.
        {"eight units from unit 8", 0x100, 0x100, 1, 0x100, {0xBB, 0x82, 0x00, 0x08, 0x00, 0x08, 0x00}},
        // A last page ending inside a unit erases that unit whole.
        {"last unit partly used", 0x120, 0x30, 3, 0x10, {0xBB, 0x82, 0x00, 0x09, 0x00, 0x02, 0x00}},
        {"two packets", 0x2000, 0x80, 1, 0x40, {0xBB, 0x82, 0x01, 0x00, 0x00, 0x04, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VODroGen> rig;
        const Bytes data = counting(c.length, 1);
        const size_t chunk = size_t{c.pages} * c.pageSize;
        rig.bus.expect(c.erase, Answer::reply({0xFB}));
        expectPacketWrites(rig.bus, 0x80, c.address, data, chunk, static_cast<uint8_t>(c.pages),
                           Answer::reply({0xFB, 0x80}));
        StreamCapture out;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(rig.ecu.FlashData(data, c.address, c.length, nullptr, c.pages, c.pageSize));
        // The write waits a second after the erase; only the lower bound is checked.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(out.error(), "");
        EXPECT_EQ(rig.bus.exchanges()[1].request.size(), 7 + chunk);
        EXPECT_EQ(progressValues(out.normal()).back(), 100u);
    }
}

// A length that is no whole number of packets: the whole packets, the pages left in one shorter
// request, then bytes below a page alone, so that nothing goes past the units erased.
TEST(DroFlashData, ShorterLastRequests) {
    struct Case {
        std::string label;
        uint32_t address, length;
        uint32_t pages;
        Bytes erase;
        // Page byte and length of each request, in order.
        std::vector<std::pair<uint8_t, uint32_t>> requests;
    };
    const Case cases[] = {
        {"whole pages left",
         0x100,
         0x300,
         2,
         {0xBB, 0x82, 0x00, 0x08, 0x00, 0x18, 0x00},
         {{2, 0x200}, {1, 0x100}}},
        {"pages and bytes left",
         0x100,
         0x310,
         2,
         {0xBB, 0x82, 0x00, 0x08, 0x00, 0x19, 0x00},
         {{2, 0x200}, {1, 0x100}, {0, 0x10}}},
        {"less than one page", 0, 0x21, 1, {0xBB, 0x82, 0x00, 0x00, 0x00, 0x02, 0x00}, {{0, 0x21}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VODroGen> rig;
        const Bytes data = counting(c.length, 3);
        rig.bus.expect(c.erase, Answer::reply({0xFB}));
        uint32_t offset = 0;
        for (const auto& [pageByte, n] : c.requests) {
            rig.bus.expect(packet(0x80, c.address + offset, pageByte, slice(data, offset, n)),
                           Answer::reply({0xFB, 0x80}));
            offset += n;
        }
        StreamCapture out;
        EXPECT_TRUE(rig.ecu.FlashData(data, c.address, c.length, nullptr, c.pages, 0x100));
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(rig.bus.exchanges().size(), 1 + c.requests.size());
        EXPECT_EQ(out.error(), "");
        EXPECT_EQ(progressValues(out.normal()).back(), 100u);
    }
}

TEST(DroFlashData, RefusedBeforeAnythingIsSent) {
    const Refusal cases[] = {
        {"start not page-aligned", 0x40, 0x100, 1, 0x100, 0x100, "Incorrect startAddr.: 0x40\n"},
        // Erase units are whole: the unit's first bytes would stay unerased.
        {"start inside a unit", 0x110, 0x10, 1, 0x10, 0x10, "Incorrect startAddr.: 0x110\n"},
        {"zero length", 0x100, 0, 1, 0x100, 0x100, "Incorrect data length: 0x0\n"},
        {"zero pages", 0x100, 0x100, 0, 0x100, 0x100, "Incorrect data length: 0x100\n"},
        {"zero page size", 0x100, 0x100, 1, 0, 0x100, "Incorrect data length: 0x100\n"},
        {"more pages than a byte holds", 0x100, 0x10000, 256, 0x100, 0x10000,
         "Incorrect number of pages: 256\n"},
        {"range ends beyond 2^32", 0xFFFFFF00, 0x200, 1, 0x100, 0x200, "Incorrect data length: 0x200\n"},
        {"start beyond 2^32", 0x100000000, 0x100, 1, 0x100, 0x100, "Incorrect startAddr.: 0x100000000\n"},
        {"data shorter than the length", 0x100, 0x200, 1, 0x100, 0x100,
         "Data shorter than the length: 0x100\n"},
        // The first unit and the count of the erase travel in 16 bits each.
        {"more units than the count holds", 0, 0x200020, 1, 0x100, 0x200020,
         "Incorrect data length: 0x200020\n"},
        {"first unit past 16 bits", 0x200000, 0x100, 1, 0x100, 0x100, "Incorrect startAddr.: 0x200000\n"},
    };
    expectRefusedBeforeSending<BarMarkingDro>(barClosedFirst(cases), [](VODroGen& ecu, const Refusal& c) {
        return ecu.FlashData(counting(c.dataSize), c.address, c.length, nullptr, c.pages, c.pageSize);
    });
}

TEST(DroFlashData, EraseRepliesAndTheirTexts) {
    runTextCases<VODroGen>(
        {0xBB, 0x82, 0x00, 0x08, 0x00, 0x08, 0x00}, 8,
        {
            {"negative", Answer::negative(0xBB, 0x31), false, "Erase,EepromUnit: 0x8 NRC(RequestOutOfRange)",
             "", "\n"},
            {"short negative", Answer::reply({0x7F, 0xBB}), false, "Erase,EepromUnit: 0x8", "", "\n"},
            {"another service's reply", Answer::reply({0xFA}), false,
             "NoResp. Erase DataFlash-Error\n\nErasing failed (KO) !!!\n\n", "", ""},
            {"empty", Answer::empty(), false, "InvalidResp(Erase), EepromUnit: 0x8\n", "", ""},
            {"missing", Answer::none(), false, "NoResp. Erase DataFlash-Error\n\nErasing failed (KO) !!!\n\n",
             "", ""},
        },
        [](VODroGen& ecu) { return ecu.FlashData(counting(0x100), 0x100, 0x100, nullptr, 1, 0x100); });
}

TEST(DroFlashData, WriteRepliesAndTheirTexts) {
    const Bytes data = counting(0x100, 2);
    const WriteCase cases[] = {
        {"positive", Answer::reply({0xFB, 0x00}), true, "", "\n"},
        {"positive but three bytes", Answer::reply({0xFB, 0x80, 0x00}), false,
         "InvalidResp(W_Data), Addr: 0x100", "\n"},
        {"negative", Answer::negative(0xBB, 0x72), false, "W_Data,Addr: 0x100 NRC(GeneralProgrammingFailure)",
         "\n"},
        {"short negative", Answer::reply({0x7F, 0xBB}), false, "W_Data,Addr: 0x100", "\n"},
        {"empty", Answer::empty(), false, "InvalidResp(W_Data), Addr: 0x100", "\n"},
        {"missing", Answer::none(), false, "NoResp(W_Data), Addr: 0x100", "\n"},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VODroGen> rig;
        rig.bus.expect({0xBB, 0x82, 0x00, 0x08, 0x00, 0x08, 0x00}, Answer::reply({0xFB}))
            .expect(packet(0x80, 0x100, 1, data), c.answer);
        StreamCapture out;
        EXPECT_EQ(rig.ecu.FlashData(data, 0x100, 0x100, nullptr, 1, 0x100), c.result);
        EXPECT_EQ(out.error(), c.error);
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(out.normal().back(), '\n');
    }
}

TEST(DroRead, CodeAndDataPacketsAskForTheWholeAnswer) {
    for (const bool dataFlash : {false, true}) {
        SCOPED_TRACE(dataFlash ? "data" : "code");
        Rig<VODroGen> rig;
        const uint8_t sub = dataFlash ? 0x81 : 0x71;
        for (uint32_t offset = 0; offset < 0x600; offset += 0x200) {
            rig.bus.expect(packet(sub, 0x80000 + offset, 2),
                           Answer::reply(readReply(0x200, static_cast<uint8_t>(offset >> 8))));
        }
        Bytes out(0x600, 0xEE);
        StreamCapture capture;
        EXPECT_TRUE(dataFlash ? rig.ecu.ReadData(out, 0x80000, 0x600, nullptr, 2)
                              : rig.ecu.ReadCode(out, 0x80000, 0x600, nullptr, 2));
        EXPECT_TRUE(rig.bus.done());
        for (const Exchange& e : rig.bus.exchanges()) {
            EXPECT_EQ(e.answerLength, 0x202u);
        }
        for (uint32_t offset = 0; offset < 0x600; offset += 0x200) {
            EXPECT_EQ(slice(out, offset, 0x200), counting(0x200, static_cast<uint8_t>(offset >> 8)));
        }
        EXPECT_EQ(progressValues(capture.normal()), (std::vector<uint32_t>{33, 66, 100, 100}));
        EXPECT_EQ(capture.normal().find("Addr"), std::string::npos);
        EXPECT_EQ(capture.error(), "");
    }
}

TEST(DroRead, RefusedBeforeAnythingIsSent) {
    const ReadRefusal cases[] = {
        {"length not a multiple of the packet", 0x80000, 0x300, 2, 0x300, "Incorrect data length: 0x300\n"},
        {"zero pages", 0x80000, 0x200, 0, 0x200, "Incorrect data length: 0x200\n"},
        {"zero length", 0x80000, 0, 1, 0, "Incorrect data length: 0x0\n"},
        {"more pages than a byte holds", 0x80000, 0x10000, 256, 0x10000, "Incorrect number of pages: 256\n"},
        {"range ends beyond 2^32", 0xFFFFFF00, 0x200, 1, 0x200, "Incorrect data length: 0x200\n"},
        {"start beyond 2^32", 0x100000000, 0x100, 1, 0x100, "Incorrect start Addr.: 0x100000000\n"},
        {"out shorter than the length", 0x80000, 0x200, 1, 0x1FF,
         "Output buffer shorter than the length: 0x1ff\n"},
    };
    expectReadsRefusedBeforeSending<BarMarkingDro>(barClosedFirst(cases));
}

TEST(DroReadCode, RepliesAndTheirTexts) {
    runTextCases<VODroGen>(
        packet(0x71, 0x90000, 1), 0x102,
        {
            {"positive", Answer::reply(readReply(0x100, 0)), true, ""},
            {"negative", Answer::negative(0xBB, 0x31), false,
             "R_Code, Addr: 0x90000 NRC(RequestOutOfRange)\n"},
            {"short negative", Answer::reply({0x7F, 0xBB}), false, "R_Code, Addr: 0x90000"},
            {"one byte short", Answer::reply(readReply(0xFF, 0)), false,
             "InvalidResp. (read), Addr: 0x90000\n"},
            {"empty", Answer::empty(), false, "InvalidResp. (read), Addr: 0x90000\n"},
            {"missing", Answer::none(), false, "NoResp(R_Code), Addr: 0x90000\n"},
        },
        [](VODroGen& ecu) {
            Bytes out(0x100);
            return ecu.ReadCode(out, 0x90000, 0x100, nullptr, 1);
        });
}

TEST(DroReadData, RepliesAndTheirTexts) {
    runTextCases<VODroGen>(
        packet(0x81, 0x90000, 1), 0x102,
        {
            {"positive", Answer::reply(readReply(0x100, 0)), true, ""},
            {"negative", Answer::negative(0xBB, 0x31), false, "R_Data, Addr: 0x90000 NRC(RequestOutOfRange)",
             "", "\n"},
            {"short negative", Answer::reply({0x7F, 0xBB}), false, "R_Data, Addr: 0x90000", "", "\n"},
            {"one byte long", Answer::reply(readReply(0x101, 0)), false,
             "InvalidResp(R_Data), Addr: 0x90000\n", "", ""},
            {"empty", Answer::empty(), false, "InvalidResp(R_Data), Addr: 0x90000\n", "", ""},
            {"missing", Answer::none(), false, "NoResp(R_Data), Addr: 0x90000\n", "", ""},
        },
        [](VODroGen& ecu) {
            Bytes out(0x100);
            return ecu.ReadData(out, 0x90000, 0x100, nullptr, 1);
        });
}

// "123456789" and four bytes the CRC does not cover; CRC-32 of the nine digits is 0xCBF43926.
Bytes ramImage() {
    Bytes image = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0xAA, 0xBB, 0xCC, 0xDD};
    return image;
}

const Bytes kCrcRequest = {0xBC, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09};

TEST(DroUploadApplRam, ChunksThenTheCrcRequest) {
    struct Case {
        std::string label;
        Answer crcAnswer;
        // Only a matching CRC answer shows the routine arrived intact.
        bool intact;
        std::string error;
        std::string success;
    };
    const Case cases[] = {
        {"crc matches", Answer::reply({0xFC, 0x26, 0x39, 0xF4, 0xCB}), true, "",
         "CRC check passed (0xCBF43926)"},
        {"crc differs", Answer::reply({0xFC, 0x00, 0x00, 0x00, 0x00}), false,
         "\nCrc mismatch (Expected: 0xCBF43926, Received: 0x0)", ""},
        {"short reply", Answer::reply({0xFC, 0x26}), false, "CRC check failed: invalid response: 0XFC0X26\n",
         ""},
        {"missing", Answer::none(), false, "\nRead RAM CRC: NoResp! ", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VODroGen> rig;
        const Bytes image = ramImage();
        rig.bus.expect(download(0x20000000, slice(image, 0, 5)), Answer::reply({0xFD}))
            .expect(download(0x20000005, slice(image, 5, 5)), Answer::reply({0xFD}))
            .expect(download(0x2000000A, slice(image, 10, 3)), Answer::reply({0xFD}))
            .expect(kCrcRequest, c.crcAnswer);
        StreamCapture out;
        EXPECT_EQ(rig.ecu.UploadApplRam(image, 0x20000000, 100, 5), c.intact);
        EXPECT_TRUE(rig.bus.done());
        EXPECT_EQ(out.error(), c.error);
        EXPECT_EQ(out.success(), c.success);
        EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{0, 38, 76, 100}));
        EXPECT_EQ(rig.bus.exchanges().back().answerLength, 8u);
    }
}

TEST(DroUploadApplRam, DefaultChunkOf512AndTheLengthClip) {
    Rig<VODroGen> rig;
    const Bytes image = counting(0x600);
    rig.bus.expect(download(0x1000, slice(image, 0, 512)), Answer::reply({0xFD}))
        .expect(download(0x1200, slice(image, 512, 512)), Answer::reply({0xFD}))
        .expect(download(0x1400, slice(image, 1024, 0x100)), Answer::reply({0xFD}))
        .expect({0xBC, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x04, 0xFC}, Answer::none());
    StreamCapture out;
    // Without a CRC answer the upload has failed.
    EXPECT_FALSE(rig.ecu.UploadApplRam(image, 0x1000, 0x500, 0));
    EXPECT_TRUE(rig.bus.done());
}

TEST(DroUploadApplRam, AFailedPieceStillSendsTheCrcRequest) {
    Rig<VODroGen> rig;
    const Bytes image = ramImage();
    rig.bus.expect(download(0x20000000, slice(image, 0, 5)), Answer::reply({0xFD}))
        .expect(download(0x20000005, slice(image, 5, 5)), Answer::negative(0xBD, 0x72))
        .expect(kCrcRequest, Answer::reply({0xFC, 0x26, 0x39, 0xF4, 0xCB}));
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.UploadApplRam(image, 0x20000000, 13, 5));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(out.error(), "\n\nSrv: 0xbd NRC: 0x72 (GeneralProgrammingFailure)\n");
    EXPECT_EQ(progressValues(out.normal()), (std::vector<uint32_t>{0}));
}

TEST(DroUploadApplRam, ImageShorterThanFourBytesRefused) {
    Rig<VODroGen> rig;
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.UploadApplRam(counting(10), 0x1000, 3, 0));
    EXPECT_EQ(out.error(), "RAM application too short (at least 4 bytes needed): 0x3\n");
    EXPECT_TRUE(rig.bus.exchanges().empty());
}

TEST(DroStartApplRam, RepliesAndTheirTexts) {
    const std::string noResponse = "Staring ApplRam failed (no response)! \n";
    runTextCases<VODroGen>(
        {0xBE, 0x01, 0x20, 0x00, 0x10, 0x00}, 8,
        {
            {"positive", Answer::reply({0xFE, 0x01}), true, "", "", "\n"},
            {"negative", Answer::negative(0xBE, 0x72), false,
             "Srv: 0xbe NRC: 0x72 (GeneralProgrammingFailure-Incorrect FileCRC found)\n", "", ""},
            {"short negative", Answer::reply({0x7F, 0xBE}), false,
             "Negative response or invalid response: 0X7F0XBE\n", "", ""},
            {"another service's reply", Answer::reply({0xFD}), false, noResponse, "", ""},
            {"empty", Answer::empty(), false, noResponse, "", ""},
            {"missing", Answer::none(), false, noResponse, "", ""},
        },
        [](VODroGen& ecu) { return ecu.StartApplRam(0x20001000); });
}

TEST(DroSendCommand, RepliesAndTheirTexts) {
    runTextCases<VODroGen>(
        {0x31, 0x01}, 5000,
        {
            {"positive", Answer::reply({0x71, 0x01}), true, "", "", "... succeeded.\n",
             "        Response: 2 bytes: 0X710X1\n"},
            {"negative", Answer::negative(0x31, 0x12), false, " Srv:0x31 NRC:0x12 (SubFuncNotSupported)\n"},
            {"short negative", Answer::reply({0x7F, 0x31}), false,
             "Negative response or invalid response: 0X7F0X31\n"},
            // A reply of another service is no answer: the wait for the command's runs out.
            {"another service's reply", Answer::reply({0x72, 0x01}), false,
             "Sending Command: No.Response! Service: 0x31\n"},
            {"empty", Answer::empty(), false, "Sending Command: No.Response! Service: 0x31\n"},
            {"missing", Answer::none(), false, "Sending Command: No.Response! Service: 0x31\n"},
        },
        [](VODroGen& ecu) {
            return ecu.SendCommand({0x31, 0x01});
        });
}

TEST(DroSendCommand, NoReplyIsPositiveToAServiceAbove0xBF) {
    runTextCases<VODroGen>({0xC0, 0x00}, 5000,
                           {{"low byte of C0 + 40", Answer::reply({0x00}), false,
                             "Sending Command: No.Response! Service: 0xc0\n"}},
                           [](VODroGen& ecu) {
                               return ecu.SendCommand({0xC0, 0x00});
                           });
}

TEST(DroSendCommand, EmptyRequestRefusedWithoutAnExchange) {
    Rig<VODroGen> rig;
    StreamCapture out;
    EXPECT_FALSE(rig.ecu.SendCommand({}));
    EXPECT_EQ(out.error(), "Sending Command: empty request, nothing sent\n");
    EXPECT_TRUE(rig.bus.exchanges().empty());
}

TEST(DroSendCommand, LengthInHexadecimalAfterAPassedCrcCheck) {
    Rig<VODroGen> rig;
    const Bytes image = ramImage();
    rig.bus.expect(download(0x20000000, image), Answer::reply({0xFD}))
        .expect(kCrcRequest, Answer::reply({0xFC, 0x26, 0x39, 0xF4, 0xCB}))
        .expect({0x31, 0x01}, Answer::reply(Bytes{0x71, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    StreamCapture out;
    EXPECT_TRUE(rig.ecu.UploadApplRam(image, 0x20000000, 13, 0));
    EXPECT_TRUE(rig.ecu.SendCommand({0x31, 0x01}));
    EXPECT_NE(out.success().find("        Response: C bytes: "), std::string::npos);
}

TEST(DroBlockServices, TheBaseDefaults) {
    Rig<VODroGen> rig;
    EXPECT_FALSE(rig.ecu.EraseCodeBlocks(0, 3));
    EXPECT_FALSE(rig.ecu.EraseDataBlocks(0, 3));
    EXPECT_EQ(rig.ecu.GetBlockNumber(0x74000), 0);
    EXPECT_TRUE(rig.bus.exchanges().empty());
}

}  // namespace
}  // namespace ecutest
