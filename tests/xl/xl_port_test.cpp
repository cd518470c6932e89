// Driver, application channels, ports, masks and handles of the virtual XL driver.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "tests/support/case_names.h"
#include "tests/xl/xl_fixture.h"
#include "xl/xl_api.h"
#include "xl/xl_test_control.h"

namespace {

using namespace xltest;

using PortTest = XlTest;

TEST_F(PortTest, DriverIsReferenceCounted) {
    ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);  // second reference
    const XLportHandle a = openActive(kA);
    const XLportHandle b = openActive(kB);
    ASSERT_EQ(xlCloseDriver(), XL_SUCCESS);  // one reference left: the ports stay
    ASSERT_EQ(send(a, 0x123, {1}), XL_SUCCESS);
    expectFrame(b, 0x123, 1);
    ASSERT_EQ(xlCloseDriver(), XL_SUCCESS);  // the last close closes the ports
    EXPECT_EQ(send(a, 0x123, {1}), XL_ERR_INVALID_PORT);
    EXPECT_EQ(xlClosePort(b), XL_ERR_INVALID_PORT);
    EXPECT_EQ(xlCloseDriver(), XL_ERR_DRIVER_NOT_OPEN);
    XLportHandle p = 7;
    XLaccess perm = 1;
    EXPECT_EQ(xlOpenPort(&p, "t", 1, &perm, 256, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN),
              XL_ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(p, XL_INVALID_PORTHANDLE);
}

TEST_F(PortTest, ApplicationChannelsAreKeptPerNameBusTypeAndNumber) {
    uint32_t t = 0, i = 0, c = 0;
    EXPECT_EQ(xlGetApplConfig("VOCan", 0, &t, &i, &c, XL_BUS_TYPE_CAN), XL_ERR_INVALID_APPL_CONFIG);
    ASSERT_EQ(xlSetApplConfig("VOCan", 0, 59, 0, 1, XL_BUS_TYPE_CAN), XL_SUCCESS);
    ASSERT_EQ(xlSetApplConfig("VOCan", 1, 59, 0, 2, XL_BUS_TYPE_CAN), XL_SUCCESS);
    ASSERT_EQ(xlGetApplConfig("VOCan", 1, &t, &i, &c, XL_BUS_TYPE_CAN), XL_SUCCESS);
    EXPECT_EQ(t, 59u);
    EXPECT_EQ(i, 0u);
    EXPECT_EQ(c, 2u);
    EXPECT_EQ(xlGetApplConfig("VOCan", 0, &t, &i, &c, XL_BUS_TYPE_LIN), XL_ERR_INVALID_APPL_CONFIG);
    EXPECT_EQ(xlGetApplConfig("VOLin", 0, &t, &i, &c, XL_BUS_TYPE_CAN), XL_ERR_INVALID_APPL_CONFIG);
    EXPECT_EQ(xlSetApplConfig(nullptr, 0, 59, 0, 1, XL_BUS_TYPE_CAN), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlSetApplConfig("VOCan", 0, 59, 0, 1, 7), XL_ERR_WRONG_BUS_TYPE);
    EXPECT_EQ(xlGetApplConfig("VOCan", 0, nullptr, &i, &c, XL_BUS_TYPE_CAN), XL_ERR_WRONG_PARAMETER);
}

struct OpenCase {
    const char* what;
    XLaccess mask;
    uint32_t queueSize, version, busType;
    XLstatus expected;
};
void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.what;
}

