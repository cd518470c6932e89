// The LIN transport against a scripted ECU, call by call: the identifiers of its header requests and of
// the flow-control reads, the fixed waits around them, and the 1000 ms over which a reception is tried
// again.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "comm/ProtocolFiatTP_LIN.h"
#include "tests/support/bytes.h"
#include "tests/support/scripted_channel.h"

namespace {

using testing_support::bytes;
using testing_support::Bytes;
using testing_support::ChannelCall;
using testing_support::hex;
using testing_support::ScriptedChannel;
using Clock = std::chrono::steady_clock;
using Kind = ChannelCall::Kind;

// The caller's identifiers, kept apart from the header identifier 0x3D so that a mix-up shows.
constexpr uint32_t kTx = 0x21;
constexpr uint32_t kRx = 0x22;
constexpr uint32_t kHeaderId = 0x3D;
constexpr uint8_t kAddress = 0x73;

struct LinTransport {
    explicit LinTransport(uint32_t rxTimeoutMs = ScriptedChannel::kDefaultRxTimeoutMs)
        : channel(rxTimeoutMs), tp(kAddress) {
        tp.setStandardized(true);
    }

    bool send(const Bytes& payload) { return tp.send(&channel, kTx, kRx, payload); }
    bool receive(Bytes& out) { return tp.receive(&channel, kTx, kRx, out, 8); }

