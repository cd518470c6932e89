#pragma once
// A virtual driver of its own for each test: a fresh bus directory and a configuration of six
// channels, four on bus "busA" and two on "busB", opened before the test and closed after it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/event.h"
#include "tests/support/bus_environment.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/wait_until.h"
#include "xl/xl_api.h"

namespace xltest {

// Channel indexes of the test configuration.
enum : unsigned { kA = 0, kB = 1, kC = 2, kD = 3, kE = 4, kF = 5 };

inline const char* const kTestConfig =
    "# test bench\n"
    "Bench A, 1, 0, 0, CAN+LIN, 11, busA\n"
    "Bench B, 1, 0, 1, CAN+LIN, 11, busA\n"
    "Bench C, 1, 0, 2, CAN, 11, busA\n"
    "Lone D, 1, 0, 3, CAN, 11, busB\n"
    "Lone E, 1, 0, 4, CAN, 11, busB\n"
    "Lin F, 1, 0, 5, LIN, 11, busA\n";

inline XLaccess maskOf(unsigned channel) {
    return XLaccess{1} << channel;
}

using testing_support::ScratchDir;
using testing_support::waitUntil;

class XlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        prepareEnvironment();
        ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);
    }
    // The bus directory and configuration of this test, without opening the driver.
    void prepareEnvironment() { environment_.emplace(configText(), lockPrefix()); }
    void TearDown() override {
        while (xlCloseDriver() == XL_SUCCESS) {
        }
        environment_.reset();
    }
    virtual std::string configText() const { return kTestConfig; }
    // A lock-name prefix of the test's own, for tests whose channels take the system-wide locks.
    virtual std::optional<std::string> lockPrefix() const { return std::nullopt; }

    const std::string& scratchPath() const { return environment_->path(); }
    std::string busDir(const std::string& bus) const { return environment_->busDir(bus); }

    // Opens a port on one channel; fails the test when the driver refuses.
    XLportHandle open(unsigned channel, uint32_t version = XL_INTERFACE_VERSION, uint32_t queueSize = 256,
                      uint32_t busType = XL_BUS_TYPE_CAN, XLaccess* permission = nullptr) {
        XLportHandle port = XL_INVALID_PORTHANDLE;
        XLaccess p = maskOf(channel);
        EXPECT_EQ(xlOpenPort(&port, "xltest", maskOf(channel), permission ? permission : &p, queueSize,
                             version, busType),
                  XL_SUCCESS);
        channelOf_[port] = channel;
        return port;
    }
    // Opens, sets notification level 1 and activates.
    XLportHandle openActive(unsigned channel, uint32_t version = XL_INTERFACE_VERSION,
                            uint32_t queueSize = 256) {
        return activate(open(channel, version, queueSize), XL_BUS_TYPE_CAN);
    }
    // A LIN port: opened, set up in the mode, notification level 1, activated.
    XLportHandle openLin(unsigned channel, uint32_t mode, uint32_t linVersion = XL_LIN_VERSION_2_0) {
        XLportHandle port = open(channel, XL_INTERFACE_VERSION, 256, XL_BUS_TYPE_LIN);
        EXPECT_EQ(xlLinSetChannelParams(port, maskOf(channel), {mode, 19200, linVersion, 0}), XL_SUCCESS);
        return activate(port, XL_BUS_TYPE_LIN);
    }
    XLportHandle activate(XLportHandle port, uint32_t busType) {
        XLhandle event = nullptr;
        EXPECT_EQ(xlSetNotification(port, &event, 1), XL_SUCCESS);
        events_[port] = event;
        EXPECT_EQ(xlActivateChannel(port, maskOf(channelOf_[port]), busType, XL_ACTIVATE_RESET_CLOCK),
                  XL_SUCCESS);
        return port;
    }
    // xlLinSetSlave with data (up to 8 bytes, the rest 0).
    XLstatus setLinSlave(XLportHandle port, uint8_t id, const std::vector<uint8_t>& data, uint8_t dlc,
                         uint16_t model) {
        uint8_t bytes[8] = {};
        std::copy_n(data.begin(), std::min<size_t>(data.size(), 8), bytes);
        return xlLinSetSlave(port, maskOf(channelOf_[port]), id, bytes, dlc, model);
    }
    // The next event of a port opened with openLin, which must be a LIN frame.
    s_xl_lin_msg nextLin(XLportHandle port) {
        XLevent ev{};
        EXPECT_TRUE(receive(port, &ev)) << "no LIN frame";
        EXPECT_EQ(ev.tag, XL_LIN_MSG);
        return ev.tagData.linMsg;
    }
    static std::vector<uint8_t> linData(const s_xl_lin_msg& m) {
        return std::vector<uint8_t>(m.data, m.data + std::min<uint8_t>(m.dlc, 8));
    }

    XLstatus send(XLportHandle port, uint32_t id, const std::vector<uint8_t>& data, uint16_t dlc = 0xFFFF,
                  uint16_t flags = 0) {
        XLevent e{};
        e.tag = XL_TRANSMIT_MSG;
        e.tagData.msg.id = id;
        e.tagData.msg.flags = flags;
        e.tagData.msg.dlc = dlc == 0xFFFF ? static_cast<uint16_t>(data.size()) : dlc;
        for (size_t i = 0; i < data.size() && i < 8; ++i) {
            e.tagData.msg.data[i] = data[i];
        }
        uint32_t count = 1;
        return xlCanTransmit(port, maskOf(channelOf_[port]), &count, &e);
    }
    XLstatus sendFd(XLportHandle port, uint32_t id, uint8_t dlc, uint32_t flags,
                    const std::vector<uint8_t>& data) {
        XLcanTxEvent e{};
        e.tag = XL_CAN_EV_TAG_TX_MSG;
        e.tagData.canMsg.canId = id;
        e.tagData.canMsg.msgFlags = flags;
        e.tagData.canMsg.dlc = dlc;
        for (size_t i = 0; i < data.size() && i < 64; ++i) {
            e.tagData.canMsg.data[i] = data[i];
        }
        uint32_t sent = 0;
        return xlCanTransmitEx(port, maskOf(channelOf_[port]), 1, &sent, &e);
    }

    // Waits up to timeoutMs for the next event of a port opened with openActive.
    bool receive(XLportHandle port, XLevent* ev, uint32_t timeoutMs = 3000) {
        return waitFor(port, timeoutMs, [&] {
            uint32_t n = 1;
            return xlReceive(port, &n, ev) == XL_SUCCESS && n == 1;
        });
    }
    bool receiveFd(XLportHandle port, XLcanRxEvent* ev, uint32_t timeoutMs = 3000) {
        return waitFor(port, timeoutMs, [&] { return xlCanReceive(port, ev) == XL_SUCCESS; });
    }
    // The next event must be the CAN frame with this identifier and first byte.
    void expectFrame(XLportHandle port, uint32_t id, uint8_t first) {
        XLevent ev{};
        ASSERT_TRUE(receive(port, &ev)) << "no frame " << std::hex << id;
        EXPECT_EQ(ev.tag, XL_RECEIVE_MSG);
        EXPECT_EQ(ev.tagData.msg.id, id);
        EXPECT_EQ(ev.tagData.msg.data[0], first);
    }

    template <typename F>
    bool waitFor(XLportHandle port, uint32_t timeoutMs, F take) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (take()) {
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            events_[port]->reset();
            if (take()) {
                return true;
            }
            platform::waitOne(*events_[port], static_cast<uint32_t>(left.count()));
        }
    }

    std::optional<testing_support::BusEnvironment> environment_;
    std::map<XLportHandle, unsigned> channelOf_;
    std::map<XLportHandle, XLhandle> events_;
};

}  // namespace xltest