class PortOpen : public XlTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(PortOpen, RefusesWhatTheChannelsCannotServe) {
    const OpenCase c = GetParam();
    XLportHandle port = 5;
    XLaccess perm = c.mask;
    EXPECT_EQ(xlOpenPort(&port, "t", c.mask, &perm, c.queueSize, c.version, c.busType), c.expected) << c.what;
    EXPECT_EQ(port, XL_INVALID_PORTHANDLE) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortOpen,
    ::testing::Values(
        OpenCase{"empty mask", 0, 256, 3, XL_BUS_TYPE_CAN, XL_ERR_INVALID_ACCESS},
        OpenCase{"channel not configured", maskOf(6), 256, 3, XL_BUS_TYPE_CAN, XL_ERR_HW_NOT_PRESENT},
        OpenCase{"bit 63", XLaccess{1} << 63, 256, 3, XL_BUS_TYPE_CAN, XL_ERR_HW_NOT_PRESENT},
        OpenCase{"LIN on a CAN-only channel", maskOf(kC), 256, 3, XL_BUS_TYPE_LIN, XL_ERR_WRONG_BUS_TYPE},
        OpenCase{"CAN on a LIN-only channel", maskOf(kF), 256, 3, XL_BUS_TYPE_CAN, XL_ERR_WRONG_BUS_TYPE},
        OpenCase{"unknown bus type", maskOf(kA), 256, 3, 4, XL_ERR_WRONG_BUS_TYPE},
        OpenCase{"LIN with version 4", maskOf(kA), 256, 4, XL_BUS_TYPE_LIN, XL_ERR_WRONG_INTERFACE_VERSION},
        OpenCase{"version 2", maskOf(kA), 256, 2, XL_BUS_TYPE_CAN, XL_ERR_WRONG_INTERFACE_VERSION},
        OpenCase{"queue size 0", maskOf(kA), 0, 3, XL_BUS_TYPE_CAN, XL_ERR_WRONG_PARAMETER},
        OpenCase{"queue too large", maskOf(kA), XL_MAX_RX_QUEUE_SIZE + 1, 3, XL_BUS_TYPE_CAN,
                 XL_ERR_WRONG_PARAMETER}),
    [](const ::testing::TestParamInfo<OpenCase>& info) {
        return testing_support::caseName(info.param.what);
    });

// A bus that cannot be reached fails the open with a message, and leaves no port behind.
TEST_F(PortTest, UnreachableBusFailsTheOpenWithAMessage) {
    const std::pair<std::string, const char*> cases[] = {
        {scratchPath() + "/" + std::string(100, 'd'), "too long for a socket"},
        {"/proc/voflash-bus", "cannot create bus directory"},
    };
    for (const auto& [dir, problem] : cases) {
        setenv("VOFLASH_BUS_DIR", dir.c_str(), 1);
        XLportHandle port = 3;
        XLaccess permission = maskOf(kA);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(xlOpenPort(&port, "t", maskOf(kA), &permission, 256, 3, XL_BUS_TYPE_CAN),
                  XL_ERR_BUS_UNAVAILABLE);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(port, XL_INVALID_PORTHANDLE);
        EXPECT_NE(err.find("Bench A"), std::string::npos) << err;
        EXPECT_NE(err.find(problem), std::string::npos) << err;
    }
}

TEST_F(PortTest, FirstPortOfAChannelHoldsInitAccessUntilItCloses) {
    XLaccess p1 = maskOf(kA), p2 = maskOf(kA), p3 = maskOf(kA);
    const XLportHandle first = open(kA, XL_INTERFACE_VERSION, 256, XL_BUS_TYPE_CAN, &p1);
    const XLportHandle second = open(kA, XL_INTERFACE_VERSION, 256, XL_BUS_TYPE_CAN, &p2);
    EXPECT_EQ(p1, maskOf(kA));
    EXPECT_EQ(p2, XLaccess{0});
    EXPECT_NE(first, second);
    EXPECT_EQ(xlCanSetChannelBitrate(first, maskOf(kA), 500000), XL_SUCCESS);
    EXPECT_EQ(xlCanSetChannelBitrate(second, maskOf(kA), 500000), XL_ERR_NO_INIT_ACCESS);
    ASSERT_EQ(xlClosePort(first), XL_SUCCESS);
    open(kA, XL_INTERFACE_VERSION, 256, XL_BUS_TYPE_CAN, &p3);
    EXPECT_EQ(p3, maskOf(kA));

    XLportHandle noRequest = XL_INVALID_PORTHANDLE;
    ASSERT_EQ(xlOpenPort(&noRequest, "t", maskOf(kB), nullptr, 256, 3, XL_BUS_TYPE_CAN), XL_SUCCESS);
    EXPECT_EQ(xlCanSetChannelBitrate(noRequest, maskOf(kB), 500000), XL_ERR_NO_INIT_ACCESS);
}

struct BitrateCase {
    uint32_t bitrate;
    XLstatus expected;
};
void PrintTo(const BitrateCase& c, std::ostream* os) {
    *os << c.bitrate << " bit/s";
}

class Bitrate : public XlTest, public ::testing::WithParamInterface<BitrateCase> {};

