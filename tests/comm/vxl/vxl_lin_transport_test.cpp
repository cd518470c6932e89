// The LIN transport between two processes: the tool's master channel here, the ECU as a LinSlavePeer
// in a child process forked before any driver is open. Every frame of the ECU travels only when the
// master sends the 0x3D header: the flow control for a multi-frame request, a single-frame reply, and
// each frame of a multi-frame reply, the consecutive frames after the tool's flow control.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "comm/ComVXLapiLIN.h"
#include "comm/ProtocolFiatTP_LIN.h"
#include "tests/comm/vxl/vxl_fixture.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "xl/lin_slave_peer.h"

namespace vxltest {
namespace {

using testing_support::Bytes;
using testing_support::ChildProcess;

constexpr uint32_t kTx = 0x3C;
constexpr uint32_t kRx = 0x3D;
constexpr uint32_t kMasterChannel = 5;  // Lin F
constexpr uint32_t kEcuChannel = 1;     // Bench B

// Child side: the ECU's script. first holds the frames the ECU serves first, queued before the ECU
// tells the test it is ready, so that no header of the tool can come before them; run then follows
// the exchange, exit code 0 when every frame it got was the expected one.
struct Script {
    std::vector<Bytes> first;
    int (*run)(xl::LinSlavePeer& ecu);
};

int runEcu(ChildProcess& me, const Script& script) {
    std::string error;
    auto ecu =
        xl::LinSlavePeer::open({.hwType = kHwType, .hwIndex = kHwIndex, .hwChannel = kEcuChannel}, &error);
    if (!ecu) {
        return 100;
    }
    for (const Bytes& frame : script.first) {
        ecu->queueResponse(frame);
    }
    me.send('r');
    const int result = script.run(*ecu);
    me.send('d');
    me.receive();  // the test's end: the ECU stays on the bus until then
    return result;
}

class LinTransportTest : public ChannelTest {
  protected:
    bool openDriverFirst() const override { return false; }
    void TearDown() override {
        tool.reset();  // before the fixture closes what is left of the driver
        ChannelTest::TearDown();
    }

    // Forks the ECU, then opens the tool's channel with the protocol selected.
    void start(const Script& script) {
        ecu = std::make_unique<ChildProcess>([script](ChildProcess& me) { return runEcu(me, script); });
        ASSERT_TRUE(ecu->started());
        ASSERT_EQ(ecu->receive(), 'r');
        ComParamsVXLapiLIN params(1000, XL_LIN_MASTER, true, {kTx}, {}, 1, 19200, kHwType, kHwIndex,
                                  kMasterChannel);
        tool = std::make_unique<ComVXLapiLIN>(params, 1);
        protocol.setStandardized(true);
        ASSERT_TRUE(tool->registerProtocol(&protocol));
        ASSERT_TRUE(tool->selectProtocolUnlocked(protocol.name()));
        ASSERT_TRUE(tool->ensureInit()) << tool->getLastError();
        tool->setRxTimeout(200);
    }
    // The ECU's script result.
    int finish() {
        EXPECT_EQ(ecu->receive(), 'd');
        ecu->send('e');
        return ecu->wait();
    }

    ProtocolFiatTP_LIN protocol{0x73};
    std::unique_ptr<ComVXLapiLIN> tool;
    std::unique_ptr<ChildProcess> ecu;
};

Bytes payload20() {
    Bytes p(20);
    for (size_t i = 0; i < p.size(); ++i) {
        p[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return p;
}

// First frame, the flow control fetched by a header, three consecutive frames; then a single-frame
// reply fetched by the reception's header request. The tool sends its header right after the first
// frame, so the flow control is served first.
int multiFrameRequestScript(xl::LinSlavePeer& ecu) {
    Bytes frame;
    if (!ecu.nextRequest(frame, 5000) || frame != Bytes{0x73, 0x10, 0x14, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4}) {
        return 1;
    }
    Bytes received(frame.begin() + 3, frame.end());
    for (uint8_t sn = 1; sn <= 3; ++sn) {
        if (!ecu.nextRequest(frame, 5000) || frame.size() != 8 || frame[0] != 0x73 ||
            frame[1] != (0x20 | sn)) {
            return 2;
        }
        received.insert(received.end(), frame.begin() + 2, frame.end());
    }
    received.resize(20);
    if (received != payload20() || ecu.responsesSent() != 1) {
        return 3;
    }
    ecu.queueResponse({0x73, 0x03, 0x50, 0x01, 0x02});
    waitUntil([&] { return ecu.pendingResponses() == 0; });
    return ecu.responsesSent() == 2 ? 0 : 4;
}

TEST_F(LinTransportTest, MultiFrameRequestThenSingleFrameReply) {
    start({{{0x73, 0x30, 0x00, 0x00}}, multiFrameRequestScript});
    ASSERT_TRUE(tool->send(payload20(), kTx, kRx));
    Bytes reply;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(tool->receive(reply, 1, kTx, kRx));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(40));  // 20 ms twice
    EXPECT_EQ(reply, (Bytes{0x50, 0x01, 0x02}));
    EXPECT_EQ(finish(), 0);
}

// A multi-frame reply: its first frame comes with the first header; the ECU queues its consecutive
// frames once the tool's flow control has come, and the tool fetches each with a header of its own.
int multiFrameReplyScript(xl::LinSlavePeer& ecu) {
    Bytes frame;
    if (!ecu.nextRequest(frame, 5000) || frame != Bytes{0x73, 0x30, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00}) {
        return 1;
    }
    ecu.queueResponse({0x73, 0x21, 6, 7, 8, 9, 10, 11});
    ecu.queueResponse({0x73, 0x22, 12, 13});
    waitUntil([&] { return ecu.pendingResponses() == 0; });
    return ecu.responsesSent() == 3 ? 0 : 2;
}

TEST_F(LinTransportTest, MultiFrameReplyIsFetchedFrameByFrame) {
    start({{{0x73, 0x10, 0x0D, 1, 2, 3, 4, 5}}, multiFrameReplyScript});
    Bytes reply;
    EXPECT_TRUE(tool->receive(reply, 1, kTx, kRx));
    EXPECT_EQ(reply, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    EXPECT_EQ(finish(), 0);
}

// A long multi-frame reply (258 bytes, 43 consecutive frames announced) of which only the first frame
// comes: the flow control goes out, headers ask for the next frame, and the reception gives up at the
// second receive time-out in a row that brings nothing, not after one per frame; the 1000 ms are over
// by then.
int longMultiFrameReplyScript(xl::LinSlavePeer& ecu) {
    Bytes frame;
    if (!ecu.nextRequest(frame, 5000) || frame != Bytes{0x73, 0x30, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00}) {
        return 1;
    }
    return ecu.responsesSent() == 1 ? 0 : 2;
}

TEST_F(LinTransportTest, LongMultiFrameReplyEndsAfterTwoReceiveTimeOuts) {
    start({{{0x73, 0x11, 0x02, 0xFB, 1, 2, 3, 4}}, longMultiFrameReplyScript});
    tool->setRxTimeout(1000);
    Bytes reply;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(tool->receive(reply, 1, kTx, kRx));
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    // A third receive time-out would end beyond the upper bound, which leaves a loaded machine room.
    EXPECT_GE(elapsed, std::chrono::milliseconds(40 + 2 * 1000 - 10));
    EXPECT_LT(elapsed, std::chrono::milliseconds(40 + 2 * 1000 + 500));
    EXPECT_EQ(finish(), 0);
}

}  // namespace
}  // namespace vxltest
