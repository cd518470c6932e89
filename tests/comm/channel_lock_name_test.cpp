// Runs alone in its process: the first device initialised there opens the process's first two named
// locks, its own and then its channel's, and holds them by those names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "comm/Device.h"
#include "platform/event.h"
#include "platform/named_mutex.h"
#include "tests/support/bytes.h"
#include "tests/support/mutex_prober.h"
#include "tests/support/scripted_channel.h"
#include "tests/support/shared_names.h"

namespace {

using testing_support::bytes;
using testing_support::MutexProber;
using testing_support::ScriptedChannel;
using testing_support::SegmentCleanup;
using testing_support::WrittenFrame;

class ConnectingDevice : public Device {
  public:
    using Device::Device;
    bool connect() override { return true; }
};

std::string lockName(const std::string& name, uint32_t id, unsigned counter) {
    char text[128];
    std::snprintf(text, sizeof text, "VO_MUTEX_%s_%x__0x%016x", name.c_str(), id, counter);
    return text;
}

bool segmentExists(const std::string& name) {
    const int fd = shm_open(platform::NamedMutex::systemNameFor(name).c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

TEST(ChannelLockNames, DeviceLockIsCounterZeroAndChannelLockCounterOne) {
    // Identifiers of this process, so that no other run shares the names.
    const uint32_t deviceId = static_cast<uint32_t>(getpid());
    const uint32_t channelId = deviceId + 1;
    const std::string deviceLock = lockName("DEV_UnnamedDev", deviceId, 0);
    const std::string channelLock = lockName("COM_Scripted", channelId, 1);
    const SegmentCleanup cleanDevice(deviceLock);
    const SegmentCleanup cleanChannel(channelLock);
    ASSERT_FALSE(segmentExists(deviceLock));
    ASSERT_FALSE(segmentExists(channelLock));

    // Other processes that take the two locks by name when asked to.
    MutexProber deviceProber(deviceLock);
    MutexProber channelProber(channelLock);

    ScriptedChannel channel(ScriptedChannel::kDefaultRxTimeoutMs, channelId);
    channel.reply(bytes("49 44"));
    ConnectingDevice device(&channel, deviceId);
    ASSERT_TRUE(device.ensureInit());

    uint32_t deviceDuringSend = platform::kWaitFailed;
    uint32_t channelDuringSend = platform::kWaitFailed;
    channel.onWrite([&](ScriptedChannel&, const WrittenFrame&) {
        deviceDuringSend = deviceProber.take(50);
        channelDuringSend = channelProber.take(50);
    });
    ASSERT_TRUE(device.send(bytes("01")));
    EXPECT_EQ(deviceDuringSend, platform::kWaitTimeout);
    EXPECT_EQ(channelDuringSend, platform::kWaitTimeout);

    // Both are given back after the operation.
    EXPECT_EQ(deviceProber.take(1000), platform::kWaitObject0);
    EXPECT_EQ(channelProber.take(1000), platform::kWaitObject0);
    EXPECT_TRUE(deviceProber.release());
    EXPECT_TRUE(channelProber.release());
}

}  // namespace