TEST_P(Bitrate, OutOfRangeIsRefused) {
    const XLportHandle port = open(kA);
    EXPECT_EQ(xlCanSetChannelBitrate(port, maskOf(kA), GetParam().bitrate), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Ports, Bitrate,
                         ::testing::Values(BitrateCase{0, XL_ERR_WRONG_PARAMETER},
                                           BitrateCase{10000, XL_SUCCESS}, BitrateCase{500000, XL_SUCCESS},
                                           BitrateCase{1000000, XL_SUCCESS},
                                           BitrateCase{1000001, XL_ERR_WRONG_PARAMETER}),
                         [](const ::testing::TestParamInfo<BitrateCase>& info) {
                             return "Bitrate" + std::to_string(info.param.bitrate);
                         });

struct FdConfCase {
    const char* what;
    XLcanFdConf conf;
    XLstatus expected;
};
void PrintTo(const FdConfCase& c, std::ostream* os) {
    *os << c.what;
}

class FdConfiguration : public XlTest, public ::testing::WithParamInterface<FdConfCase> {};

TEST_P(FdConfiguration, TimingIsChecked) {
    const XLportHandle port = open(kA, XL_INTERFACE_VERSION_V4, 8192);
    EXPECT_EQ(xlCanFdSetConfiguration(port, maskOf(kA), &GetParam().conf), GetParam().expected)
        << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Ports, FdConfiguration,
    ::testing::Values(
        FdConfCase{"500k/2M", {500000, 16, 63, 16, 2000000, 4, 15, 4, {}}, XL_SUCCESS},
        FdConfCase{"all zero", {}, XL_ERR_WRONG_PARAMETER},
        FdConfCase{"data slower", {500000, 16, 63, 16, 250000, 4, 15, 4, {}}, XL_ERR_WRONG_PARAMETER},
        FdConfCase{"data above 8M", {1000000, 8, 31, 8, 10000000, 1, 5, 2, {}}, XL_ERR_WRONG_PARAMETER},
        FdConfCase{"sjw above tseg2", {500000, 17, 63, 16, 2000000, 4, 15, 4, {}}, XL_ERR_WRONG_PARAMETER},
        FdConfCase{"data tseg1 0", {500000, 16, 63, 16, 2000000, 4, 0, 4, {}}, XL_ERR_WRONG_PARAMETER}),
    [](const ::testing::TestParamInfo<FdConfCase>& info) {
        return testing_support::caseName(info.param.what);
    });

// Every call that takes a port answers XL_ERR_INVALID_PORT for a handle the driver does not know.
using PortCall = std::function<XLstatus(XLportHandle)>;

std::vector<std::pair<const char*, PortCall>> portCalls() {
    static XLevent ev[2];
    static XLcanRxEvent rx;
    static XLcanTxEvent tx;
    static XLcanFdConf fd{500000, 16, 63, 16, 2000000, 4, 15, 4, {}};
    static uint8_t bytes[64];
    return {
        {"xlClosePort", [](XLportHandle h) { return xlClosePort(h); }},
        {"xlActivateChannel", [](XLportHandle h) { return xlActivateChannel(h, 1, XL_BUS_TYPE_CAN, 8); }},
        {"xlDeactivateChannel", [](XLportHandle h) { return xlDeactivateChannel(h, 1); }},
        {"xlFlushReceiveQueue", [](XLportHandle h) { return xlFlushReceiveQueue(h); }},
        {"xlSetNotification",
         [](XLportHandle h) {
             XLhandle e = nullptr;
             return xlSetNotification(h, &e, 1);
         }},
        {"xlResetClock", [](XLportHandle h) { return xlResetClock(h); }},
        {"xlGetSyncTime",
         [](XLportHandle h) {
             XLuint64 t = 0;
             return xlGetSyncTime(h, &t);
         }},
        {"xlReceive",
         [](XLportHandle h) {
             uint32_t n = 2;
             return xlReceive(h, &n, ev);
         }},
        {"xlCanReceive", [](XLportHandle h) { return xlCanReceive(h, &rx); }},
        {"xlCanTransmit",
         [](XLportHandle h) {
             uint32_t n = 1;
             ev[0].tag = XL_TRANSMIT_MSG;
             return xlCanTransmit(h, 1, &n, ev);
         }},
        {"xlCanTransmitEx",
         [](XLportHandle h) {
             uint32_t n = 0;
             tx.tag = XL_CAN_EV_TAG_TX_MSG;
             return xlCanTransmitEx(h, 1, 1, &n, &tx);
         }},
        {"xlCanFlushTransmitQueue", [](XLportHandle h) { return xlCanFlushTransmitQueue(h, 1); }},
        {"xlCanSetChannelBitrate", [](XLportHandle h) { return xlCanSetChannelBitrate(h, 1, 500000); }},
        {"xlCanFdSetConfiguration", [](XLportHandle h) { return xlCanFdSetConfiguration(h, 1, &fd); }},
        {"xlLinSetChannelParams",
         [](XLportHandle h) {
             return xlLinSetChannelParams(h, 1, XLlinStatPar{1, 19200, 2, 0});
         }},
        {"xlLinSetDLC", [](XLportHandle h) { return xlLinSetDLC(h, 1, bytes); }},
        {"xlLinSetSlave", [](XLportHandle h) { return xlLinSetSlave(h, 1, 0x3C, bytes, 8, 0x100); }},
        {"xlLinSwitchSlave", [](XLportHandle h) { return xlLinSwitchSlave(h, 1, 0x3C, 0); }},
        {"xlLinSetChecksum", [](XLportHandle h) { return xlLinSetChecksum(h, 1, bytes); }},
        {"xlLinSendRequest", [](XLportHandle h) { return xlLinSendRequest(h, 1, 0x3C, 0); }},
        {"injectChipState", [](XLportHandle h) { return xl::test::injectChipState(h, 1, 1, 0, 0); }},
        {"failNextTransmits", [](XLportHandle h) { return xl::test::failNextTransmits(h, 1, 1); }},
    };
}

TEST_F(PortTest, HandlesNotGivenAnswerInvalidPort) {
    const XLportHandle closed = open(kA);
    ASSERT_EQ(xlClosePort(closed), XL_SUCCESS);
    const XLportHandle live = open(kB);
    for (XLportHandle h :
         {XLportHandle{0}, XL_INVALID_PORTHANDLE, closed, live + 1000, XLportHandle{0x7FFFFFFF}}) {
        for (const auto& [name, call] : portCalls()) {
            EXPECT_EQ(call(h), XL_ERR_INVALID_PORT) << name << " with handle " << h;
        }
    }
}

TEST_F(PortTest, HandlesNotGivenAnswerInvalidPortWhileTheDriverIsClosed) {
    const XLportHandle port = open(kA);
    while (xlCloseDriver() == XL_SUCCESS) {
    }
    for (const auto& [name, call] : portCalls()) {
        EXPECT_EQ(call(port), XL_ERR_INVALID_PORT) << name;
        EXPECT_EQ(call(XL_INVALID_PORTHANDLE), XL_ERR_INVALID_PORT) << name;
    }
}

TEST_F(PortTest, MissingArgumentsAndForeignMasksAreRefused) {
    const XLportHandle port = openActive(kA);
    const XLportHandle fd = open(kB, XL_INTERFACE_VERSION_V4, 8192);
    uint32_t zero = 0, one = 1;
    XLevent ev{};
    XLcanTxEvent tx{};
    EXPECT_EQ(xlReceive(port, nullptr, &ev), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlReceive(port, &zero, &ev), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlReceive(port, &one, nullptr), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlCanReceive(port, nullptr), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlCanTransmit(port, maskOf(kA), nullptr, &ev), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlCanTransmitEx(fd, maskOf(kB), 1, nullptr, &tx), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlGetSyncTime(port, nullptr), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlSetNotification(port, nullptr, 1), XL_ERR_WRONG_PARAMETER);
    XLhandle h = nullptr;
    EXPECT_EQ(xlSetNotification(port, &h, 0), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlCanFdSetConfiguration(fd, maskOf(kB), nullptr), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlGetDriverConfig(nullptr), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlOpenPort(nullptr, "t", 1, nullptr, 256, 3, XL_BUS_TYPE_CAN), XL_ERR_WRONG_PARAMETER);

    // A mask must name channels of the port only.
    EXPECT_EQ(xlActivateChannel(port, maskOf(kB), XL_BUS_TYPE_CAN, 0), XL_ERR_INVALID_ACCESS);
    EXPECT_EQ(xlActivateChannel(port, 0, XL_BUS_TYPE_CAN, 0), XL_ERR_INVALID_ACCESS);
    EXPECT_EQ(xlActivateChannel(port, maskOf(kA), XL_BUS_TYPE_LIN, 0), XL_ERR_WRONG_BUS_TYPE);
    EXPECT_EQ(xlCanSetChannelBitrate(port, maskOf(kA) | maskOf(kB), 500000), XL_ERR_INVALID_ACCESS);
    ev.tag = XL_TRANSMIT_MSG;
    EXPECT_EQ(xlCanTransmit(port, maskOf(kB), &one, &ev), XL_ERR_INVALID_ACCESS);

    // Each interface version has its own receive and transmit calls.
    XLcanRxEvent rx{};
    EXPECT_EQ(xlCanReceive(port, &rx), XL_ERR_WRONG_INTERFACE_VERSION);
    one = 1;
    EXPECT_EQ(xlReceive(fd, &one, &ev), XL_ERR_WRONG_INTERFACE_VERSION);
    one = 1;
    EXPECT_EQ(xlCanTransmit(fd, maskOf(kB), &one, &ev), XL_ERR_WRONG_INTERFACE_VERSION);
    EXPECT_EQ(one, 0u);
    uint32_t sent = 9;
    tx.tag = XL_CAN_EV_TAG_TX_MSG;
    EXPECT_EQ(xlCanTransmitEx(port, maskOf(kA), 1, &sent, &tx), XL_ERR_WRONG_INTERFACE_VERSION);
    EXPECT_EQ(sent, 0u);
}

TEST_F(PortTest, TransmitNeedsAnActiveChannelAndATransmitEvent) {
    const XLportHandle port = open(kA);
    EXPECT_EQ(send(port, 0x100, {1}), XL_ERR_CHANNEL_NOT_ACTIVE);
    ASSERT_EQ(xlActivateChannel(port, maskOf(kA), XL_BUS_TYPE_CAN, 0), XL_SUCCESS);
    EXPECT_EQ(send(port, 0x100, {1}), XL_SUCCESS);
    XLevent ev{};
    ev.tag = XL_RECEIVE_MSG;
    uint32_t n = 1;
    EXPECT_EQ(xlCanTransmit(port, maskOf(kA), &n, &ev), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(xlDeactivateChannel(port, maskOf(kA)), XL_SUCCESS);
    EXPECT_EQ(send(port, 0x100, {1}), XL_ERR_CHANNEL_NOT_ACTIVE);
}

TEST_F(PortTest, TransmitQueueFlushAlwaysSucceedsOnAValidPort) {
    const XLportHandle port = openActive(kA);
    EXPECT_EQ(xlCanFlushTransmitQueue(port, maskOf(kA)), XL_SUCCESS);
    EXPECT_EQ(xlCanFlushTransmitQueue(port, maskOf(kB)), XL_ERR_INVALID_ACCESS);
}

TEST_F(PortTest, ClockRestartsOnResetAndOnActivationWithResetFlag) {
    const XLportHandle port = open(kA);
    platform::sleepFor(30);
    XLuint64 t = 0;
    ASSERT_EQ(xlGetSyncTime(port, &t), XL_SUCCESS);
    EXPECT_GE(t, 30000000u);
    ASSERT_EQ(xlResetClock(port), XL_SUCCESS);
    ASSERT_EQ(xlGetSyncTime(port, &t), XL_SUCCESS);
    EXPECT_LT(t, 20000000u);
    platform::sleepFor(30);
    ASSERT_EQ(xlActivateChannel(port, maskOf(kA), XL_BUS_TYPE_CAN, XL_ACTIVATE_NONE), XL_SUCCESS);
    ASSERT_EQ(xlGetSyncTime(port, &t), XL_SUCCESS);
    EXPECT_GE(t, 30000000u);
    ASSERT_EQ(xlActivateChannel(port, maskOf(kA), XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK), XL_SUCCESS);
    ASSERT_EQ(xlGetSyncTime(port, &t), XL_SUCCESS);
    EXPECT_LT(t, 20000000u);
}

TEST_F(PortTest, ErrorStringsNameTheStatus) {
    EXPECT_STREQ(xlGetErrorString(XL_SUCCESS), "XL_SUCCESS");
    EXPECT_NE(std::string(xlGetErrorString(XL_ERR_QUEUE_IS_FULL)).find("XL_ERR_QUEUE_IS_FULL"),
              std::string::npos);
    EXPECT_NE(std::string(xlGetErrorString(XL_ERR_INVALID_PORT)).find("XL_ERR_INVALID_PORT"),
              std::string::npos);
    EXPECT_STREQ(xlGetErrorString(-5), "unknown XL status");
}

}  // namespace
