// The device base: its one-time initialisation, the device-locked operations, transfer, the
// time-out accessors and the worker thread.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "comm/ComParams.h"
#include "comm/Communication.h"
#include "comm/Device.h"
#include "comm/ProtocolFiatTP.h"
#include "comm/UtilMutex.h"
#include "platform/event.h"
#include "platform/named_mutex.h"
#include "tests/comm/mutex_names.h"
#include "tests/support/bytes.h"
#include "tests/support/scripted_channel.h"
#include "tests/support/shared_names.h"

namespace {

using testing_support::bytes;
using testing_support::Bytes;
using testing_support::ChannelCall;
using testing_support::hex;
using testing_support::ScriptedChannel;
using testing_support::WrittenFrame;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kDeviceId = 0x7E0;
constexpr uint32_t kAnswerId = 0x7E8;

// "*IDN?" and the line feed of the line protocol.
const std::string kIdentify = "2A 49 44 4E 3F 0A";

// A device that connects, as the ECU classes do; its connect runs a device operation itself.
class ConnectingDevice : public Device {
  public:
    using Device::Device;
    bool connect() override {
        ++connects;
        return send(std::string("C"));
    }
    int connects = 0;
};

struct ValidDevice : ::testing::Test {
    ValidDevice() {
        channel.setAnswerId(kAnswerId);
        channel.reply(bytes("49 44"));
        EXPECT_TRUE(device.ensureInit());
    }
    // The calls after those of the initialisation.
    std::vector<ChannelCall> laterCalls() const {
        return {channel.calls().begin() + static_cast<std::ptrdiff_t>(initCalls), channel.calls().end()};
    }

