// The single-frame protocols and the four frame codecs of the CAN transport.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "comm/ProtocolFiatFrames.h"
#include "comm/ProtocolSingleByteTailOnSend.h"
#include "comm/ProtocolSingleFrame.h"
#include "comm/ProtocolSingleFrame8byte.h"
#include "tests/support/bytes.h"
#include "tests/support/scripted_channel.h"

namespace {

using testing_support::bytes;
using testing_support::Bytes;
using testing_support::hex;
using testing_support::ScriptedChannel;

// ---- single-frame protocols

struct SingleSendCase {
    std::string label;
    std::shared_ptr<Protocol> protocol;
    std::string payload;
    std::string written;
};

void PrintTo(const SingleSendCase& c, std::ostream* os) {
    *os << c.label;
}

class SingleFrameSend : public ::testing::TestWithParam<SingleSendCase> {};

TEST_P(SingleFrameSend, WritesOneFrame) {
    const SingleSendCase& c = GetParam();
    ScriptedChannel channel;
    ASSERT_TRUE(c.protocol->send(&channel, 1, 2, bytes(c.payload)));
    ASSERT_EQ(channel.written().size(), 1u);
    EXPECT_EQ(hex(channel.written()[0].bytes), c.written);
    EXPECT_EQ(channel.written()[0].txId, 1u);
    EXPECT_EQ(channel.written()[0].rxId, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, SingleFrameSend,
    ::testing::Values(
        SingleSendCase{"PlainEmpty", std::make_shared<ProtocolSingleFrame>(), "", ""},
        SingleSendCase{"Plain", std::make_shared<ProtocolSingleFrame>(), "01 02", "01 02"},
        SingleSendCase{"LineFeedTail", std::make_shared<ProtocolSingleByteTailOnSend_LF>(), "41 42",
                       "41 42 0A"},
        SingleSendCase{"ZeroTail", std::make_shared<ProtocolSingleByteTailOnSend>(), "41 42", "41 42 00"},
        SingleSendCase{"LineFeedEmpty", std::make_shared<ProtocolSingleByteTailOnSend_LF>(), "", ""},
        SingleSendCase{"ZeroTailEmpty", std::make_shared<ProtocolSingleByteTailOnSend>(), "", ""}),
    [](const auto& info) { return info.param.label; });

TEST(SingleFrameProtocols, Names) {
    EXPECT_EQ(ProtocolSingleFrame().name(), "PROTOCOL_SingleFrame");
    EXPECT_EQ(ProtocolSingleByteTailOnSend().name(), "PROTOCOL_ProtocolSingleByteTailOnSend");
    EXPECT_EQ(ProtocolSingleByteTailOnSend_LF().name(), "PROTOCOL_ProtocolSingleByteTailOnSend_LF");
    EXPECT_EQ(ProtocolSingleFrame8byte(0, 0).name(), "PROTOCOL_SingleFrame");
    EXPECT_EQ(ProtocolFiatCF(bytes("43 21")).name(), "PROTOCOL_SingleFrame");
}

TEST(SingleFrameProtocols, TailEncodeOfAnEmptyPayloadFailsAndLeavesTheFrameEmpty) {
    ProtocolSingleByteTailOnSend_LF lf;
    Bytes frame = bytes("01 02");
    EXPECT_FALSE(lf.encode(frame, {}));
    EXPECT_TRUE(frame.empty());
}

TEST(SingleFrameProtocols, FailedWriteIsAFailedSend) {
    ScriptedChannel channel;
    channel.failWrite(0);
    EXPECT_FALSE(ProtocolSingleFrame().send(&channel, 0, 0, bytes("01")));
}

struct SingleReceiveCase {
    std::string label;
    std::shared_ptr<Protocol> protocol;
    std::string frame;  // "-": the read fails
    bool result;
    std::string out;
};

void PrintTo(const SingleReceiveCase& c, std::ostream* os) {
    *os << c.label;
}

class SingleFrameReceive : public ::testing::TestWithParam<SingleReceiveCase> {};

TEST_P(SingleFrameReceive, TakesTheFrameWhole) {
    const SingleReceiveCase& c = GetParam();
    ScriptedChannel channel;
    if (c.frame == "-") {
        channel.missing();
    } else {
        channel.reply(bytes(c.frame));
    }
    Bytes out = bytes("EE");
    EXPECT_EQ(c.protocol->receive(&channel, 1, 2, out, 100), c.result);
    EXPECT_EQ(hex(out), c.out);
    ASSERT_EQ(channel.calls().size(), 1u);
    EXPECT_EQ(channel.calls()[0].count, 100u);
    EXPECT_EQ(channel.calls()[0].rxId, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, SingleFrameReceive,
    ::testing::Values(
        SingleReceiveCase{"Plain", std::make_shared<ProtocolSingleFrame>(), "41 42 0A", true, "41 42 0A"},
        // No tail is removed on receiving.
        SingleReceiveCase{"LineFeed", std::make_shared<ProtocolSingleByteTailOnSend_LF>(), "41 42 0A", true,
                          "41 42 0A"},
        SingleReceiveCase{"EmptyFrameLeavesTheOutput", std::make_shared<ProtocolSingleFrame>(), "", true,
                          "EE"},
        SingleReceiveCase{"ReadFails", std::make_shared<ProtocolSingleFrame>(), "-", false, "EE"}),
    [](const auto& info) { return info.param.label; });

// A protocol whose validate counts its calls.
class CountingProtocol : public ProtocolSingleFrame {
  public:
    bool validate() override {
        ++calls;
        return calls == 1;
    }
    int calls = 0;
};

TEST(Protocol, IsValidRunsValidateOnce) {
    CountingProtocol p;
    EXPECT_TRUE(p.isValid());
    EXPECT_TRUE(p.isValid());
    EXPECT_TRUE(p.isValid());
    EXPECT_EQ(p.calls, 1);
}

TEST(Protocol, AddressCanBeReplaced) {
    ProtocolSingleFrame p(0x1234, 0);
    EXPECT_EQ(p.getAddress(), 0x1234u);
    p.setAddress(0x73);
    EXPECT_EQ(p.getAddress(), 0x73u);
}

TEST(ProtocolSingleFrame8byte, HoldsEightZeroBytesAndDecodesThemWhole) {
    ProtocolSingleFrame8byte p(0, 0);
    EXPECT_EQ(hex(p.getFrame()), "00 00 00 00 00 00 00 00");
    p.getFrame()[7] = 0x42;
    Bytes payload;
    EXPECT_TRUE(p.decode(payload, bytes("01")));  // the argument is not used
    EXPECT_EQ(hex(payload), "00 00 00 00 00 00 00 42");
}

// ---- the four frame codecs

TEST(FiatFrameCodecs, EncodingConstructors) {
    EXPECT_EQ(hex(ProtocolFiatSF(0x43, 3, bytes("0A 0B 0C")).getFrame()), "43 03 0A 0B 0C 00 00 00");
    EXPECT_EQ(hex(ProtocolFiatSF(0x43, 6, bytes("01 02 03 04 05 06")).getFrame()), "43 06 01 02 03 04 05 06");
    EXPECT_EQ(hex(ProtocolFiatFF(0x43, 4095, bytes("01 02 03 04 05")).getFrame()), "43 1F FF 01 02 03 04 05");
    EXPECT_EQ(hex(ProtocolFiatFF(0x73, 7, bytes("01 02")).getFrame()), "73 10 07 01 02 00 00 00");
    EXPECT_EQ(hex(ProtocolFiatCF(0x43, 0x13, bytes("01 02 03 04 05 06")).getFrame()),
              "43 23 01 02 03 04 05 06");
    EXPECT_EQ(ProtocolFiatCF(0x43, 0x13, {}).getSequenceNumber(), 3);
    EXPECT_EQ(hex(ProtocolFiatFC(0x43, 0xFF, 0x00).getFrame()), "43 30 FF 00 00 00 00 00");
    EXPECT_EQ(hex(ProtocolFiatFC(0x43, 0x02, 0x14).getFrame()), "43 30 02 14 00 00 00 00");
}

TEST(FiatFrameCodecs, RefusedEncodingsLeaveTheFrameAsItWas) {
    const std::string zeros = "00 00 00 00 00 00 00 00";
    EXPECT_EQ(hex(ProtocolFiatSF(0x43, 7, bytes("01 02 03 04 05 06 07")).getFrame()), zeros);
    // A length that does not match the payload would copy bytes that are not there.
    EXPECT_EQ(hex(ProtocolFiatSF(0x43, 5, bytes("01 02")).getFrame()), zeros);
    EXPECT_EQ(hex(ProtocolFiatFF(0x43, 20, bytes("01 02 03 04 05 06")).getFrame()), zeros);
    // A length above 12 bits would spill into the type nibble.
    EXPECT_EQ(hex(ProtocolFiatFF(0x43, 0x1000, bytes("01")).getFrame()), zeros);
    EXPECT_EQ(hex(ProtocolFiatCF(0x43, 1, bytes("01 02 03 04 05 06 07")).getFrame()), zeros);

    ProtocolFiatSF sf(0x43, 2, bytes("01 02"));
    Bytes unused;
    EXPECT_FALSE(sf.encode(unused, bytes("01 02 03")));
    EXPECT_EQ(hex(sf.getFrame()), "43 02 01 02 00 00 00 00");
}

struct ParseCase {
    std::string label;
    std::string received;
    std::string sf, ff, cf, fc;  // the held frame of each parser
    bool sfValid, ffValid, cfValid, fcValid;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.label;
}

class FiatFrameParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FiatFrameParse, HeldFrameAndRecognition) {
    const ParseCase& c = GetParam();
    const Bytes received = bytes(c.received);
    ProtocolFiatSF sf(received);
    ProtocolFiatFF ff(received);
    ProtocolFiatCF cf(received);
    ProtocolFiatFC fc(received);
    EXPECT_EQ(hex(sf.getFrame()), c.sf);
    EXPECT_EQ(hex(ff.getFrame()), c.ff);
    EXPECT_EQ(hex(cf.getFrame()), c.cf);
    EXPECT_EQ(hex(fc.getFrame()), c.fc);
    EXPECT_EQ(sf.isValid(), c.sfValid);
    EXPECT_EQ(ff.isValid(), c.ffValid);
    EXPECT_EQ(cf.isValid(), c.cfValid);
    EXPECT_EQ(fc.isValid(), c.fcValid);
}

const std::string kZeros = "00 00 00 00 00 00 00 00";

INSTANTIATE_TEST_SUITE_P(
    Frames, FiatFrameParse,
    ::testing::Values(
        ParseCase{"Single", "43 03 0A 0B 0C 00 00 00", "43 03 0A 0B 0C 00 00 00", "43 03 0A 0B 0C 00 00 00",
                  "43 03 0A 0B 0C 00 00 00", "43 03 0A 0B 0C 00 00 00", true, false, false, false},
        ParseCase{"FlowControl", "43 30 02 14", "43 30 02 14 00 00 00 00", "43 30 02 14 00 00 00 00",
                  "43 30 02 14 00 00 00 00", "43 30 02 14 00 00 00 00", false, false, false, true},
        ParseCase{"NotAFlowControl", "43 31 02 14", "43 31 02 14 00 00 00 00", "43 31 02 14 00 00 00 00",
                  "43 31 02 14 00 00 00 00", "43 31 02 14 00 00 00 00", false, false, false, false},
        // Longer than a frame: only the first-frame parser copies (its first 8 bytes).
        ParseCase{"NineBytes", "43 21 01 02 03 04 05 06 07", kZeros, "43 21 01 02 03 04 05 06", kZeros,
                  kZeros, true, false, false, false},
        ParseCase{"Empty", "", kZeros, kZeros, kZeros, kZeros, true, false, false, false}),
    [](const auto& info) { return info.param.label; });

TEST(FiatFrameCodecs, ParsedFields) {
    const ProtocolFiatSF sf(bytes("43 0F 01"));
    EXPECT_EQ(sf.getLength(), 7);  // length byte 1 AND 0x07
    EXPECT_EQ(ProtocolFiatFF(bytes("43 1A BC")).getLength(), 0xABC);
    EXPECT_EQ(ProtocolFiatCF(bytes("43 2E")).getSequenceNumber(), 0x0E);
    const ProtocolFiatFC fc(bytes("43 30 08 19"));
    EXPECT_EQ(fc.getBlockSize(), 8);
    EXPECT_EQ(fc.getStMin(), 0x19);
    EXPECT_EQ(ProtocolFiatFC(bytes("77 30")).getAddress(), 0x77u);
}

struct DecodeCase {
    std::string label;
    std::string received;
    std::string sf, ff, cf;  // "-": decode fails
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.label;
}

class FiatFrameDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(FiatFrameDecode, YieldsTheDataBytes) {
    const DecodeCase& c = GetParam();
    const Bytes received = bytes(c.received);
    const auto decoded = [](ProtocolSingleFrame8byte&& codec) {
        Bytes out = bytes("EE");
        return codec.decode(out, {}) ? hex(out) : "-";
    };
    EXPECT_EQ(decoded(ProtocolFiatSF(received)), c.sf);
    EXPECT_EQ(decoded(ProtocolFiatFF(received)), c.ff);
    EXPECT_EQ(decoded(ProtocolFiatCF(received)), c.cf);
}

INSTANTIATE_TEST_SUITE_P(Frames, FiatFrameDecode,
                         ::testing::Values(DecodeCase{"SingleOfThree", "43 03 0A 0B 0C 00 00 00", "0A 0B 0C",
                                                      "0B 0C 00 00 00", "0A 0B 0C 00 00 00"},
                                           DecodeCase{"FirstFrame", "43 10 0D 01 02 03 04 05", "-",
                                                      "01 02 03 04 05", "0D 01 02 03 04 05"},
                                           // A length of 7 would make the tail wrap: nothing is decoded.
                                           DecodeCase{"LengthSeven", "43 07 01 02 03 04 05 06", "-",
                                                      "02 03 04 05 06", "01 02 03 04 05 06"},
                                           DecodeCase{"LengthZero", "43 00 01 02 03 04 05 06", "-",
                                                      "02 03 04 05 06", "01 02 03 04 05 06"}),
                         [](const auto& info) { return info.param.label; });

}  // namespace
