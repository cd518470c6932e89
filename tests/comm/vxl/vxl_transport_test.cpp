// The CAN transport protocol between two Vector CAN channels on one virtual bus: a tester and an ECU
// side, each on a thread of its own. The receiving side's one flow control (block size 0xFF) lets a
// standardized sender send 255 consecutive frames, so a message here has at most 5 + 255 * 6 bytes.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "comm/ProtocolFiatTP.h"
#include "tests/comm/vxl/vxl_fixture.h"
#include "tests/support/bytes.h"

namespace vxltest {
namespace {

using testing_support::Bytes;
using xltest::kA;
using xltest::kB;

constexpr uint32_t kTesterTx = 0x7E0;  // requests
constexpr uint32_t kEcuTx = 0x7E8;     // answers

Bytes payload(size_t n, uint8_t seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return out;
}

class TransportTest : public ChannelTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(TransportTest, RequestAndAnswerCrossTheBus) {
    const size_t n = GetParam();
    auto tester = openChannel(canParams(kA), kEcuTx);
    auto ecu = openChannel(canParams(kB), kTesterTx);
    ProtocolFiatTP testerTp(0x43);
    ProtocolFiatTP ecuTp(0x43);
    testerTp.setStandardized(true);
    ecuTp.setStandardized(true);
    ASSERT_TRUE(tester->registerProtocol(&testerTp));
    ASSERT_TRUE(tester->selectProtocolUnlocked(testerTp.name()));
    ASSERT_TRUE(ecu->registerProtocol(&ecuTp));
    ASSERT_TRUE(ecu->selectProtocolUnlocked(ecuTp.name()));

    const Bytes request = payload(n, 0x10);
    const Bytes answer = payload(n == 1 ? 3 : n - 1, 0x80);
    Bytes received;
    bool ecuOk = false;
    std::thread ecuSide([&] {
        ecuOk = ecu->receive(received, 1, kEcuTx, kTesterTx) && ecu->send(answer, kEcuTx, kTesterTx);
    });
    Bytes response;
    const bool testerOk = tester->sendAndReceive(request, response, 1, kTesterTx, kEcuTx);
    ecuSide.join();
    EXPECT_TRUE(testerOk);
    EXPECT_TRUE(ecuOk);
    EXPECT_EQ(received, request);
    EXPECT_EQ(response, answer);
}

INSTANTIATE_TEST_SUITE_P(Lengths, TransportTest, ::testing::Values(1, 6, 7, 100, 1535),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return "Bytes" + std::to_string(info.param);
                         });

using LostReplyTest = ChannelTest;

// The longest reply lost after its first frame: the tester's receive gives up at the second
// consecutive frame in a row that does not come, two receive time-outs after its flow control, not
// one time-out per frame announced (682 here).
TEST_F(LostReplyTest, LongestReplyLostAfterItsFirstFrameEndsAfterTwoReceiveTimeOuts) {
    auto tester = openChannel(canParams(kA), kEcuTx);
    auto ecu = openChannel(canParams(kB), kTesterTx);
    ProtocolFiatTP testerTp(0x43);
    testerTp.setStandardized(true);
    ASSERT_TRUE(tester->registerProtocol(&testerTp));
    ASSERT_TRUE(tester->selectProtocolUnlocked(testerTp.name()));
    tester->setRxTimeout(300);
    ASSERT_TRUE(ecu->write(kEcuTx, 8, {0x43, 0x1F, 0xFF, 1, 2, 3, 4, 5}));

    Bytes response;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(tester->receive(response, 1, kTesterTx, kEcuTx));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(590));
    EXPECT_LT(elapsed, std::chrono::milliseconds(900));
    ASSERT_EQ(response.size(), 4095u);
    EXPECT_EQ(Bytes(response.begin(), response.begin() + 6), (Bytes{1, 2, 3, 4, 5, 0}));
    // The one flow control went out.
    ASSERT_TRUE(waitQueued(*ecu, kTesterTx, 8));
    Bytes flowControl;
    EXPECT_TRUE(ecu->read(0, kTesterTx, flowControl, 8));
    EXPECT_EQ(flowControl, (Bytes{0x43, 0x30, 0xFF, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace vxltest