    ScriptedChannel channel;
    ProtocolFiatTP_LIN tp;
};

// Added to every upper bound: a loaded machine wakes late, a 20 ms wait by well over 100 ms. The
// behaviours the bounds tell apart lie further out: a read that waits out a receive time-out of
// 1000 ms though the frame is there, one more attempt after the second, a third receive time-out of
// 1000 ms, and three consecutive frames paced by the ECU's STmin of 255 ms instead of 8 ms.
constexpr long long kLateWakeMs = 250;

long long msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// One expected channel call, and the span between the end of the call before it (or the start of the
// operation) and its own end.
struct Row {
    Kind kind;
    uint32_t txId;
    uint32_t rxId;
    std::string bytes;  // written, or delivered by a read
    uint32_t count;     // bytes a read asks for
    long long minMs;
    long long maxMs;
};

Row header(long long minMs, long long maxMs) {
    return {Kind::Write, kHeaderId, 0, "", 0, minMs, maxMs};
}
Row frameWrite(const std::string& frame, long long minMs = 0, long long maxMs = 20) {
    return {Kind::Write, kTx, kRx, frame, 0, minMs, maxMs};
}
// The ECU's flow control, fetched 20 ms after its header.
Row flowControlRead(const std::string& firstFourBytes) {
    return {Kind::Read, 0, kHeaderId, firstFourBytes, 4, 20, 40};
}
Row flushRow() {
    return {Kind::Flush, 0, kRx, "", 0, 0, 20};
}

void expectRows(const std::vector<ChannelCall>& calls, const std::vector<Row>& rows,
                Clock::time_point start) {
    ASSERT_EQ(calls.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        const ChannelCall& call = calls[i];
        const Row& row = rows[i];
        EXPECT_EQ(call.kind, row.kind);
        EXPECT_EQ(call.rxId, row.rxId);
        if (call.kind != Kind::Flush) {
            EXPECT_EQ(call.txId, row.txId);
            EXPECT_EQ(hex(call.bytes), row.bytes);
        }
        if (call.kind == Kind::Read) {
            EXPECT_EQ(call.count, row.count);
        }
        const long long span = msBetween(i == 0 ? start : calls[i - 1].at, call.at);
        EXPECT_GE(span, row.minMs);
        EXPECT_LT(span, row.maxMs + kLateWakeMs);
    }
}

TEST(LinTransportSend, SingleFrameGoesOutWithoutHeader) {
    LinTransport t;
    const auto start = Clock::now();
    EXPECT_TRUE(t.send(bytes("01 02 03")));
    expectRows(t.channel.calls(), {frameWrite("73 03 01 02 03 00 00 00")}, start);
}

struct SendCase {
    std::string label;
    std::vector<std::string> flowControls;
    std::vector<Row> rows;
};

void PrintTo(const SendCase& c, std::ostream* os) {
    *os << c.label;
}

class LinTransportSend : public ::testing::TestWithParam<SendCase> {};

// 20 bytes: a first frame and three consecutive frames. Each flow control is fetched with a header,
// 20 ms before its read; every consecutive frame follows 8 ms after the call before it, whatever STmin
// the ECU asks for.
TEST_P(LinTransportSend, FetchesEachFlowControlWithAHeader) {
    const SendCase& c = GetParam();
    LinTransport t;
    for (const std::string& fc : c.flowControls) {
        t.channel.frame(bytes(fc));
    }
    const auto start = Clock::now();
    EXPECT_TRUE(t.send(testing_support::counting(20, 0xA0)));
    expectRows(t.channel.calls(), c.rows, start);
    // Together the three consecutive frames took their 8 ms waits, not the ECU's STmin nor a longer pace;
    // each of the three waits may wake late.
    const std::vector<ChannelCall>& calls = t.channel.calls();
    long long framesMs = 0;
    for (size_t i = 1; i < calls.size() && i < c.rows.size(); ++i) {
        if (c.rows[i].minMs == 8) {
            framesMs += msBetween(calls[i - 1].at, calls[i].at);
        }
    }
    EXPECT_LT(framesMs, 3 * 8 + 2 * kLateWakeMs);
}

const std::string kFirstFrame = "73 10 14 A0 A1 A2 A3 A4";
const std::string kCf1 = "73 21 A5 A6 A7 A8 A9 AA";
const std::string kCf2 = "73 22 AB AC AD AE AF B0";
const std::string kCf3 = "73 23 B1 B2 B3 00 00 00";

INSTANTIATE_TEST_SUITE_P(
    Blocks, LinTransportSend,
    ::testing::Values(SendCase{"NoLimit",
                               {"73 30 00 FF 00 00 00 00"},
                               {frameWrite(kFirstFrame), header(0, 20), flowControlRead("73 30 00 FF"),
                                flushRow(), frameWrite(kCf1, 8, 28), frameWrite(kCf2, 8, 28),
                                frameWrite(kCf3, 8, 28)}},
                      SendCase{"BlocksOfTwo",
                               {"73 30 02 00 00 00 00 00", "73 30 02 00 00 00 00 00"},
                               {frameWrite(kFirstFrame), header(0, 20), flowControlRead("73 30 02 00"),
                                flushRow(), frameWrite(kCf1, 8, 28), frameWrite(kCf2, 8, 28), header(0, 20),
                                flowControlRead("73 30 02 00"), flushRow(), frameWrite(kCf3, 8, 28)}}),
    [](const auto& info) { return info.param.label; });

TEST(LinTransportReceive, SingleFrameReplyAfterOneHeader) {
    LinTransport t(1000);
    t.channel.frame(bytes("73 03 50 01 02 00 00 00"));
    Bytes out;
    const auto start = Clock::now();
    EXPECT_TRUE(t.receive(out));
    EXPECT_EQ(hex(out), "50 01 02");
    expectRows(t.channel.calls(),
               {header(20, 40), {Kind::Read, kTx, kRx, "73 03 50 01 02 00 00 00", 8, 20, 40}}, start);
}

// Attempts of a header, 20 ms, and a read that waits out its receive time-out follow each other until
// the 1000 ms that started after the first 20 ms wait, just before the first header, are over; the
// last one starts before that. Attempts of 470 ms end at 470 and 940 ms after the first header, so
// that a fourth, wrongly started after the 1000 ms, would begin at 1410 ms.
TEST(LinTransportReceive, NoReplyIsAskedForDuringOneSecond) {
    constexpr uint32_t kRxTimeoutMs = 450;
    LinTransport t(kRxTimeoutMs);
    Bytes out;
    const auto start = Clock::now();
    EXPECT_FALSE(t.receive(out));
    const auto end = Clock::now();
    const std::vector<ChannelCall>& calls = t.channel.calls();
    ASSERT_GE(calls.size(), 2u);
    ASSERT_EQ(calls.size() % 2, 0u);
    const long long attemptMs = 20 + kRxTimeoutMs;
    std::vector<Row> rows = {header(20, 40), {Kind::Read, kTx, kRx, "", 8, attemptMs, attemptMs + 50}};
    for (size_t i = 2; i < calls.size(); i += 2) {
        rows.push_back(header(0, 20));
        rows.push_back(rows[1]);
    }
    expectRows(calls, rows, start);
    EXPECT_GE(msBetween(start, end), 1020);
    EXPECT_LT(msBetween(calls[0].at, calls[calls.size() - 2].at), 1000 + kLateWakeMs);
}

TEST(LinTransportReceive, AttemptThatOutlastsTheSecondStillSucceeds) {
    LinTransport t(600);
    t.channel.missing().late(bytes("73 02 FA 00 00 00 00 00"), 500);
    Bytes out;
    const auto start = Clock::now();
    EXPECT_TRUE(t.receive(out));
    EXPECT_EQ(hex(out), "FA 00");
    EXPECT_EQ(t.channel.trace(), "WrWR");
    EXPECT_GE(msBetween(start, Clock::now()), 1100);
}

// A multi-frame reply: after the flow control each consecutive frame is fetched with a header of its
// own, 8 ms after the call before it, and read at once.
TEST(LinTransportReceive, MultiFrameReplyIsFetchedFrameByFrame) {
    LinTransport t(1000);
    t.channel.frame(bytes("73 10 0D FB 71 01 02 03"))
        .frame(bytes("73 21 04 05 06 07 08 09"))
        .frame(bytes("73 22 0A 0B 00 00 00 00"));
    Bytes out;
    const auto start = Clock::now();
    EXPECT_TRUE(t.receive(out));
    EXPECT_EQ(hex(out), "FB 71 01 02 03 04 05 06 07 08 09 0A 0B");
    expectRows(t.channel.calls(),
               {header(20, 40),
                {Kind::Read, kTx, kRx, "73 10 0D FB 71 01 02 03", 8, 20, 40},
                frameWrite("73 30 FF 00 00 00 00 00"),
                header(8, 28),
                {Kind::Read, kTx, kRx, "73 21 04 05 06 07 08 09", 8, 0, 20},
                header(8, 28),
                {Kind::Read, kTx, kRx, "73 22 0A 0B 00 00 00 00", 8, 0, 20}},
               start);
}

// A header that gets the flow control a slave keeps armed while its next frame is not ready, or
// nothing for 50 ms, is followed by another one; neither counts as a frame of the reply.
TEST(LinTransportReceive, HeaderWithoutTheNextFrameIsSentAgain) {
    LinTransport t(1000);
    t.channel.frame(bytes("73 10 08 FB 71 01 02 03"))
        .frame(bytes("73 30 00 00 00 00 00 00"))
        .late(bytes("73 21 04 05 06 00 00 00"), 150);
    Bytes out;
    EXPECT_TRUE(t.receive(out));
    EXPECT_EQ(hex(out), "FB 71 01 02 03 04 05 06");
    // The late frame comes after the third header's read has begun, 50 ms each: the reads before it
    // fail and the headers go on.
    const std::string trace = t.channel.trace();
    EXPECT_EQ(trace.substr(0, 5), "WRWWR") << trace;
    EXPECT_EQ(trace.back(), 'R') << trace;
    EXPECT_NE(trace.find("Wr"), std::string::npos) << trace;
}

// A reply whose consecutive frames do not come: headers ask for each within the receive time-out, and
// the attempt gives up at the second time-out in a row that brought nothing, not after one receive
// time-out per frame announced (43 here); the 1000 ms are over by then.
TEST(LinTransportReceive, MultiFrameReplyEndsAfterTwoReceiveTimeOuts) {
    LinTransport t(1000);
    t.channel.frame(bytes("73 11 02 FB 01 02 03 04"));
    Bytes out;
    const auto start = Clock::now();
    EXPECT_FALSE(t.receive(out));
    const long long elapsed = msBetween(start, Clock::now());
    const std::vector<ChannelCall>& calls = t.channel.calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(t.channel.trace().substr(0, 3), "WRW");
    EXPECT_EQ(hex(calls[2].bytes), "73 30 FF 00 00 00 00 00");
    // Then only headers and reads that bring nothing, in pairs.
    for (size_t i = 3; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].kind, i % 2 == 1 ? Kind::Write : Kind::Read) << i;
        EXPECT_FALSE(calls[i].kind == Kind::Read && calls[i].ok) << i;
    }
    EXPECT_GE(elapsed, 40 + 2 * 1000);
    EXPECT_LT(elapsed, 40 + 2 * 1000 + 2 * kLateWakeMs);
}

