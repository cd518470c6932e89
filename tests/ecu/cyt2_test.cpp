// The reads of VOCyt2Gen: code in packets given in bytes, 500 ms apart, data with a zero page byte,
// both answered on a receive of 7 bytes.

#include <gtest/gtest.h>

#include <chrono>

#include "ecu/VOCyt2Gen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/ecu/PacketBytes.h"

namespace ecutest {
namespace {

TEST(Cyt2ReadCode, PacketsOfTheGivenBytesHalfASecondApart) {
    Rig<VOCyt2Gen> rig;
    for (uint32_t offset = 0; offset < 0x600; offset += 0x200) {
        rig.bus.expect(packet(0x71, 0x10000000 + offset, 2),
                       Answer::reply(readReply(0x200, static_cast<uint8_t>(offset >> 9))));
    }
    Bytes out(0x600, 0xEE);
    StreamCapture capture;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(rig.ecu.ReadCode(out, 0x10000000, 0x600, nullptr, 0x200));
    // Each request waits at least 500 ms first; only the lower bound is checked.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1450));
    EXPECT_TRUE(rig.bus.done());
    for (const Exchange& e : rig.bus.exchanges()) {
        EXPECT_EQ(e.answerLength, 0x202u);
    }
    for (uint32_t offset = 0; offset < 0x600; offset += 0x200) {
        EXPECT_EQ(slice(out, offset, 0x200), counting(0x200, static_cast<uint8_t>(offset >> 9)));
    }
    EXPECT_EQ(progressValues(capture.normal()), (std::vector<uint32_t>{33, 66, 100, 100}));
    const std::string head = "\r    Addr:  0x10000000, Length: 0x600\n\r    Read: ";
    EXPECT_EQ(capture.normal().substr(0, head.size()), head);
    EXPECT_EQ(capture.error(), "");
}

TEST(Cyt2ReadCode, ZeroLengthReadsNothing) {
    Rig<VOCyt2Gen> rig;
    Bytes out;
    StreamCapture capture;
    EXPECT_TRUE(rig.ecu.ReadCode(out, 0x10000000, 0, nullptr, 0x200));
    EXPECT_TRUE(rig.bus.exchanges().empty());
    EXPECT_EQ(progressValues(capture.normal()), (std::vector<uint32_t>{100}));
    EXPECT_EQ(capture.error(), "");
}

TEST(Cyt2ReadCode, RefusedBeforeAnythingIsSent) {
    struct Case {
        std::string label;
        uint64_t address, length;
        uint32_t packetBytes;
        size_t outSize;
        std::string error;
    };
    const Case cases[] = {
        {"packet not a multiple of 0x100", 0x10000000, 0x300, 0x180, 0x300,
         "invalid packet length provided. --pktlen should be multiple of 0x100."},
        // A packet of 0 bytes would never move the read on.
        {"packet of 0 bytes", 0x10000000, 0x300, 0, 0x300, "Incorrect number of pages: 0\n"},
        {"more pages than a byte holds", 0x10000000, 0x10000, 0x10000, 0x10000,
         "Incorrect number of pages: 256\n"},
        {"length not a multiple of 0x100", 0x10000000, 0x280, 0x100, 0x280,
         "invalid length provided. --codeLength should be multiple of 0x100."},
        {"length not a multiple of the packet", 0x10000000, 0x300, 0x200, 0x300,
         "Incorrect data length: 0x300 (not a multiple of the packet length 0x200)\n"},
        {"range ends beyond 2^32", 0xFFFFFF00, 0x200, 0x100, 0x200, "Incorrect data length: 0x200\n"},
        {"start beyond 2^32", 0x100000000, 0x100, 0x100, 0x100, "Incorrect start Addr.: 0x100000000\n"},
        {"out shorter than the length", 0x10000000, 0x200, 0x100, 0x1FF,
         "Output buffer shorter than the length: 0x1ff\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VOCyt2Gen> rig;
        Bytes out(c.outSize, 0xEE);
        StreamCapture capture;
        EXPECT_FALSE(rig.ecu.ReadCode(out, c.address, c.length, nullptr, c.packetBytes));
        EXPECT_EQ(capture.error(), c.error);
        EXPECT_EQ(out, Bytes(c.outSize, 0xEE));
        EXPECT_TRUE(rig.bus.exchanges().empty());
    }
}

TEST(Cyt2ReadCode, RepliesAndTheirTexts) {
    runTextCases<VOCyt2Gen>(
        packet(0x71, 0x10030000, 1), 0x102,
        {
            {"positive", Answer::reply(readReply(0x100, 0)), true, ""},
            {"negative", Answer::negative(0xBB, 0x31), false,
             "R_Code, Addr: 0x10030000 NRC(RequestOutOfRange)\n"},
            {"short negative", Answer::reply({0x7F, 0xBB}), false, "R_Code, Addr: 0x10030000"},
            {"one byte short", Answer::reply(readReply(0xFF, 0)), false,
             "\nInvalidResp. (read), Addr: 0x10030000\n"},
            {"empty", Answer::empty(), false, "\nInvalidResp. (read), Addr: 0x10030000\n"},
            {"missing", Answer::none(), false, "\nNoResp(R_Code), Addr: 0x10030000\n"},
        },
        [](VOCyt2Gen& ecu) {
            Bytes out(0x100);
            return ecu.ReadCode(out, 0x10030000, 0x100, nullptr, 0x100);
        });
}

TEST(Cyt2ReadData, ZeroPageByteAndTheWholeAnswerAskedFor) {
    Rig<VOCyt2Gen> rig;
    rig.bus.expect({0xBB, 0x81, 0x14, 0x00, 0x00, 0x00, 0x00}, Answer::reply(readReply(0x200, 7)))
        .expect({0xBB, 0x81, 0x14, 0x00, 0x02, 0x00, 0x00}, Answer::reply(readReply(0x200, 9)));
    Bytes out(0x400, 0xEE);
    StreamCapture capture;
    EXPECT_TRUE(rig.ecu.ReadData(out, 0x14000000, 0x400, nullptr, 2));
    EXPECT_TRUE(rig.bus.done());
    EXPECT_EQ(slice(out, 0, 0x200), counting(0x200, 7));
    EXPECT_EQ(slice(out, 0x200, 0x200), counting(0x200, 9));
    for (const Exchange& e : rig.bus.exchanges()) {
        EXPECT_EQ(e.answerLength, 0x202u);
    }
    EXPECT_EQ(capture.error(), "");
}

TEST(Cyt2ReadData, RepliesAndTheirTexts) {
    const std::string head = "\r    Addr:  0x14000000, Length: 0x200\n\r    Read: ";
    runTextCases<VOCyt2Gen>(
        {0xBB, 0x81, 0x14, 0x00, 0x00, 0x00, 0x00}, 0x202,
        {
            {"positive", Answer::reply(readReply(0x200, 0)), true, ""},
            {"one page only", Answer::reply(readReply(0x100, 0)), false,
             "\nInvalidResp(R_Data), Addr: 0x14000000\n", "", head},
            {"negative", Answer::negative(0xBB, 0x31), false,
             "\nR_Data, Addr: 0x14000000\n NRC(RequestOutOfRange)", "", head + "\n"},
            {"empty", Answer::empty(), false, "\nInvalidResp(R_Data), Addr: 0x14000000\n", "", head},
            {"missing", Answer::none(), false, "\nNoResp(R_Data), Addr: 0x14000000\n", "", head},
        },
        [](VOCyt2Gen& ecu) {
            Bytes out(0x200);
            return ecu.ReadData(out, 0x14000000, 0x200, nullptr, 2);
        });
}

TEST(Cyt2ReadData, RefusedBeforeAnythingIsSent) {
    struct Case {
        std::string label;
        uint64_t length;
        uint32_t pages;
        std::string error;
    };
    const Case cases[] = {
        {"zero pages", 0x200, 0, "Incorrect data length: 0x200\n"},
        {"zero length", 0, 1, "Incorrect data length: 0x0\n"},
        {"length not a multiple of the packet", 0x300, 2, "Incorrect data length: 0x300\n"},
        {"more pages than a byte holds", 0x10000, 256, "Incorrect number of pages: 256\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<VOCyt2Gen> rig;
        Bytes out(c.length);
        StreamCapture capture;
        EXPECT_FALSE(rig.ecu.ReadData(out, 0x14000000, c.length, nullptr, c.pages));
        EXPECT_EQ(capture.error(), c.error);
        EXPECT_TRUE(rig.bus.exchanges().empty());
    }
}

}  // namespace
}  // namespace ecutest
