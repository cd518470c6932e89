// The channel base: one-time initialisation, the locked operations, the protocol registry and the
// open and close reports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm/Communication.h"
#include "comm/ProtocolFiatTP.h"
#include "comm/ProtocolSingleFrame.h"
#include "tests/support/bytes.h"
#include "tests/support/scripted_channel.h"
#include "tests/support/shared_names.h"

namespace {

using testing_support::bytes;
using testing_support::Bytes;
using testing_support::ChannelCall;
using testing_support::counting;
using testing_support::CoutCapture;
using testing_support::hex;
using testing_support::ScriptedChannel;
using testing_support::ScriptedOpenError;

const std::string kLine = "PROTOCOL_ProtocolSingleByteTailOnSend_LF";
const std::string kSingle = "PROTOCOL_SingleFrame";

TEST(Communication, FreshChannelHasBothDefaultProtocolsAndTheSingleFrameOneCurrent) {
    ScriptedChannel channel;
    ASSERT_NE(channel.getCurrentProtocol(), nullptr);
    EXPECT_EQ(channel.getCurrentProtocol()->name(), kSingle);
    EXPECT_EQ(channel.getCurrentProtocol(), &Communication::defaultSingleFrameProtocol());
    EXPECT_TRUE(channel.selectProtocolUnlocked(kLine));
    EXPECT_EQ(channel.getCurrentProtocol(), &Communication::defaultLineProtocol());
    // Nothing was opened for that.
    EXPECT_EQ(channel.trace(), "");
    // The defaults are shared by every channel of the process.
    ScriptedChannel other;
    EXPECT_EQ(other.getCurrentProtocol(), &Communication::defaultSingleFrameProtocol());
    EXPECT_EQ(channel.name(), "COM_Scripted");
    EXPECT_EQ(Communication::defaultInstance().name(), "COM_UnnamedCom");
}

TEST(Communication, ReceiveOfNothingNeitherInitialisesNorClears) {
    ScriptedChannel channel;
    Bytes out = bytes("01 02");
    EXPECT_TRUE(channel.receive(out, 0, 1, 2));
    EXPECT_EQ(hex(out), "01 02");
    EXPECT_EQ(channel.trace(), "");
    // The first real operation opens the channel.
    channel.reply(bytes("05"));
    EXPECT_TRUE(channel.receive(out, 1, 1, 2));
    EXPECT_EQ(hex(out), "05");
    EXPECT_EQ(channel.trace(), "OR");
}

TEST(Communication, ReceiveClearsTheOutputFirst) {
    ScriptedChannel channel;
    channel.reply({});
    Bytes out = bytes("01 02");
    EXPECT_TRUE(channel.receive(out, 8, 1, 2));
    EXPECT_TRUE(out.empty());
}

struct ExchangeCase {
    std::string label;
    std::string request;
    uint32_t txId;
    uint32_t responseLength;
    bool writeFails;
    bool answer;
    bool result;
    std::string trace;
    std::string response;
};

void PrintTo(const ExchangeCase& c, std::ostream* os) {
    *os << c.label;
}

class SendAndReceive : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(SendAndReceive, SendsAndReceivesWhatIsAskedFor) {
    const ExchangeCase& c = GetParam();
    ScriptedChannel channel;
    if (c.writeFails) {
        channel.failWrite(0);
    }
    if (c.answer) {
        channel.reply(bytes("51 52"));
    } else {
        channel.missing();
    }
    Bytes response = bytes("EE");
    EXPECT_EQ(channel.sendAndReceive(bytes(c.request), response, c.responseLength, c.txId, 9), c.result);
    EXPECT_EQ(channel.trace(), c.trace);
    EXPECT_EQ(hex(response), c.response);
    for (const ChannelCall& call : channel.calls()) {
        if (call.kind == ChannelCall::Kind::Write || call.kind == ChannelCall::Kind::Read) {
            EXPECT_EQ(call.txId, c.txId);
        }
        if (call.kind != ChannelCall::Kind::Open) {
            EXPECT_EQ(call.rxId, 9u);
        }
        if (call.kind == ChannelCall::Kind::Read) {
            EXPECT_EQ(call.count, c.responseLength);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SendAndReceive,
    // Every request is preceded by the discard of what is queued for the reply identifier.
    ::testing::Values(ExchangeCase{"Both", "01 02", 7, 8, false, true, true, "OFWR", "51 52"},
                      ExchangeCase{"OnlyReceive", "", 0, 8, false, true, true, "OR", "51 52"},
                      ExchangeCase{"OnlySend", "01", 7, 0, false, true, true, "OFW", "EE"},
                      ExchangeCase{"Neither", "", 0, 0, false, true, true, "O", "EE"},
                      // An empty request to a real identifier still goes out.
                      ExchangeCase{"EmptyRequestWithId", "", 7, 8, false, true, true, "OFWR", "51 52"},
                      ExchangeCase{"SendFails", "01", 7, 8, true, true, false, "OFw", "EE"},
                      ExchangeCase{"NoAnswer", "01", 7, 8, false, false, false, "OFWr", ""}),
    [](const auto& info) { return info.param.label; });

// A read that takes less than what came leaves the rest queued, as a doubled or late answer would be.
// The next request never takes it for its answer, whether it goes out through sendAndReceive or
// through send and receive; a receive without a request does take it.
TEST(Communication, RequestIsNeverAnsweredByWhatCameBeforeIt) {
    using Exchange = std::function<bool(ScriptedChannel&, const Bytes&, Bytes&, uint32_t)>;
    const std::vector<std::pair<std::string, Exchange>> paths = {
        {"sendAndReceive", [](ScriptedChannel& ch, const Bytes& request, Bytes& response,
                              uint32_t n) { return ch.sendAndReceive(request, response, n, 7, 9); }},
        {"send, then receive",
         [](ScriptedChannel& ch, const Bytes& request, Bytes& response, uint32_t n) {
             return ch.send(request, 7, 9) && ch.receive(response, n, 7, 9);
         }},
    };
    for (const auto& [label, exchange] : paths) {
        SCOPED_TRACE(label);
        ScriptedChannel channel;
        channel.frame(bytes("51 52 53")).frame(bytes("61 62"));
        Bytes response;
        EXPECT_TRUE(exchange(channel, bytes("01"), response, 2));
        EXPECT_EQ(hex(response), "51 52");
        EXPECT_TRUE(exchange(channel, bytes("02"), response, 1));
        EXPECT_EQ(hex(response), "61");
        EXPECT_TRUE(channel.receive(response, 1, 7, 9));
        EXPECT_EQ(hex(response), "62");
        EXPECT_EQ(channel.trace(), "OFWRFWRR");
    }
}

// Writes a marker instead of the payload.
class Impostor : public ProtocolSingleFrame {
  public:
    bool send(Communication* channel, uint32_t txId, uint32_t rxId, const Bytes&) override {
        return writeFrame(channel, txId, rxId, bytes("FF"));
    }
};

// A protocol that cannot wait on for the awaited message delivers what came; a reply the filter refuses
// fails the receive and is said so on standard output, with its first 16 bytes and the channel.
TEST(Communication, RefusedReplyIsReportedWithItsFirstBytes) {
    const auto answersBb = [](const Bytes& m) { return m.size() >= 2 && m[0] == 0xFB && m[1] == 0xFF; };
    ScriptedChannel channel(30, 4);
    channel.reply(counting(20, 0xA0)).reply(bytes("FB FF 01"));
    Bytes out;
    CoutCapture report;
    EXPECT_FALSE(channel.receive(out, 8, 1, 2, answersBb));
    EXPECT_EQ(
        report.take(),
        "Reply dropped, it does not answer the request (20 bytes): A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC "
        "AD AE AF ...\n Offending Communication: COM_Scripted 4\n");
    EXPECT_TRUE(channel.receive(out, 8, 1, 2, answersBb));
    EXPECT_EQ(report.take(), "");
    EXPECT_EQ(hex(out), "FB FF 01");
}

TEST(Communication, RegistryKeepsTheFirstProtocolOfAName) {
    ScriptedChannel channel;
    Impostor impostor;
    EXPECT_FALSE(channel.registerProtocol(&impostor));
    EXPECT_FALSE(channel.registerProtocol(nullptr));
    EXPECT_TRUE(channel.selectProtocolUnlocked(kSingle));
    EXPECT_TRUE(channel.send(bytes("01 02"), 1, 2));
    EXPECT_EQ(hex(channel.writtenBytes().back()), "01 02");

    ProtocolFiatTP tp(0x43);
    EXPECT_TRUE(channel.registerProtocol(&tp));
    EXPECT_FALSE(channel.registerProtocol(&tp));
    EXPECT_TRUE(channel.selectProtocolUnlocked("PROTOCOL_StandardizedCanFiatTP"));
    EXPECT_EQ(channel.getCurrentProtocol(), &tp);
    EXPECT_TRUE(channel.send(bytes("01 02"), 1, 2));
    EXPECT_EQ(hex(channel.writtenBytes().back()), "43 02 01 02 00 00 00 00");
}

TEST(Communication, WithoutCurrentProtocolSendAndReceiveFailWithoutTraffic) {
    ScriptedChannel channel;
    EXPECT_FALSE(channel.selectProtocolUnlocked("PROTOCOL_Unknown"));
    EXPECT_EQ(channel.getCurrentProtocol(), nullptr);
    channel.reply(bytes("01"));
    Bytes out;
    EXPECT_FALSE(channel.send(bytes("01"), 1, 2));
    EXPECT_FALSE(channel.receive(out, 8, 1, 2));
    EXPECT_FALSE(channel.sendAndReceive(bytes("01"), out, 8, 1, 2));
    // Only the discards before the two requests.
    EXPECT_EQ(channel.trace(), "OFF");
    // Raw frames need no protocol.
    EXPECT_TRUE(channel.sendRaw(bytes("01"), 1, 2));
    // Selecting a registered name again restores the channel.
    EXPECT_TRUE(channel.selectProtocol(kSingle));
    EXPECT_TRUE(channel.send(bytes("02"), 1, 2));
    EXPECT_EQ(channel.trace(), "OFFWFW");
}

TEST(Communication, SendRawBypassesTheProtocol) {
    ScriptedChannel channel;
    ASSERT_TRUE(channel.selectProtocolUnlocked(kLine));
    EXPECT_TRUE(channel.sendRaw(bytes("41"), 1, 2));
    EXPECT_TRUE(channel.send(bytes("41"), 1, 2));
    EXPECT_EQ(hex(channel.writtenBytes()), (std::vector<std::string>{"41", "41 0A"}));
}

TEST(Communication, FailedOpenIsTriedOnceAndFailsEveryLockedOperation) {
    ScriptedChannel channel;
    channel.setOpenResult(false);
    channel.reply(bytes("01"));
    Bytes out;
    EXPECT_FALSE(channel.ensureInit());
    EXPECT_FALSE(channel.send(bytes("01"), 1, 2));
    EXPECT_FALSE(channel.sendRaw(bytes("01"), 1, 2));
    EXPECT_FALSE(channel.receive(out, 8, 1, 2));
    EXPECT_FALSE(channel.sendAndReceive(bytes("01"), out, 8, 1, 2));
    EXPECT_FALSE(channel.selectProtocol(kSingle));
    EXPECT_FALSE(channel.flushReceiveLocked(2));
    EXPECT_FALSE(channel.sendBreakLocked(10));
    EXPECT_EQ(channel.lookupAnswerId(1), 0xFFFFFFFFu);
    EXPECT_FALSE(channel.ensureInit());
    EXPECT_EQ(channel.trace(), "O");
}

TEST(Communication, OpensOnceForAllOperations) {
    ScriptedChannel channel;
    EXPECT_TRUE(channel.ensureInit());
    EXPECT_TRUE(channel.send(bytes("01"), 1, 2));
    EXPECT_TRUE(channel.ensureInit());
    EXPECT_EQ(channel.callCount(ChannelCall::Kind::Open), 1u);
}

TEST(Communication, SingleCallWrappers) {
    ScriptedChannel channel;
    channel.setAnswerId(0x7E8);
    EXPECT_TRUE(channel.flushReceiveLocked(5));
    EXPECT_TRUE(channel.sendBreakLocked(12));
    EXPECT_EQ(channel.lookupAnswerId(1), 0x7E8u);
    // Operations the scripted channel leaves to the base.
    EXPECT_FALSE(channel.sendByteAtBaudLocked(0x55, 9600));
    EXPECT_FALSE(channel.releaseDeviceLocked(0));
    EXPECT_FALSE(channel.auxDeviceRequestLocked(0));
    EXPECT_EQ(channel.trace(), "OFB");
    EXPECT_EQ(channel.calls()[1].rxId, 5u);
    EXPECT_EQ(channel.calls()[2].count, 12u);
}

TEST(Communication, DefaultFormNeverOpens) {
    Communication& channel = Communication::defaultInstance();
    EXPECT_EQ(channel.getComParams(), nullptr);
    EXPECT_FALSE(channel.ensureInit());
    EXPECT_FALSE(channel.send(bytes("01"), 1, 2));
    EXPECT_FALSE(channel.selectProtocolUnlocked(kSingle));
    EXPECT_EQ(channel.lookupAnswerId(0), 0xFFFFFFFFu);
}

TEST(Communication, BaseBusOperations) {
    Communication& channel = Communication::defaultInstance();
    Bytes out;
    EXPECT_FALSE(channel.write(1, 2, bytes("01")));
    EXPECT_FALSE(channel.read(1, 2, out, 8));
    EXPECT_FALSE(channel.flushReceive(2));
    EXPECT_TRUE(channel.sendBreak(1));
    EXPECT_EQ(channel.getAnswerId(1), 0u);
    EXPECT_EQ(channel.available(2), 0u);
    EXPECT_EQ(channel.typeCode(), 0u);
    EXPECT_TRUE(channel.checkOpen());
    EXPECT_TRUE(channel.checkClose());
    EXPECT_TRUE(channel.setRxIds({1, 2}));
}

// The lock is not left held by the calling thread: another thread gets through at once.
void expectLockFree(ScriptedChannel& channel) {
    auto other = std::async(std::launch::async, [&] { return channel.flushReceiveLocked(1); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(other.get());
}

TEST(Communication, FailedOpenCheckIsReportedAndSendsNothing) {
    ScriptedChannel channel(ScriptedChannel::kDefaultRxTimeoutMs, 77);
    channel.throwOnCheckOpen(5);
    CoutCapture out;
    EXPECT_FALSE(channel.send(bytes("01"), 1, 2));
    EXPECT_EQ(out.take(),
              "Could not open Communication: Scripted channel refused. Error number: 5\n"
              " Offending Communication: COM_Scripted 77\n");
    channel.throwOnCheckOpen();
    Bytes response;
    EXPECT_FALSE(channel.sendAndReceive(bytes("01"), response, 8, 1, 2));
    EXPECT_EQ(out.take(),
              "Could not open Communication: Scripted channel refused\n"
              " Offending Communication: COM_Scripted 77\n");
    EXPECT_EQ(channel.trace(), "O");
    expectLockFree(channel);
}

// The report selects decimal for the id and, like every number this system prints, leaves it so.
TEST(Communication, ChannelIdInTheReportIsDecimalAndLeavesTheStreamDecimal) {
    ScriptedChannel channel(ScriptedChannel::kDefaultRxTimeoutMs, 0xFFFFFFFF);
    channel.throwOnCheckOpen();
    CoutCapture out;
    std::cout << std::hex;
    EXPECT_FALSE(channel.sendRaw(bytes("01"), 1, 2));
    std::cout << 255;
    std::cout << std::dec;
    EXPECT_EQ(out.take(),
              "Could not open Communication: Scripted channel refused\n"
              " Offending Communication: COM_Scripted 4294967295\n255");
}

TEST(Communication, FailedCloseCheckIsReportedAfterTheTraffic) {
    ScriptedChannel channel;
    channel.throwOnCheckClose();
    CoutCapture out;
    EXPECT_FALSE(channel.send(bytes("01"), 1, 2));
    EXPECT_EQ(out.take(), "Could not close Communication\n Offending Communication: COM_Scripted\n");
    EXPECT_EQ(channel.trace(), "OFW");
    expectLockFree(channel);
}

TEST(CommunicationBadOpen, Texts) {
    const Communication::bad_open plain;
    EXPECT_EQ(plain.errorNumber, Communication::bad_open::kNoErrorNumber);
    EXPECT_STREQ(plain.what(), "Could not open Communication: Unknown communication (base class) type");
    EXPECT_EQ(plain.description(), "Unknown communication (base class) type");
    const Communication::bad_open numbered(5);
    EXPECT_STREQ(numbered.what(),
                 "Could not open Communication: Unknown communication (base class) type. Error number: 5");
    EXPECT_STREQ(Communication::bad_open(-2).what(),
                 "Could not open Communication: Unknown communication (base class) type. Error number: -2");
    const ScriptedOpenError other(5);
    EXPECT_STREQ(other.what(), "Could not open Communication: Scripted channel refused. Error number: 5");
    // Each object keeps its own text while it lives.
    const char* first = plain.what();
    EXPECT_EQ(plain.what(), first);
    EXPECT_STRNE(plain.what(), other.what());
    const std::exception& asBase = other;
    EXPECT_STREQ(asBase.what(), "Could not open Communication: Scripted channel refused. Error number: 5");
}

TEST(Communication, ExchangeIsNotInterleavedWithAnotherThread) {
    ScriptedChannel channel(2000);
    channel.late(bytes("51"), 150);
    std::atomic<bool> requestWritten{false};
    channel.onWrite([&](ScriptedChannel&, const testing_support::WrittenFrame& f) {
        if (f.bytes == bytes("A1")) {
            requestWritten = true;
        }
    });
    Bytes response;
    std::thread first([&] { EXPECT_TRUE(channel.sendAndReceive(bytes("A1"), response, 1, 1, 2)); });
    while (!requestWritten) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(channel.send(bytes("B2"), 1, 2));
    first.join();
    EXPECT_EQ(channel.trace(), "OFWRFW");
    EXPECT_EQ(hex(channel.writtenBytes().back()), "B2");
    EXPECT_EQ(hex(response), "51");
}

}  // namespace
