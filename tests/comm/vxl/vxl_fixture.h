#pragma once
// Vector CAN channels on the private virtual driver of tests/xl: the six channels of that bench plus
// one configured at hardware channel 16, outside the channel's mask tables.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "comm/ComParams.h"
#include "comm/ComVXLapiCAN.h"
#include "tests/xl/xl_fixture.h"

namespace vxltest {

using xltest::waitUntil;

// Hardware type and index of the bench channels.
constexpr uint32_t kHwType = 1;
constexpr uint32_t kHwIndex = 0;
constexpr uint32_t kRxId = 0x7E8;

// A CAN channel whose port the tests may reach.
class ProbeCAN : public ComVXLapiCAN {
  public:
    using ComVXLapiCAN::ComVXLapiCAN;
    ~ProbeCAN() override { stopRxThread(); }
    XLportHandle port() const { return portHandle; }
    XLaccess mask() const { return accessMaskOf(hwChannel()); }
};

inline ComParamsVXLapiCAN canParams(uint32_t hwChannel, uint32_t bitrate = 500000) {
    return ComParamsVXLapiCAN(10000, kHwType, kHwIndex, hwChannel, bitrate);
}

inline ComParamsVXLapiCAN fdParams(uint32_t hwChannel) {
    ComParamsVXLapiCAN p = canParams(hwChannel, 2000000);
    p.canFd = true;
    p.fdArbitrationBitrate = 500000;
    p.fdArbitrationTseg1 = 13;
    p.fdArbitrationTseg2 = 2;
    p.fdArbitrationSjw = 1;
    p.fdDataTseg1 = 5;
    p.fdDataTseg2 = 2;
    p.fdDataSjw = 1;
    return p;
}

class ChannelTest : public xltest::XlTest {
  protected:
    void SetUp() override {
        if (openDriverFirst()) {
            xltest::XlTest::SetUp();
        } else {
            prepareEnvironment();
        }
    }
    // False for tests that fork peer processes first (the driver's I/O thread must not be running
    // at the fork); their channels open the driver themselves.
    virtual bool openDriverFirst() const { return true; }
    // The channel locks get a prefix of this test process (see ProcessLockPrefix).
    std::optional<std::string> lockPrefix() const override { return "tvxl"; }

    std::string configText() const override {
        return std::string(xltest::kTestConfig) + "Far Q, 1, 0, 16, CAN, 11, busA\n";
    }

    // A channel, opened; fails the test when it does not open.
    std::unique_ptr<ProbeCAN> openChannel(const ComParamsVXLapiCAN& params, uint32_t rxId = kRxId) {
        auto channel = std::make_unique<ProbeCAN>(params, rxId);
        EXPECT_TRUE(channel->ensureInit()) << "lastError " << channel->getLastError();
        return channel;
    }

    // Waits up to 5 s until the channel has at least n bytes queued for id.
    static bool waitQueued(ComVXLapiCAN& channel, uint32_t id, uint32_t n) {
        return waitUntil([&] { return channel.available(id) >= n; });
    }
};

}  // namespace vxltest