// A single frame where a consecutive frame is due begins a new message: the reply it broke off is
// lost, and the single frame, fetched already, is judged without another header.
TEST(LinTransportReceive, SingleFrameWhereAConsecutiveFrameIsDueIsANewMessage) {
    LinTransport t(1000);
    t.channel.frame(bytes("73 10 0D FB 71 01 02 03")).frame(bytes("73 02 FA 00 00 00 00 00"));
    Bytes out;
    EXPECT_TRUE(t.receive(out));
    EXPECT_EQ(hex(out), "FA 00");
    EXPECT_EQ(t.channel.trace(), "WRWWR");
}

// ---- frames and messages of other requests

// A frame that is not the flow control, such as a reply that came after its time-out, is dropped, and
// the next header fetches the ECU's next frame. The scripted channel hands out the four bytes a read
// asks for (the LIN channel, the whole frame): the other four of the dropped frame go with it.
TEST(LinTransportSend, FrameOtherThanTheFlowControlIsFetchedPast) {
    // A receive time-out that a loaded machine cannot run out between the two headers.
    LinTransport t(1000);
    t.channel.frame(bytes("73 02 FE 01 00 00 00 00")).frame(bytes("73 30 00 00 00 00 00 00"));
    EXPECT_TRUE(t.send(testing_support::counting(20, 0xA0)));
    EXPECT_EQ(t.channel.trace(), "WWRRWRFWWW");
    const std::vector<ChannelCall>& calls = t.channel.calls();
    ASSERT_GE(calls.size(), 6u);
    for (const size_t header : {1, 4}) {
        EXPECT_EQ(calls[header].txId, kHeaderId);
        EXPECT_EQ(calls[header].rxId, 0u);
        EXPECT_EQ(calls[header + 1].txId, 0u);
        EXPECT_EQ(calls[header + 1].rxId, kHeaderId);
    }
    EXPECT_EQ(hex(calls.back().bytes), kCf3);
}

