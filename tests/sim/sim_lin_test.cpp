// The simulator as LIN slave, driven by the tool's LIN master channel, LIN transport and VORh850Gen:
// single-frame requests and replies, and multi-frame requests after the ECU's flow control.

#include <gtest/gtest.h>

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

TEST_F(LinTest, MultiFrameRepliesCannotReachTheMaster) {
    ecutest::StreamCapture out;
    ASSERT_TRUE(tool->ecu.Login());
    tool->ecu.setReceiveTimeout(30);
    Bytes back(0x100);
    EXPECT_FALSE(tool->ecu.ReadCode(back, 0, back.size(), nullptr, 1));
    // The ECU is not stuck on the reply it could not deliver.
    tool->ecu.setReceiveTimeout(2000);
    uint32_t info = 0;
    EXPECT_TRUE(tool->ecu.GetEcuInfo(info)) << out.error();
}

}  // namespace
}  // namespace simtest
