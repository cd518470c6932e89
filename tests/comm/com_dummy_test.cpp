// The loop-back channel: keeps the last frame written, answers every read with the response set.
#include <gtest/gtest.h>

#include <string>

#include "comm/ComDummy.h"
#include "comm/ComParams.h"
#include "comm/ProtocolFiatTP.h"
#include "tests/support/bytes.h"

namespace {

using testing_support::bytes;
using testing_support::Bytes;
using testing_support::counting;
using testing_support::hex;

const std::string kLine = "PROTOCOL_ProtocolSingleByteTailOnSend_LF";

TEST(ComDummy, FreshChannelHasSentNothingAndReceivesNothing) {
    ComDummy channel(ComParams(3), 9);
    Bytes sent = bytes("EE");
    channel.getLastSent(sent);
    EXPECT_TRUE(sent.empty());
    Bytes out = bytes("EE");
    EXPECT_TRUE(channel.receive(out, 8, 1, 2));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(channel.name(), "COM_Dummy");
}

TEST(ComDummy, ReceiveReturnsTheResponseWhateverTheCount) {
    ComDummy channel(ComParams(0), 0);
    channel.setResponse(bytes("01 02 03"));
    for (const uint32_t count : {1u, 3u, 8u, 1000u}) {
        Bytes out;
        EXPECT_TRUE(channel.receive(out, count, 5, 6));
        EXPECT_EQ(hex(out), "01 02 03") << count;
    }
}

TEST(ComDummy, KeepsTheLastFrameWritten) {
    ComDummy channel(ComParams(0), 0);
    ASSERT_TRUE(channel.selectProtocolUnlocked(kLine));
    EXPECT_TRUE(channel.send(bytes("10 20"), 1, 2));
    Bytes sent;
    channel.getLastSent(sent);
    EXPECT_EQ(hex(sent), "10 20 0A");
    EXPECT_TRUE(channel.sendRaw(bytes("30"), 1, 2));
    channel.getLastSent(sent);
    EXPECT_EQ(hex(sent), "30");
}

TEST(ComDummy, CopiesTheParametersAsAPlainRecordWithDefaultTimeOuts) {
    const ComParamsSerial serial(4, 115200, 50, 20, 9000, 1);
    ComDummy channel(serial, 0);
    const ComParams* own = channel.getComParams();
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, &serial);
    EXPECT_EQ(own->id, 4u);
    EXPECT_EQ(own->rxTimeoutMs, 2000u);
    EXPECT_EQ(own->firstByteTimeoutMs, 200u);
    EXPECT_EQ(own->interByteTimeoutMs, 100u);
    EXPECT_EQ(dynamic_cast<const ComParamsSerial*>(own), nullptr);
}

// The response is the same for every read, of whatever size: the transport must never read past it.
TEST(ComDummy, TransportOverTheLoopBack) {
    ComDummy channel(ComParams(0), 0);
    ProtocolFiatTP tp(0x43);
    ASSERT_TRUE(channel.registerProtocol(&tp));
    ASSERT_TRUE(channel.selectProtocolUnlocked(tp.name()));
    const struct {
        std::string response;
        bool result;
        std::string out;
    } cases[] = {
        {"43 03 0A 0B 0C 00 00 00", true, "0A 0B 0C"},
        {"43 03 0A", false, ""},
        {"", false, ""},
        {"43 07 01 02 03 04 05 06", false, ""},
        // A first frame of 7 answers itself: its flow control is written, then the first frame is read
        // again where the consecutive frame is due. That begins a new message, never data, and the
        // receive time-out of 0 is over.
        {"43 10 07 01 02 03 04 05", false, ""},
        {"43 10 0D 01 02", false, ""},
    };
    for (const auto& c : cases) {
        channel.setResponse(bytes(c.response));
        Bytes out;
        EXPECT_EQ(channel.receive(out, 8, 1, 2), c.result) << c.response;
        EXPECT_EQ(hex(out), c.out) << c.response;
    }
    // A segmented send leaves its last frame; the flow control is the response.
    channel.setResponse(bytes("43 30 00 00 00 00 00 00"));
    tp.setStandardized(true);
    EXPECT_TRUE(channel.send(counting(12), 1, 2));
    Bytes sent;
    channel.getLastSent(sent);
    EXPECT_EQ(hex(sent), "43 22 0B 00 00 00 00 00");
}

TEST(ComDummy, ProcessWideInstance) {
    ComDummy& channel = ComDummy::instance();
    EXPECT_EQ(&channel, &ComDummy::instance());
    EXPECT_EQ(channel.getComParams()->id, 0u);
    EXPECT_TRUE(channel.ensureInit());
}

}  // namespace