// The fetching goes on only within the receive time-out, which the dropped frame does not start again.
// The upper bound leaves a loaded machine 150 ms; a time-out started again would end 300 ms later.
TEST(LinTransportSend, NoFlowControlAfterADroppedFrameEndsWithTheTimeOut) {
    LinTransport t(300);
    t.channel.frame(bytes("73 02 FE 01 00 00 00 00"));
    const auto start = Clock::now();
    EXPECT_FALSE(t.send(testing_support::counting(20, 0xA0)));
    const long long elapsed = msBetween(start, Clock::now());
    EXPECT_EQ(t.channel.trace(), "WWRRWrF");
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 300 + 150);
    EXPECT_EQ(t.channel.getComParams()->rxTimeoutMs, 300u);
}

// A receive through the channel, which names the answer it awaits (FE): a reply of another request is
// dropped, and the next attempt's header fetches the awaited one.
TEST(LinTransportReceive, ReplyOfAnotherRequestIsFetchedPast) {
    LinTransport t(1000);
    t.channel.registerProtocol(&t.tp);
    t.channel.selectProtocolUnlocked(t.tp.name());
    t.channel.frame(bytes("73 05 FC 01 02 03 04 00")).frame(bytes("73 02 FE 01 00 00 00 00"));
    Bytes out;
    EXPECT_TRUE(t.channel.receive(out, 8, kTx, kRx, [](const Bytes& m) { return m[0] == 0xFE; }));
    EXPECT_EQ(hex(out), "FE 01");
    EXPECT_EQ(t.channel.trace(), "OWRWR");
}

}  // namespace
