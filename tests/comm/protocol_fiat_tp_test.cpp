// The CAN transport against a scripted other end: the frames it writes, the flow controls it reads,
// and how it reassembles what it receives.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "comm/ProtocolFiatTP.h"
#include "tests/support/bytes.h"
#include "tests/support/scripted_channel.h"

namespace {

using testing_support::bytes;
using testing_support::Bytes;
using testing_support::ChannelCall;
using testing_support::counting;
using testing_support::hex;
using testing_support::ScriptedChannel;

constexpr uint32_t kTx = 0x7E0;
constexpr uint32_t kRx = 0x7E8;
constexpr uint8_t kAddress = 0x43;

const std::string kFcStandard = "43 30 00 00 00 00 00 00";
const std::string kFcNoLimitFF = "43 30 FF 00 00 00 00 00";
// A single-frame answer after frames that begin no message.
const std::string kAnswer = "43 02 FA 00 00 00 00 00";

struct Transport {
    explicit Transport(bool standardized) : tp(kAddress) { tp.setStandardized(standardized); }

    bool send(const Bytes& payload) { return tp.send(&channel, kTx, kRx, payload); }
    bool receive(Bytes& out) { return tp.receive(&channel, kTx, kRx, out, 8); }

    ScriptedChannel channel;
    ProtocolFiatTP tp;
};

// Script steps as text: a frame of 8 bytes arrives; "-" never comes; "late:<hex>" comes a third of the
// receive time-out after the read starts; a shorter text is all that one read delivers.
void play(ScriptedChannel& channel, const std::vector<std::string>& script) {
    for (const std::string& step : script) {
        if (step == "-") {
            channel.missing();
        } else if (step.rfind("late:", 0) == 0) {
            channel.late(bytes(step.substr(5)), ScriptedChannel::kDefaultRxTimeoutMs / 3);
        } else if (step.size() < 23) {
            channel.reply(bytes(step));
        } else {
            channel.frame(bytes(step));
        }
    }
}

// The frames a sender of this mode segments the payload into.
std::vector<Bytes> segmented(bool standardized, const Bytes& payload) {
    ProtocolFiatTP reference(kAddress);
    reference.setStandardized(standardized);
    ProtocolMultiFrame::FrameQueue frames;
    reference.segment(frames, payload);
    return {frames.begin(), frames.end()};
}

// ---- segmentation, frame by frame

struct SendCase {
    std::string label;
    bool standardized;
    size_t length;
    std::vector<std::string> frames;
};

void PrintTo(const SendCase& c, std::ostream* os) {
    *os << c.label;
}

class TransportSend : public ::testing::TestWithParam<SendCase> {};

TEST_P(TransportSend, WritesTheFramesOfThePayload) {
    const SendCase& c = GetParam();
    Transport t(c.standardized);
    const bool multi = c.frames.size() > 1;
    if (multi) {
        t.channel.frame(bytes(c.standardized ? kFcStandard : kFcNoLimitFF));
    }
    const Bytes payload = c.length == 1 ? bytes("5A") : counting(c.length, 1);

    ASSERT_TRUE(t.send(payload));

    EXPECT_EQ(hex(t.channel.writtenBytes()), c.frames);
    EXPECT_EQ(t.channel.trace(), multi ? "WRF" + std::string(c.frames.size() - 1, 'W') : "W");
    for (const auto& call : t.channel.calls()) {
        EXPECT_EQ(call.rxId, kRx);
        if (call.kind != ChannelCall::Kind::Flush) {
            EXPECT_EQ(call.txId, kTx);
        }
        if (call.kind == ChannelCall::Kind::Read) {
            EXPECT_EQ(call.count, 4u);  // address, type, block size, STmin
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, TransportSend,
    ::testing::Values(
        SendCase{"OneByte", true, 1, {"43 01 5A 00 00 00 00 00"}},
        SendCase{"SixBytesFillASingleFrame", true, 6, {"43 06 01 02 03 04 05 06"}},
        SendCase{"SevenStandardized", true, 7, {"43 10 07 01 02 03 04 05", "43 21 06 07 00 00 00 00"}},
        SendCase{"SevenNotStandardized", false, 7, {"43 10 07 01 02 03 04 05", "43 20 06 07 00 00 00 00"}},
        SendCase{"ElevenFillOneConsecutiveFrame",
                 true,
                 11,
                 {"43 10 0B 01 02 03 04 05", "43 21 06 07 08 09 0A 0B"}},
        SendCase{"TwelveNeedTwoConsecutiveFrames",
                 true,
                 12,
                 {"43 10 0C 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "43 22 0C 00 00 00 00 00"}},
        SendCase{"TwelveNotStandardized",
                 false,
                 12,
                 {"43 10 0C 01 02 03 04 05", "43 20 06 07 08 09 0A 0B", "43 21 0C 00 00 00 00 00"}}),
    [](const auto& info) { return info.param.label; });

TEST(TransportSend, LongestPayloadIn683FramesWithWrappingSequenceNumbers) {
    for (const bool standardized : {true, false}) {
        SCOPED_TRACE(standardized ? "standardized" : "not standardized");
        Transport t(standardized);
        t.channel.frame(bytes(standardized ? kFcStandard : kFcNoLimitFF));
        const Bytes payload = counting(4095, 0x30);

        ASSERT_TRUE(t.send(payload));

        const std::vector<Bytes> frames = t.channel.writtenBytes();
        ASSERT_EQ(frames.size(), 683u);
        EXPECT_EQ(hex(frames[0]), "43 1F FF 30 31 32 33 34");
        Bytes data(frames[0].begin() + 3, frames[0].end());
        const unsigned first = standardized ? 1 : 0;
        for (size_t i = 1; i < frames.size(); ++i) {
            ASSERT_EQ(frames[i].size(), 8u);
            EXPECT_EQ(frames[i][0], kAddress);
            ASSERT_EQ(frames[i][1], 0x20 | ((first + i - 1) & 0x0F)) << "frame " << i;
            data.insert(data.end(), frames[i].begin() + 2, frames[i].end());
        }
        // The last consecutive frame carries 4 bytes and two 0x00.
        EXPECT_EQ(hex(Bytes(frames.back().begin() + 6, frames.back().end())), "00 00");
        data.resize(4095);
        EXPECT_EQ(data, payload);
        // The sixteenth consecutive frame of the standardized mode wraps to 0.
        EXPECT_EQ(frames[16][1], standardized ? 0x20 : 0x2F);
        // One flow control for the whole message.
        EXPECT_EQ(t.channel.callCount(ChannelCall::Kind::Read), 1u);
    }
}

TEST(TransportSend, RefusesEmptyAndOverlongPayloadsWithoutTraffic) {
    for (const size_t length : {size_t{0}, size_t{4096}, size_t{70000}}) {
        Transport t(true);
        t.channel.frame(bytes(kFcStandard));
        EXPECT_FALSE(t.send(Bytes(length, 0x11))) << length;
        EXPECT_EQ(t.channel.trace(), "") << length;
    }
}

// ---- flow control and block sizes

struct BlockCase {
    std::string label;
    bool standardized;
    std::vector<std::string> flowControls;
    std::string trace;
    size_t length = 35;  // a first frame and five consecutive frames
};

// The trace of a block: its flow control read, the flush and count writes.
std::string block(size_t count) {
    return "RF" + std::string(count, 'W');
}

void PrintTo(const BlockCase& c, std::ostream* os) {
    *os << c.label;
}

class TransportBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(TransportBlocks, SendsTheBlocksTheFlowControlsAllow) {
    const BlockCase& c = GetParam();
    Transport t(c.standardized);
    for (const std::string& fc : c.flowControls) {
        t.channel.frame(bytes(fc));
    }
    const Bytes payload = counting(c.length);
    ASSERT_TRUE(t.send(payload));
    EXPECT_EQ(t.channel.trace(), c.trace);
    // However the blocks fall, every frame goes out once and in order.
    EXPECT_EQ(t.channel.writtenBytes(), segmented(c.standardized, payload));
    EXPECT_TRUE(t.channel.scriptDone());
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, TransportBlocks,
    ::testing::Values(
        BlockCase{"TwoAtATime",
                  true,
                  {"43 30 02 00 00 00 00 00", "43 30 02 00 00 00 00 00", "43 30 02 00 00 00 00 00"},
                  "WRFWWRFWWRFW"},
        BlockCase{"ZeroIsNoLimitWhenStandardized", true, {kFcStandard}, "WRFWWWWW"},
        BlockCase{"FFIsNoLimitWhenNotStandardized", false, {kFcNoLimitFF}, "WRFWWWWW"},
        BlockCase{"FFAboveWhatIsLeftWhenStandardized", true, {"43 30 FF 00 00 00 00 00"}, "WRFWWWWW"},
        // 682 consecutive frames: in standardized mode 0xFF is a block of 255 frames like any other.
        BlockCase{"FFIsABlockSizeWhenStandardized",
                  true,
                  {kFcNoLimitFF, kFcNoLimitFF, kFcNoLimitFF},
                  "W" + block(255) + block(255) + block(172),
                  4095},
        BlockCase{"FFIsNoLimitForTheLongestMessage", false, {kFcNoLimitFF}, "W" + block(682), 4095},
        BlockCase{"ExactlyWhatIsLeft", false, {"43 30 05 00 00 00 00 00"}, "WRFWWWWW"},
        // BS 0 without the standardized mode allows an empty block: another flow control is read.
        BlockCase{"ZeroIsAnEmptyBlockWhenNotStandardized",
                  false,
                  {"43 30 00 00 00 00 00 00", "43 30 02 00 00 00 00 00", kFcNoLimitFF},
                  "WRFRFWWRFWWW"},
        // Bytes after the fourth of a flow control are not looked at; the address is not compared.
        BlockCase{
            "OnlyTheFirstFourBytesCount", true, {"77 30 03 00 AA BB CC DD", "43 30 00 00"}, "WRFWWWRFWW"}),
    [](const auto& info) { return info.param.label; });

struct SendFailureCase {
    std::string label;
    std::vector<std::string> flowControls;  // steps as play takes them
    std::vector<size_t> failingWrites;
    std::string trace;
    size_t length = 35;  // a first frame and five consecutive frames
};

void PrintTo(const SendFailureCase& c, std::ostream* os) {
    *os << c.label;
}

class TransportSendFailure : public ::testing::TestWithParam<SendFailureCase> {};

TEST_P(TransportSendFailure, FailsWithoutWaitingForMore) {
    const SendFailureCase& c = GetParam();
    Transport t(true);
    play(t.channel, c.flowControls);
    for (size_t index : c.failingWrites) {
        t.channel.failWrite(index);
    }
    EXPECT_FALSE(t.send(counting(c.length)));
    EXPECT_EQ(t.channel.trace(), c.trace);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TransportSendFailure,
    ::testing::Values(
        SendFailureCase{"SingleFrameNotWritten", {kFcStandard}, {0}, "w", 6},
        SendFailureCase{"FirstFrameNotWritten", {kFcStandard}, {0}, "w"},
        SendFailureCase{"NoFlowControl", {"-"}, {}, "WrF"},
        SendFailureCase{"NoSecondFlowControl", {"43 30 02 00 00 00 00 00", "-"}, {}, "WRFWWrF"},
        // A failed consecutive frame: the rest of its block still goes out, no further flow control.
        SendFailureCase{"ConsecutiveFrameNotWritten",
                        {"43 30 03 00 00 00 00 00", "43 30 00 00 00 00 00 00"},
                        {1},
                        "WRFwWW"},
        SendFailureCase{"LastOfABlockNotWritten", {"43 30 02 00 00 00 00 00", kFcStandard}, {2}, "WRFWw"}),
    [](const auto& info) { return info.param.label; });

struct StMinCase {
    std::string label;
    bool standardized;
    std::vector<std::string> flowControls;
    std::string trace;
    // Calls (by index in the trace) that come at least minGapMs after the call before them.
    std::vector<size_t> paced;
    int minGapMs;
};

void PrintTo(const StMinCase& c, std::ostream* os) {
    *os << c.label;
}

class TransportStMin : public ::testing::TestWithParam<StMinCase> {};

// Only lower bounds: a loaded machine makes every wait longer, never shorter.
TEST_P(TransportStMin, WaitsBeforeEveryFrameOfTheBlock) {
    const StMinCase& c = GetParam();
    Transport t(c.standardized);
    play(t.channel, c.flowControls);
    ASSERT_TRUE(t.send(counting(35)));
    ASSERT_EQ(t.channel.trace(), c.trace);
    const auto& calls = t.channel.calls();
    for (const size_t i : c.paced) {
        EXPECT_GE(calls[i].at - calls[i - 1].at, std::chrono::milliseconds(c.minGapMs)) << "call " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, TransportStMin,
    ::testing::Values(
        // 25 ms, also before the first frame of the block (call 3 follows the flush).
        StMinCase{"WholeMessage", true, {"43 30 00 19 00 00 00 00"}, "WRFWWWWW", {3, 4, 5, 6, 7}, 24},
        StMinCase{"NotStandardized", false, {"43 30 FF 0A 00 00 00 00"}, "WRFWWWWW", {3, 4, 5, 6, 7}, 9},
        // The STmin of each flow control paces its own block: 0 first, then 20 ms.
        StMinCase{"EachBlockItsOwn",
                  true,
                  {"43 30 02 00 00 00 00 00", "43 30 00 14 00 00 00 00"},
                  "WRFWWRFWWW",
                  {7, 8, 9},
                  19},
        // Above the precise-wait range.
        StMinCase{"LongWait", true, {"43 30 03 32 00 00 00 00", kFcStandard}, "WRFWWWRFWW", {3, 4, 5}, 49}),
    [](const auto& info) { return info.param.label; });

TEST(TransportSend, LateFlowControlWithinTheReceiveTimeOut) {
    Transport t(true);
    t.channel.late(bytes(kFcStandard), ScriptedChannel::kDefaultRxTimeoutMs / 2);
    EXPECT_TRUE(t.send(counting(20)));
    EXPECT_EQ(t.channel.trace(), "WRFWWW");
}

TEST(TransportSend, FlowControlLaterThanTheReceiveTimeOut) {
    Transport t(true);
    t.channel.late(bytes(kFcStandard), ScriptedChannel::kDefaultRxTimeoutMs * 4);
    EXPECT_FALSE(t.send(counting(20)));
    EXPECT_EQ(t.channel.trace(), "WrF");
}

TEST(TransportSend, FramesQueueIsEmptyAfterEverySend) {
    Transport t(true);
    t.channel.missing();
    EXPECT_FALSE(t.send(counting(20)));
    // A second message starts afresh: no frame of the first one is left over.
    EXPECT_TRUE(t.send(bytes("01 02")));
    EXPECT_EQ(hex(t.channel.writtenBytes().back()), "43 02 01 02 00 00 00 00");
    EXPECT_EQ(t.channel.writtenBytes().size(), 2u);
}

// ---- receiving

struct ReceiveCase {
    std::string label;
    std::vector<std::string> script;  // steps as play takes them
    bool result;
    std::string out;
    std::string trace;
};

void PrintTo(const ReceiveCase& c, std::ostream* os) {
    *os << c.label;
}

class TransportReceive : public ::testing::TestWithParam<ReceiveCase> {};

// head followed by n zero bytes, as hex text.
std::string zeroFilled(const std::string& head, size_t n) {
    std::string out = head;
    for (size_t i = 0; i < n; ++i) {
        out += " 00";
    }
    return out;
}

// The script as a sender of the mode sends it: the consecutive frames of the tables are numbered as
// in standardized mode, from 1; the other mode numbers each one less, from 0.
std::vector<std::string> numberedFor(bool standardized, std::vector<std::string> script) {
    if (standardized) {
        return script;
    }
    for (std::string& step : script) {
        if (step == "-") {
            continue;
        }
        const bool late = step.rfind("late:", 0) == 0;
        Bytes frame = bytes(late ? step.substr(5) : step);
        if (frame.size() >= 2 && (frame[1] & 0xF0) == 0x20) {
            frame[1] = static_cast<uint8_t>(0x20 | ((frame[1] - 1) & 0x0F));
            step = (late ? "late:" : "") + hex(frame);
        }
    }
    return script;
}

TEST_P(TransportReceive, ReassemblesWhatArrives) {
    const ReceiveCase& c = GetParam();
    for (const bool standardized : {true, false}) {
        SCOPED_TRACE(standardized ? "standardized" : "not standardized");
        Transport t(standardized);
        play(t.channel, numberedFor(standardized, c.script));
        Bytes out = bytes("EE");
        EXPECT_EQ(t.receive(out), c.result);
        EXPECT_EQ(hex(out), c.out);
        EXPECT_EQ(t.channel.trace(), c.trace);
        // Whatever the mode, the only flow control is 30 FF 00.
        for (const Bytes& written : t.channel.writtenBytes()) {
            EXPECT_EQ(hex(written), kFcNoLimitFF);
        }
        for (const auto& call : t.channel.calls()) {
            EXPECT_EQ(call.txId, kTx);
            EXPECT_EQ(call.rxId, kRx);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, TransportReceive,
    ::testing::Values(
        ReceiveCase{"SingleFrame", {"43 03 0A 0B 0C 00 00 00"}, true, "0A 0B 0C", "R"},
        ReceiveCase{"FullSingleFrame", {"43 06 01 02 03 04 05 06"}, true, "01 02 03 04 05 06", "R"},
        ReceiveCase{"AddressNotCompared", {"99 01 5A 00 00 00 00 00"}, true, "5A", "R"},
        // A frame that cannot begin a message is dropped, and the wait goes on.
        ReceiveCase{"SingleFrameWithoutData", {"43 00 0A 0B 0C 00 00 00", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{"SingleFrameLengthSeven", {"43 07 01 02 03 04 05 06", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{"SingleFrameCutShort", {"43 03 0A 0B", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{"OneByteRead", {"43", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{"EmptyRead", {"", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{"NothingArrives", {"-"}, false, "EE", "r"},
        ReceiveCase{"ConsecutiveFrameFirst", {"43 21 01 02 03 04 05 06", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{"FlowControlFirst", {"43 30 00 00 00 00 00 00", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{"UnknownType", {"43 40 00 00 00 00 00 00", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{
            "OnlyStrayFrames", {"43 21 01 02 03 04 05 06", "43 30 00 00 00 00 00 00"}, false, "", "RRr"},
        ReceiveCase{"FirstFrameOfThirteen",
                    {"43 10 0D 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "43 22 0C 0D 00 00 00 00"},
                    true,
                    "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D",
                    "RWRR"},
        ReceiveCase{"FirstFrameOfFive", {"43 10 05 01 02 03 04 05"}, true, "01 02 03 04 05", "RW"},
        // A frame that is not the next consecutive frame ends the message at once and never becomes
        // data: out of sequence, repeated, skipping one, or of another type.
        ReceiveCase{"ConsecutiveFrameOutOfSequence",
                    {"43 10 0D 01 02 03 04 05", "43 2F 06 07 08 09 0A 0B", "43 22 0C 0D 00 00 00 00"},
                    false,
                    zeroFilled("01 02 03 04 05", 8),
                    "RWR"},
        ReceiveCase{"ConsecutiveFrameRepeated",
                    {"43 10 17 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "43 21 06 07 08 09 0A 0B",
                     "43 22 0C 0D 0E 0F 10 11"},
                    false,
                    zeroFilled("01 02 03 04 05 06 07 08 09 0A 0B", 12),
                    "RWRR"},
        ReceiveCase{"ConsecutiveFrameSkipped",
                    {"43 10 17 01 02 03 04 05", "43 22 0C 0D 0E 0F 10 11", "43 23 12 13 14 15 16 17"},
                    false,
                    zeroFilled("01 02 03 04 05", 18),
                    "RWR"},
        ReceiveCase{"FlowControlWhereAConsecutiveFrameIsDue",
                    {"43 10 0D 01 02 03 04 05", "43 30 00 00 00 00 00 00", "43 21 06 07 08 09 0A 0B"},
                    false,
                    zeroFilled("01 02 03 04 05", 8),
                    "RWR"},
        // A single or first frame where a consecutive frame is due begins a new message: the one it
        // broke off is lost, the new one is taken on its own.
        ReceiveCase{"SingleFrameWhereAConsecutiveFrameIsDue",
                    {"43 10 0D 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "43 02 FA 00 00 00 00 00"},
                    true,
                    "FA 00",
                    "RWRR"},
        ReceiveCase{"FirstFrameWhereAConsecutiveFrameIsDue",
                    {"43 10 0D 01 02 03 04 05", "43 10 0B 11 12 13 14 15", "43 21 16 17 18 19 1A 1B"},
                    true,
                    "11 12 13 14 15 16 17 18 19 1A 1B",
                    "RWRWR"},
        // The missing frame took the receive time-out: a new message after it comes too late.
        ReceiveCase{"SingleFrameAfterAMissingConsecutiveFrame",
                    {"43 10 17 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "-", "43 02 FA 00 00 00 00 00"},
                    false,
                    "",
                    "RWRrR"},
        ReceiveCase{"LateConsecutiveFrame",
                    {"43 10 0B 01 02 03 04 05", "late:43 21 06 07 08 09 0A 0B"},
                    true,
                    "01 02 03 04 05 06 07 08 09 0A 0B",
                    "RWR"},
        // The second of three consecutive frames does not come: the third is still waited for.
        ReceiveCase{"MissingConsecutiveFrame",
                    {"43 10 17 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "-", "43 23 12 13 14 15 16 17"},
                    false,
                    "01 02 03 04 05 06 07 08 09 0A 0B 00 00 00 00 00 00 00 00 00 00 00 00",
                    "RWRrR"},
        ReceiveCase{"EveryFrameAfterAMissingOneIsStillRead",
                    {"43 10 1D 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "-", "43 23 12 13 14 15 16 17",
                     "43 24 18 19 1A 1B 1C 1D"},
                    false,
                    "01 02 03 04 05 06 07 08 09 0A 0B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                    "RWRrRR"},
        // Two reads in a row that bring nothing end the receive; the frame after them is not waited for.
        ReceiveCase{
            "TwoMissingInARowEndTheReceive",
            {"43 10 1D 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "-", "-", "43 24 18 19 1A 1B 1C 1D"},
            false,
            zeroFilled("01 02 03 04 05 06 07 08 09 0A 0B", 18),
            "RWRrr"},
        ReceiveCase{"FramesBetweenMissingOnesKeepTheReceiveGoing",
                    {"43 10 23 01 02 03 04 05", "-", "43 22 0C 0D 0E 0F 10 11", "-",
                     "43 24 18 19 1A 1B 1C 1D", "43 25 1E 1F 20 21 22 23"},
                    false,
                    zeroFilled("01 02 03 04 05", 30),
                    "RWrRrRR"},
        // The longest message lost after its first frame: two receive time-outs, not 682.
        ReceiveCase{"LongestMessageLostAfterItsFirstFrame",
                    {"43 1F FF 01 02 03 04 05"},
                    false,
                    zeroFilled("01 02 03 04 05", 4090),
                    "RWrr"},
        // A frame that lacks bytes ends the message at once, like one out of sequence.
        ReceiveCase{"ConsecutiveFrameCutShort",
                    {"43 10 0D 01 02 03 04 05", "43 21 06 07", "43 22 0C 0D 00 00 00 00"},
                    false,
                    "01 02 03 04 05 00 00 00 00 00 00 00 00",
                    "RWR"},
        // The last frame needs only its first two data bytes.
        ReceiveCase{"LastConsecutiveFrameShortButEnough",
                    {"43 10 0D 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "43 22 0C 0D"},
                    true,
                    "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D",
                    "RWRR"},
        // Fewer than its own five bytes: refused before any flow control, and dropped like a stray frame.
        ReceiveCase{"FirstFrameAnnouncingFour", {"43 10 04 01 02 03 04 05", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{"FirstFrameAnnouncingNothing", {"43 10 00 01 02 03 04 05", kAnswer}, true, "FA 00", "RR"},
        ReceiveCase{"FirstFrameCutShort", {"43 10 0D 01 02", kAnswer}, true, "FA 00", "RR"}),
    [](const auto& info) { return info.param.label; });

TEST(TransportReceive, FailedFlowControlWriteClearsTheOutput) {
    Transport t(true);
    play(t.channel, {"43 10 0D 01 02 03 04 05", "43 21 06 07 08 09 0A 0B", "43 22 0C 0D 00 00 00 00"});
    t.channel.failWrite(0);
    Bytes out = bytes("EE");
    EXPECT_FALSE(t.receive(out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(t.channel.trace(), "Rw");
}

// The sequence numbers wrap 42 times, as the sender of each mode counts them.
TEST(TransportReceive, LongestMessage) {
    for (const bool standardized : {true, false}) {
        SCOPED_TRACE(standardized ? "standardized" : "not standardized");
        Transport t(standardized);
        const Bytes payload = counting(4095, 7);
        Transport sender(standardized);
        sender.channel.frame(bytes(standardized ? kFcStandard : kFcNoLimitFF));
        ASSERT_TRUE(sender.send(payload));
        for (const Bytes& frame : sender.channel.writtenBytes()) {
            t.channel.frame(frame);
        }
        Bytes out;
        ASSERT_TRUE(t.receive(out));
        EXPECT_EQ(out, payload);
        EXPECT_EQ(t.channel.callCount(ChannelCall::Kind::Read), 683u);
        EXPECT_EQ(t.channel.callCount(ChannelCall::Kind::Write), 1u);
    }
}

// A consecutive frame numbered as the other mode numbers it is out of sequence.
TEST(TransportReceive, ConsecutiveFramesOfTheOtherModeAreOutOfSequence) {
    for (const bool standardized : {true, false}) {
        SCOPED_TRACE(standardized ? "standardized" : "not standardized");
        Transport t(standardized);
        play(t.channel, {"43 10 0B 01 02 03 04 05",
                         standardized ? "43 20 06 07 08 09 0A 0B" : "43 21 06 07 08 09 0A 0B"});
        Bytes out;
        EXPECT_FALSE(t.receive(out));
        EXPECT_EQ(t.channel.trace(), "RWR");
    }
}

// ---- frames and messages of other requests

// While a sender waits for the flow control, a frame that is not one (a reply that came after its
// time-out, a doubled reply, the first frame of another message) is dropped with its other bytes and
// the wait goes on.
struct FlowControlWaitCase {
    std::string label;
    std::vector<std::string> script;  // steps as play takes them
    bool result;
    std::string trace;
};

void PrintTo(const FlowControlWaitCase& c, std::ostream* os) {
    *os << c.label;
}

class TransportFlowControlWait : public ::testing::TestWithParam<FlowControlWaitCase> {};

TEST_P(TransportFlowControlWait, DropsWhatIsNotAFlowControl) {
    const FlowControlWaitCase& c = GetParam();
    Transport t(true);
    // Long enough that a loaded machine never runs it out between a dropped frame and the next.
    t.channel.getComParams()->rxTimeoutMs = 300;
    play(t.channel, c.script);
    const Bytes payload = counting(35);
    EXPECT_EQ(t.send(payload), c.result);
    EXPECT_EQ(t.channel.trace(), c.trace);
    if (c.result) {
        EXPECT_EQ(t.channel.writtenBytes(), segmented(true, payload));
    }
}

// The trace of a 35-byte send whose flow control comes after a dropped 8-byte frame: the first frame,
// the first four bytes and the other four of the dropped frame, the flow control, the flush, five
// consecutive frames.
const std::string kSentAfterOneDropped = "WRRRFWWWWW";

INSTANTIATE_TEST_SUITE_P(
    Frames, TransportFlowControlWait,
    ::testing::Values(
        FlowControlWaitCase{
            "LateSingleFrameReply", {"43 02 FB FE 00 00 00 00", kFcStandard}, true, kSentAfterOneDropped},
        FlowControlWaitCase{
            "FirstFrameOfAReply", {"43 10 0D FB 71 01 02 03", kFcStandard}, true, kSentAfterOneDropped},
        FlowControlWaitCase{
            "ConsecutiveFrame", {"43 21 00 00 00 00 00 00", kFcStandard}, true, kSentAfterOneDropped},
        // 0x31 and 0x32 are not flow control frames of this transport.
        FlowControlWaitCase{
            "FlowControl31", {"43 31 00 00 00 00 00 00", kFcStandard}, true, kSentAfterOneDropped},
        FlowControlWaitCase{
            "FlowControl32", {"43 32 00 00 00 00 00 00", kFcStandard}, true, kSentAfterOneDropped},
        // The data bytes of a dropped frame are never read as a flow control of their own.
        FlowControlWaitCase{"FrameWhoseSecondHalfLooksLikeAFlowControl",
                            {"43 06 FB 92 00 30 00 00", kFcStandard},
                            true,
                            kSentAfterOneDropped},
        FlowControlWaitCase{"TwoRepliesBeforeTheFlowControl",
                            {"43 02 FB FE 00 00 00 00", "43 02 FB FE 00 00 00 00", kFcStandard},
                            true,
                            "WRRRRRFWWWWW"},
        FlowControlWaitCase{
            "NoFlowControlAfterADroppedFrame", {"43 02 FB FE 00 00 00 00", "-"}, false, "WRRrF"},
        // A read of three bytes is no flow control; nothing of the next frame is there to drop with it.
        FlowControlWaitCase{"FlowControlTooShort", {"43 30 00"}, false, "WRrrF"}),
    [](const auto& info) { return info.param.label; });

long long msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

// A dropped frame does not start the receive time-out again: a flow control due 400 ms after the
// wait began misses a time-out of 300 ms, though it comes 200 ms after the dropped frame. The wait
// lasts the whole time-out, not longer. The upper bound leaves a loaded machine 150 ms and is still
// below the 500 ms that a time-out started again at the dropped frame would end at.
TEST(TransportFlowControlWait, ADroppedFrameDoesNotExtendTheTimeOut) {
    Transport t(true);
    t.channel.getComParams()->rxTimeoutMs = 300;
    t.channel.late(bytes("43 02 FB FE 00 00 00 00"), 200).late(bytes(kFcStandard), 200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(t.send(counting(20)));
    const long long elapsed = msSince(start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 450);
    EXPECT_EQ(t.channel.trace(), "WRRrF");
    EXPECT_EQ(t.channel.getComParams()->rxTimeoutMs, 300u);
}

TEST(TransportFlowControlWait, FlowControlAfterADroppedFrameWithinTheTimeOut) {
    Transport t(true);
    t.channel.getComParams()->rxTimeoutMs = 600;
    t.channel.late(bytes("43 02 FB FE 00 00 00 00"), 100).late(bytes(kFcStandard), 100);
    EXPECT_TRUE(t.send(counting(20)));
    EXPECT_EQ(t.channel.trace(), "WRRRFWWW");
}

// A receive through the channel, which names the answer it awaits: the answer to BB FF begins FB FF.
struct AwaitingChannel {
    explicit AwaitingChannel(uint32_t rxTimeoutMs = ScriptedChannel::kDefaultRxTimeoutMs)
        : channel(rxTimeoutMs), tp(kAddress) {
        tp.setStandardized(true);
        channel.registerProtocol(&tp);
        channel.selectProtocolUnlocked(tp.name());
    }
    bool receive(Bytes& out) {
        return channel.receive(out, 8, kTx, kRx,
                               [](const Bytes& m) { return m.size() >= 2 && m[0] == 0xFB && m[1] == 0xFF; });
    }

    ScriptedChannel channel;
    ProtocolFiatTP tp;
};

struct AwaitedReplyCase {
    std::string label;
    std::vector<std::string> script;  // steps as play takes them
    bool result;
    std::string out;
    std::string trace;  // after the channel's open
};

void PrintTo(const AwaitedReplyCase& c, std::ostream* os) {
    *os << c.label;
}

class TransportAwaitedReply : public ::testing::TestWithParam<AwaitedReplyCase> {};

TEST_P(TransportAwaitedReply, DropsMessagesThatDoNotAnswer) {
    const AwaitedReplyCase& c = GetParam();
    // Long enough that a loaded machine never runs it out between a dropped message and the next.
    AwaitingChannel a(300);
    play(a.channel, c.script);
    Bytes out = bytes("EE");
    EXPECT_EQ(a.receive(out), c.result);
    EXPECT_EQ(hex(out), c.out);
    EXPECT_EQ(a.channel.trace(), "O" + c.trace);
    // The only frames written are flow controls, for first frames of the awaited answer (W in the trace).
    for (const Bytes& written : a.channel.writtenBytes()) {
        EXPECT_EQ(hex(written), kFcNoLimitFF);
    }
}

const std::string kOwnAnswer = "43 06 FB FF 11 22 33 44";

INSTANTIATE_TEST_SUITE_P(
    Messages, TransportAwaitedReply,
    ::testing::Values(AwaitedReplyCase{"OwnAnswer", {kOwnAnswer}, true, "FB FF 11 22 33 44", "R"},
                      AwaitedReplyCase{"LateReplyOfTheRequestBefore",
                                       {"43 02 FB FE 00 00 00 00", kOwnAnswer},
                                       true,
                                       "FB FF 11 22 33 44",
                                       "RR"},
                      // The first frame of another request's reply is judged by its first bytes and
                      // gets no flow control; consecutive frames that come all the same are strays.
                      AwaitedReplyCase{"MultiFrameReplyOfAnotherRequest",
                                       {"43 10 0D FB 71 01 02 03", "43 21 04 05 06 07 08 09",
                                        "43 22 0A 0B 00 00 00 00", kOwnAnswer},
                                       true,
                                       "FB FF 11 22 33 44",
                                       "RRRR"},
                      AwaitedReplyCase{"FirstFrameOfAnotherRequestAlone",
                                       {"43 1F FF FB 71 01 02 03", kOwnAnswer},
                                       true,
                                       "FB FF 11 22 33 44",
                                       "RR"},
                      AwaitedReplyCase{"NegativeFirstFrameOfAnotherService",
                                       {"43 10 08 7F BA 31 00 00", kOwnAnswer},
                                       true,
                                       "FB FF 11 22 33 44",
                                       "RR"},
                      AwaitedReplyCase{
                          "OwnMultiFrameAnswerAfterAnotherOne",
                          {"43 10 0D FB 71 01 02 03", "43 10 08 FB FF 11 22 33", "43 21 44 55 66 00 00 00"},
                          true,
                          "FB FF 11 22 33 44 55 66",
                          "RRWR"},
                      // A reply of another request breaks off the awaited one: neither is taken, and
                      // what is left of the broken one is dropped frame by frame.
                      AwaitedReplyCase{"OwnAnswerBrokenOffByAnotherReply",
                                       {"43 10 0D FB FF 01 02 03", "43 02 FB FE 00 00 00 00",
                                        "43 21 04 05 06 07 08 09", "43 22 0A 0B 00 00 00 00"},
                                       false,
                                       "",
                                       "RWRRRr"},
                      AwaitedReplyCase{"StrayFramesAndAReply",
                                       {"43 21 01 02 03 04 05 06", "43 02 FB FE 00 00 00 00",
                                        "43 30 00 00 00 00 00 00", kOwnAnswer},
                                       true,
                                       "FB FF 11 22 33 44",
                                       "RRRR"},
                      AwaitedReplyCase{"OnlyRepliesOfOtherRequests",
                                       {"43 02 FB FE 00 00 00 00", "43 02 FB FE 00 00 00 00"},
                                       false,
                                       "",
                                       "RRr"},
                      // A message that lost a frame ends the receive as before.
                      AwaitedReplyCase{"OwnAnswerBroken",
                                       {"43 10 0D FB FF 01 02 03", "43 21 04 05 06 07 08 09", "-"},
                                       false,
                                       "FB FF 01 02 03 04 05 06 07 08 09 00 00",
                                       "RWRr"}),
    [](const auto& info) { return info.param.label; });

TEST(TransportAwaitedReply, WithoutAFilterTheFirstMessageIsTaken) {
    AwaitingChannel a;
    a.channel.frame(bytes("43 02 FB FE 00 00 00 00")).frame(bytes(kOwnAnswer));
    Bytes out;
    EXPECT_TRUE(a.channel.receive(out, 8, kTx, kRx));
    EXPECT_EQ(hex(out), "FB FE");
}

// As for the flow control: the answer due 400 ms after the receive began misses its 300 ms, though it
// comes 200 ms after the dropped reply; the receive ends when the time-out does.
TEST(TransportAwaitedReply, ADroppedReplyDoesNotExtendTheTimeOut) {
    AwaitingChannel a(300);
    a.channel.late(bytes("43 02 FB FE 00 00 00 00"), 200).late(bytes(kOwnAnswer), 200);
    Bytes out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(a.receive(out));
    const long long elapsed = msSince(start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 450);
    EXPECT_EQ(a.channel.trace(), "ORr");
    EXPECT_EQ(a.channel.getComParams()->rxTimeoutMs, 300u);
}

TEST(TransportAwaitedReply, AnswerAfterADroppedReplyWithinTheTimeOut) {
    AwaitingChannel a(600);
    a.channel.late(bytes("43 02 FB FE 00 00 00 00"), 100).late(bytes(kOwnAnswer), 100);
    Bytes out;
    EXPECT_TRUE(a.receive(out));
    EXPECT_EQ(hex(out), "FB FF 11 22 33 44");
}

TEST(ProtocolFiatTP, NameAndModes) {
    ProtocolFiatTP tp(kAddress);
    EXPECT_EQ(tp.name(), "PROTOCOL_StandardizedCanFiatTP");
    EXPECT_FALSE(tp.isStandardized());
    tp.setStandardized(true);
    EXPECT_TRUE(tp.isStandardized());
    EXPECT_EQ(tp.getAddress(), kAddress);
}

}  // namespace
