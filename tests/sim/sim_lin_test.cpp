// The simulator as LIN slave, driven by the tool's LIN master channel, LIN transport and VORh850Gen:
// single-frame requests and replies, multi-frame requests after the ECU's flow control, multi-frame
// replies fetched frame by frame, and the replies of the simulator's faults, one frame per header.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "comm/ComVXLapiLIN.h"
#include "comm/ProtocolFiatTP_LIN.h"
#include "ecu/VORh850Gen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/sim/sim_fixture.h"

namespace simtest {
namespace {

// The tool's LIN side as the front end builds it: master serving its own request frames 0x3C.
struct LinTool {
    LinTool()
        : channel(ComParamsVXLapiLIN(10000, XL_LIN_MASTER, true, {0x3C}, Bytes(8, 0x00), XL_LIN_VERSION_2_0,
                                     19200, XL_HWTYPE_VN1640, 0, 0),
                  0),
          protocol(0x73),
          ecu(&channel, 0x73) {
        ecuConnectState() = EcuConnectState{};
        protocol.setStandardized(true);
        channel.setChecksumModel(0x3C, false);
        channel.setChecksumModel(0x3D, false);
        attached = ecu.useProtocol(&protocol) && ecu.setCanIds(0x3C, 0x3D);
    }
    ComVXLapiLIN channel;
    ProtocolFiatTP_LIN protocol;
    VORh850Gen ecu;
    bool attached = false;
};

class LinTest : public ToolSimTest<LinTool> {
  protected:
    void SetUp() override {
        sim::Config config = configFor(sim::EcuClass::kRh850);
        config.lin = true;
        config.ecuInfo = 0x00C0FFEE;
        startWith(config);
    }
};

TEST_F(LinTest, SingleFrameServicesAndMultiFrameWrites) {
    ecutest::StreamCapture out;
    ASSERT_TRUE(tool->ecu.Login()) << out.error() << out.warning();
    uint32_t info = 0;
    ASSERT_TRUE(tool->ecu.GetEcuInfo(info)) << out.error();
    EXPECT_EQ(info, 0x00C0FFEEu);
    // 263 bytes: a first frame, the armed flow control, 43 consecutive frames.
    const Bytes data = pattern(0x100);
    ASSERT_TRUE(tool->ecu.FlashCode(data, 0x10000, data.size(), true, nullptr, 1, 0x100)) << out.error();
    Bytes back;
    ASSERT_TRUE(simulator->peek(sim::Space::kCode, 0x10000, 0x100, &back));
    EXPECT_EQ(back, data);
    // Served again by single frames after the long request.
    EXPECT_TRUE(tool->ecu.SetEcuInfo(0x01020304)) << out.error();
    EXPECT_EQ(simulator->ecuInfo(), 0x01020304u);
}

// Two pages in 512-byte packets: each reply is a first frame and 85 consecutive frames.
TEST_F(LinTest, CodeReadsFetchEveryFrame) {
    ecutest::StreamCapture out;
    ASSERT_TRUE(tool->ecu.Login());
    const Bytes code = pattern(0x400, 0x21);
    ASSERT_TRUE(simulator->poke(sim::Space::kCode, 0x20000, code));
    Bytes back(code.size());
    ASSERT_TRUE(tool->ecu.ReadCode(back, 0x20000, back.size(), nullptr, 2)) << out.error();
    EXPECT_EQ(back, code);
    uint32_t info = 0;
    EXPECT_TRUE(tool->ecu.GetEcuInfo(info)) << out.error();
}

// The frame the ECU sends for the next header, asked for until it is not the flow control it keeps
// armed while it has nothing else (its replies are queued a moment after the request).
Bytes nextEcuFrame(ComVXLapiLIN& channel) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    Bytes frame;
    while (std::chrono::steady_clock::now() < deadline) {
        frame.clear();
        if (channel.write(0x3D, 0, {}) && channel.read(0, 0x3D, frame, 8) && frame.size() >= 2 &&
            frame[1] != 0x30) {
            return frame;
        }
    }
    return frame;
}

// "Response pending" twice, then the reply, then its copy: each frame on a header of its own, in
// order; the next request drops the copy nobody fetched.
TEST_F(LinTest, FaultRepliesGoOutOneFramePerHeader) {
    ecutest::StreamCapture out;
    ASSERT_TRUE(tool->ecu.Login());
    simulator->addFault({sim::FaultKind::kPending, {0xBB, 0xFF}, 2, 1});
    simulator->addFault({sim::FaultKind::kDuplicate, {0xBB, 0xFF}, 0, 0});
    ASSERT_TRUE(tool->channel.send({0xBB, 0xFF}, 0x3C, 0x3D));
    const Bytes pending = {0x73, 0x03, 0x7F, 0xBB, 0x78, 0x00, 0x00, 0x00};
    const Bytes reply = {0x73, 0x06, 0xFB, 0xFF, 0x00, 0xC0, 0xFF, 0xEE};
    for (const Bytes& expected : {pending, pending, reply, reply}) {
        EXPECT_EQ(nextEcuFrame(tool->channel), expected);
    }
    // The copy of the next reply is left in the ECU's queue; the request after it drops it, so the
    // ECU information read gets its own answer.
    ASSERT_TRUE(tool->channel.send({0xBB, 0xFF}, 0x3C, 0x3D));
    EXPECT_EQ(nextEcuFrame(tool->channel), reply);
    EXPECT_TRUE(tool->ecu.SetEcuInfo(0x01020304)) << out.error();
    uint32_t info = 0;
    EXPECT_TRUE(tool->ecu.GetEcuInfo(info)) << out.error();
    EXPECT_EQ(info, 0x01020304u);
}

// A read whose reply loses a consecutive frame fails and leaves nothing of it behind: the doubled
// read reply after it and the ECU information read get their own answers.
TEST_F(LinTest, AReplyThatFailsLeavesNothingBehind) {
    ecutest::StreamCapture out;
    ASSERT_TRUE(tool->ecu.Login());
    const Bytes code = pattern(0x100, 0x35);
    ASSERT_TRUE(simulator->poke(sim::Space::kCode, 0x30000, code));
    simulator->addFault({sim::FaultKind::kDropConsecutive, {0xBB, 0x71}, 3, 1});
    tool->ecu.setReceiveTimeout(300);
    Bytes back(code.size());
    EXPECT_FALSE(tool->ecu.ReadCode(back, 0x30000, back.size(), nullptr, 1));
    simulator->addFault({sim::FaultKind::kDuplicate, {0xBB, 0x71}, 0, 1});
    tool->ecu.setReceiveTimeout(2000);
    std::fill(back.begin(), back.end(), 0);
    ASSERT_TRUE(tool->ecu.ReadCode(back, 0x30000, back.size(), nullptr, 1)) << out.error();
    EXPECT_EQ(back, code);
    uint32_t info = 0;
    EXPECT_TRUE(tool->ecu.GetEcuInfo(info)) << out.error();
    EXPECT_EQ(info, 0x00C0FFEEu);
}

}  // namespace
}  // namespace simtest