    ScriptedChannel channel;
    ConnectingDevice device{&channel, kDeviceId};
    const size_t initCalls = 6;  // open, identify (flush, write and read), connect's flush and write
};

TEST(Device, PlainDeviceNeverBecomesValid) {
    ScriptedChannel channel;
    channel.reply(bytes("49 44"));
    Device device(&channel, kDeviceId);
    EXPECT_FALSE(device.ensureInit());
    // The identification went out and was answered; connect refused.
    EXPECT_EQ(channel.trace(), "OFWR");
    EXPECT_EQ(hex(channel.written()[0].bytes), kIdentify);
    EXPECT_EQ(channel.calls()[3].count, 1000u);
    EXPECT_FALSE(device.send(bytes("01")));
    EXPECT_FALSE(device.sendTo(bytes("01"), 1, 2));
    EXPECT_FALSE(device.ensureInit());
    EXPECT_EQ(channel.trace(), "OFWR");
    // transfer needs neither the device's initialisation nor its lock.
    Bytes response;
    EXPECT_TRUE(device.transfer(bytes("01"), response, 0, 1, 2));
    EXPECT_EQ(channel.trace(), "OFWRFW");
}

TEST_F(ValidDevice, InitialisesOnceAndConnectsWithoutRecursion) {
    EXPECT_EQ(device.connects, 1);
    EXPECT_EQ(channel.trace(), "OFWRFW");
    EXPECT_EQ(hex(channel.written()[1].bytes), "43 0A");
    EXPECT_EQ(device.getAnswerId(), kAnswerId);
    for (const ChannelCall& c : channel.calls()) {
        if (c.kind == ChannelCall::Kind::Write || c.kind == ChannelCall::Kind::Read) {
            EXPECT_EQ(c.txId, kDeviceId);
        }
        if (c.kind != ChannelCall::Kind::Open) {
            EXPECT_EQ(c.rxId, kAnswerId);
        }
    }
    EXPECT_TRUE(device.ensureInit());
    EXPECT_EQ(device.connects, 1);
}

struct DeviceCallCase {
    std::string label;
    std::function<bool(Device&)> call;
    bool result;
    std::string trace;  // of the call alone
    uint32_t txId, rxId;
    std::string bytes;  // written or read
};

void PrintTo(const DeviceCallCase& c, std::ostream* os) {
    *os << c.label;
}

class DeviceCalls : public ValidDevice, public ::testing::WithParamInterface<DeviceCallCase> {};

TEST_P(DeviceCalls, ReachTheChannelWithTheirIdentifiers) {
    const DeviceCallCase& c = GetParam();
    channel.reply(bytes("51 52"));
    EXPECT_EQ(c.call(device), c.result);
    const std::vector<ChannelCall> calls = laterCalls();
    std::string trace;
    for (const ChannelCall& call : calls) {
        trace += call.kind == ChannelCall::Kind::Write   ? 'W'
                 : call.kind == ChannelCall::Kind::Read  ? 'R'
                 : call.kind == ChannelCall::Kind::Flush ? 'F'
                                                         : 'B';
    }
    EXPECT_EQ(trace, c.trace);
    bool first = true;
    for (const ChannelCall& call : calls) {
        if (call.kind == ChannelCall::Kind::Flush) {
            EXPECT_EQ(call.rxId, c.rxId);
        } else if (call.kind == ChannelCall::Kind::Write || call.kind == ChannelCall::Kind::Read) {
            EXPECT_EQ(call.txId, c.txId);
            EXPECT_EQ(call.rxId, c.rxId);
            if (first) {
                EXPECT_EQ(hex(call.bytes), c.bytes);
                first = false;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, DeviceCalls,
    ::testing::Values(
        DeviceCallCase{"Send", [](Device& d) { return d.send(bytes("01 02")); }, true, "FW", kDeviceId,
                       kAnswerId, "01 02 0A"},
        DeviceCallCase{"SendText", [](Device& d) { return d.send(std::string("AB")); }, true, "FW", kDeviceId,
                       kAnswerId, "41 42 0A"},
        DeviceCallCase{"SendTo", [](Device& d) { return d.sendTo(bytes("01"), 0x11, 0x22); }, true, "FW",
                       0x11, 0x22, "01 0A"},
        DeviceCallCase{"SendRawTo", [](Device& d) { return d.sendRawTo(bytes("01"), 0x11, 0x22); }, true, "W",
                       0x11, 0x22, "01"},
        DeviceCallCase{"Receive",
                       [](Device& d) {
                           Bytes out;
                           return d.receive(out, 8) && out == bytes("51 52");
                       },
                       true, "R", kDeviceId, kAnswerId, "51 52"},
        DeviceCallCase{"ReceiveFrom",
                       [](Device& d) {
                           Bytes out;
                           return d.receiveFrom(out, 8, 0x11, 0x22) && out == bytes("51 52");
                       },
                       true, "R", 0x11, 0x22, "51 52"},
        DeviceCallCase{"SendAndReceive",
                       [](Device& d) {
                           Bytes out;
                           return d.sendAndReceive(out, bytes("10 02"), 8) && out == bytes("51 52");
                       },
                       true, "FWR", kDeviceId, kAnswerId, "10 02 0A"},
        // The answer goes in front of what the string holds.
        DeviceCallCase{"Query",
                       [](Device& d) {
                           std::string answer = "xy";
                           return d.query(answer, "Q", 8) && answer == "QRxy";
                       },
                       true, "FWR", kDeviceId, kAnswerId, "51 0A"},
        DeviceCallCase{"ReadString",
                       [](Device& d) {
                           std::string out = "xy";
                           return d.readString(out, 8) && out == "QRxy";
                       },
                       true, "R", kDeviceId, kAnswerId, "51 52"},
        DeviceCallCase{"FlushReceive", [](Device& d) { return d.flushReceive(0x22); }, true, "F", 0, 0x22,
                       ""},
        DeviceCallCase{"SendBreak", [](Device& d) { return d.sendBreak(5); }, true, "B", 0, 0, ""},
        // Operations no channel here supports.
        DeviceCallCase{"SendByteAtBaud", [](Device& d) { return d.sendByteAtBaud(0x55, 9600); }, false, "", 0,
                       0, ""},
        DeviceCallCase{"Release", [](Device& d) { return d.release(); }, false, "", 0, 0, ""},
        DeviceCallCase{"AuxRequest", [](Device& d) { return d.auxRequest(); }, false, "", 0, 0, ""}),
    [](const auto& info) { return info.param.label; });

TEST(Device, AnswerIdentifierNotKnownMakesTheDeviceInvalid) {
    ScriptedChannel channel;
    channel.setAnswerId(0xFFFFFFFF);
    ConnectingDevice device(&channel, kDeviceId);
    EXPECT_FALSE(device.ensureInit());
    EXPECT_EQ(channel.trace(), "O");
    EXPECT_EQ(device.connects, 0);
}

TEST(Device, ChannelThatDoesNotOpenMakesTheDeviceInvalid) {
    ScriptedChannel channel;
    channel.setOpenResult(false);
    ConnectingDevice device(&channel, kDeviceId);
    EXPECT_FALSE(device.ensureInit());
    EXPECT_EQ(device.getAnswerId(), Device::kNoAnswerId);
    Bytes response;
    EXPECT_FALSE(device.transfer(bytes("01"), response, 8, 1, 2));
    EXPECT_EQ(channel.trace(), "O");
}

TEST(Device, AbsentDeviceIsNotConnected) {
    ScriptedChannel channel;
    channel.reply({});  // an empty identification
    ConnectingDevice device(&channel, kDeviceId);
    EXPECT_FALSE(device.ensureInit());
    EXPECT_EQ(device.connects, 0);
}

// Makes the next named lock the process opens fail: a directory stands where its shared-memory
// segment would be made.
class NextLockBlocked {
  public:
    explicit NextLockBlocked(const std::string& lockName) {
        UtilMutex probe;
        probe.open("probe", 0);
        const uint64_t next = counterOf(probe.name()) + 1;
        const testing_support::SegmentCleanup cleanup(probe.name());
        char counter[20];
        std::snprintf(counter, sizeof counter, "%016llx", static_cast<unsigned long long>(next));
        path_ = "/dev/shm" + platform::NamedMutex::systemNameFor("VO_MUTEX_" + lockName + "__0x" + counter);
        made_ = mkdir(path_.c_str(), 0700) == 0;
    }
    ~NextLockBlocked() { rmdir(path_.c_str()); }
    NextLockBlocked(const NextLockBlocked&) = delete;
    NextLockBlocked& operator=(const NextLockBlocked&) = delete;
    bool made() const { return made_; }

  private:
    std::string path_;
    bool made_ = false;
};

TEST(Device, LockThatDoesNotOpenLeavesTheChannelAloneButTransferStillOpensIt) {
    ScriptedChannel channel;
    ConnectingDevice device(&channel, kDeviceId);
    {
        NextLockBlocked blocked("DEV_UnnamedDev_7e0");
        ASSERT_TRUE(blocked.made());
        EXPECT_FALSE(device.ensureInit());
    }
    EXPECT_EQ(channel.trace(), "");
    EXPECT_EQ(device.getAnswerId(), Device::kNoAnswerId);
    EXPECT_FALSE(device.send(bytes("01")));
    channel.reply(bytes("51"));
    Bytes response;
    EXPECT_TRUE(device.transfer(bytes("01"), response, 8, 1, 2));
    EXPECT_EQ(channel.trace(), "OFWR");
    EXPECT_EQ(hex(response), "51");
}

TEST(Device, ConstructorSelectsTheLineProtocol) {
    ScriptedChannel channel;
    ASSERT_EQ(channel.getCurrentProtocol()->name(), "PROTOCOL_SingleFrame");
    Device device(&channel, 1);
    EXPECT_EQ(channel.getCurrentProtocol(), &Communication::defaultLineProtocol());
    Bytes response;
    EXPECT_TRUE(device.transfer(bytes("01"), response, 0, 1, 2));
    EXPECT_EQ(hex(channel.written()[0].bytes), "01 0A");
}

TEST(Device, TransferThroughTheTransportProtocol) {
    ScriptedChannel channel;
    ProtocolFiatTP tp(0x43);
    tp.setStandardized(true);
    Device device(&channel, kDeviceId);
    EXPECT_TRUE(device.addProtocol(&tp));
    EXPECT_FALSE(device.addProtocol(&tp));
    EXPECT_TRUE(device.selectProtocol(tp.name()));
    EXPECT_FALSE(device.selectProtocol("PROTOCOL_None"));
    EXPECT_TRUE(device.selectProtocol(tp.name()));
    // The other end: a flow control for the first frame, a single-frame answer after the last frame.
    channel.onWrite([](ScriptedChannel& ch, const WrittenFrame& f) {
        if (f.bytes[1] == 0x10) {
            ch.frame(bytes("43 30 00 00 00 00 00 00"));
        } else if (f.bytes[1] == 0x21) {
            ch.frame(bytes("43 02 71 31 00 00 00 00"));
        }
    });
    Bytes response;
    ASSERT_TRUE(device.transfer(bytes("31 01 02 03 04 05 06"), response, 8, kDeviceId, kAnswerId));
    EXPECT_EQ(hex(response), "71 31");
    EXPECT_EQ(hex(channel.writtenBytes()),
              (std::vector<std::string>{"43 10 07 31 01 02 03 04", "43 21 05 06 00 00 00 00"}));
    EXPECT_EQ(channel.trace(), "OFWRFWR");
}

// transfer and receiveFrom hand their filter to the channel: the transport drops a late reply and takes
// the next message; a protocol that cannot wait on for one fails the exchange instead of taking it.
TEST(Device, TransferAndReceiveFromTakeOnlyWhatTheFilterAccepts) {
    const auto answersBe = [](const Bytes& m) { return !m.empty() && m[0] == 0xFE; };
    {
        ScriptedChannel channel;
        ProtocolFiatTP tp(0x43);
        Device device(&channel, kDeviceId);
        ASSERT_TRUE(device.addProtocol(&tp) && device.selectProtocol(tp.name()));
        channel.frame(bytes("43 05 FC 01 02 03 04 00")).frame(bytes("43 02 FE 01 00 00 00 00"));
        Bytes response;
        ASSERT_TRUE(device.transfer(bytes("BE 01"), response, 8, kDeviceId, kAnswerId, answersBe));
        EXPECT_EQ(hex(response), "FE 01");
        EXPECT_EQ(channel.trace(), "OFWRR");
    }
    {
        ScriptedChannel channel;
        channel.setAnswerId(kAnswerId);
        channel.reply(bytes("49 44"));
        ConnectingDevice device(&channel, kDeviceId);
        ASSERT_TRUE(device.ensureInit());
        channel.reply(bytes("FC 01"));
        Bytes response;
        EXPECT_FALSE(device.receiveFrom(response, 8, kDeviceId, kAnswerId, answersBe));
        channel.reply(bytes("FE 01"));
        EXPECT_TRUE(device.receiveFrom(response, 8, kDeviceId, kAnswerId, answersBe));
        EXPECT_EQ(hex(response), "FE 01");
    }
}

TEST(Device, TimeOutsAreTheChannelsAndSharedByItsDevices) {
    ScriptedChannel channel;
    Device first(&channel, 1);
    Device second(&channel, 2);
    first.setRxTimeout(5000);
    first.setFirstByteTimeout(300);
    first.setInterByteTimeout(40);
    EXPECT_EQ(second.getRxTimeout(), 5000u);
    EXPECT_EQ(second.getFirstByteTimeout(), 300u);
    EXPECT_EQ(second.getInterByteTimeout(), 40u);
    EXPECT_EQ(channel.getComParams()->rxTimeoutMs, 5000u);
}

TEST(Device, DefaultDeviceNeverBecomesValid) {
    Device device;
    EXPECT_EQ(device.getCommunication(), &Communication::defaultInstance());
    EXPECT_EQ(device.getId(), 0xFFFFFFFFu);
    EXPECT_FALSE(device.ensureInit());
    EXPECT_FALSE(device.send(bytes("01")));
    EXPECT_EQ(device.getRxTimeout(), 0u);  // the default channel has no parameter record
}

TEST(Device, Names) {
    Device device;
    EXPECT_EQ(device.name(), "DEV_UnnamedDev");
    EXPECT_EQ(device.querySuffix(), "?");
    EXPECT_EQ(device.parameterSeparator(), " ");
    EXPECT_EQ(device.listSeparator(), ",");
    EXPECT_EQ(device.maxResponseLength(), 0x10000u);
    EXPECT_FALSE(device.connect());
}

// ---- worker thread

TEST(Device, ThreadPriorities) {
    Device device;
    for (const int32_t p : {-15, -2, -1, 0, 1, 2, 15}) {
        EXPECT_TRUE(device.setThreadPriority(p)) << p;
        EXPECT_EQ(device.getThreadPriority(), p);
    }
    for (const int32_t p : {3, -3, 14, -16, 16, 100}) {
        ASSERT_TRUE(device.setThreadPriority(15));
        EXPECT_FALSE(device.setThreadPriority(p)) << p;
        EXPECT_EQ(device.getThreadPriority(), 0) << p;
    }
}

TEST(Device, StopThreadWithoutWorkerReturnsAtOnce) {
    Device device;
    const auto start = Clock::now();
    EXPECT_TRUE(device.stopThread());
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
}

// A worker that runs until it is told to stop.
class WorkingDevice : public Device {
  public:
    ~WorkingDevice() override { stopThread(); }
    bool threadMain() override {
        platform::waitOne(stopEvent, platform::kInfinite);
        ++rounds;
        return true;
    }
    std::atomic<int> rounds{0};
};

TEST(Device, WorkerRunsUntilStopped) {
    WorkingDevice device;
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(device.setThreadPriority(2));
        ASSERT_TRUE(device.startThread());
        EXPECT_FALSE(device.startThread());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(device.rounds.load(), round - 1);
        const auto start = Clock::now();
        EXPECT_TRUE(device.stopThread());
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
        EXPECT_EQ(device.rounds.load(), round);
    }
}

TEST(Device, WorkerThatEndsByItselfCanBeStoppedAndStartedAgain) {
    Device device;
    ASSERT_TRUE(device.startThread());
    EXPECT_TRUE(device.stopThread());
    EXPECT_TRUE(device.startThread());
}

}  // namespace
