// CAN and CAN FD frames on the virtual bus within one process: delivery, order, identifiers,
// lengths, chip states, the test controls, queues and notification.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <set>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/support/case_names.h"
#include "tests/xl/xl_fixture.h"
#include "xl/bus.h"
#include "xl/xl_api.h"
#include "xl/xl_test_control.h"

namespace {

using namespace xltest;

using CanTest = XlTest;

std::vector<uint8_t> pattern(size_t n, uint8_t start = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(start + i);
    }
    return v;
}

// True when the port has no event waiting now (either interface version).
bool queueEmpty(XLportHandle port) {
    XLevent ev{};
    uint32_t n = 1;
    const XLstatus s = xlReceive(port, &n, &ev);
    XLcanRxEvent fd{};
    return s == XL_ERR_QUEUE_IS_EMPTY ||
           (s == XL_ERR_WRONG_INTERFACE_VERSION && xlCanReceive(port, &fd) == XL_ERR_QUEUE_IS_EMPTY);
}

TEST_F(CanTest, FramesReachEveryOtherPortOfTheBusInOrderWithTimeStamps) {
    const XLportHandle a = openActive(kA), b = openActive(kB), c = openActive(kC), d = openActive(kD);
    for (uint8_t i = 0; i < 50; ++i) {
        ASSERT_EQ(send(a, 0x100 + i, {i, 0xA5}), XL_SUCCESS);
    }
    for (XLportHandle port : {b, c}) {
        uint64_t previous = 0;
        for (uint8_t i = 0; i < 50; ++i) {
            XLevent ev{};
            ASSERT_TRUE(receive(port, &ev)) << "frame " << int(i);
            EXPECT_EQ(ev.tag, XL_RECEIVE_MSG);
            EXPECT_EQ(ev.chanIndex, port == b ? kB : kC);
            EXPECT_EQ(ev.tagData.msg.id, 0x100u + i);
            EXPECT_EQ(ev.tagData.msg.dlc, 2);
            EXPECT_EQ(ev.tagData.msg.flags, 0);
            EXPECT_EQ(ev.tagData.msg.data[0], i);
            EXPECT_EQ(ev.tagData.msg.data[1], 0xA5);
            EXPECT_EQ(ev.tagData.msg.data[2], 0);
            EXPECT_GE(ev.timeStamp, previous);
            previous = ev.timeStamp;
        }
        EXPECT_GT(previous, 0u);
        EXPECT_TRUE(queueEmpty(port));
    }
    EXPECT_TRUE(queueEmpty(a)) << "a port does not hear itself";
    EXPECT_TRUE(queueEmpty(d)) << "another bus hears nothing";
}

TEST_F(CanTest, ReceiveFetchesUpToTheRoomGiven) {
    const XLportHandle a = openActive(kA), b = openActive(kB);
    for (uint8_t i = 0; i < 5; ++i) {
        ASSERT_EQ(send(a, 0x200, {i}), XL_SUCCESS);
    }
    expectFrame(b, 0x200, 0);
    XLevent ev[8]{};
    uint32_t got = 0;
    ASSERT_TRUE(waitFor(b, 3000, [&] {
        uint32_t n = 8 - got;
        if (xlReceive(b, &n, ev + got) == XL_SUCCESS) {
            got += n;
        }
        return got == 4;
    }));
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(ev[i].tagData.msg.data[0], i + 1);
    }
    uint32_t n = 8;
    EXPECT_EQ(xlReceive(b, &n, ev), XL_ERR_QUEUE_IS_EMPTY);
    EXPECT_EQ(n, 0u);
}

struct IdCase {
    const char* what;
    uint32_t id;
    uint16_t dlc, flags;
    uint32_t expectedId;
    uint16_t expectedFlags, expectedDlc;
    unsigned bytes;  // data bytes that arrive
};
void PrintTo(const IdCase& c, std::ostream* os) {
    *os << c.what;
}

class Identifiers : public XlTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(Identifiers, ArriveAsSent) {
    const IdCase c = GetParam();
    const XLportHandle a = openActive(kA), b = openActive(kB);
    ASSERT_EQ(send(a, c.id, pattern(8), c.dlc, c.flags), XL_SUCCESS);
    XLevent ev{};
    ASSERT_TRUE(receive(b, &ev));
    EXPECT_EQ(ev.tagData.msg.id, c.expectedId);
    EXPECT_EQ(ev.tagData.msg.flags, c.expectedFlags);
    EXPECT_EQ(ev.tagData.msg.dlc, c.expectedDlc);
    for (unsigned i = 0; i < 8; ++i) {
        EXPECT_EQ(ev.tagData.msg.data[i], i < c.bytes ? i + 1 : 0) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Can, Identifiers,
    ::testing::Values(IdCase{"standard 7FF", 0x7FF, 8, 0, 0x7FF, 0, 8, 8},
                      IdCase{"standard 0", 0, 3, 0, 0, 0, 3, 3},
                      IdCase{"extended 800", 0x800 | XL_CAN_EXT_MSG_ID, 8, 0, 0x800 | XL_CAN_EXT_MSG_ID, 0, 8,
                             8},
                      IdCase{"extended 1FFFFFFF", 0x1FFFFFFF | XL_CAN_EXT_MSG_ID, 1, 0,
                             0x1FFFFFFF | XL_CAN_EXT_MSG_ID, 0, 1, 1},
                      IdCase{"standard with stray bits", 0x40000123, 2, 0, 0x123, 0, 2, 2},
                      IdCase{"code 12 carries 8 bytes", 0x123, 12, 0, 0x123, 0, 12, 8},
                      IdCase{"code above 15 counts as 15", 0x123, 200, 0, 0x123, 0, 15, 8},
                      IdCase{"remote request", 0x321, 4, XL_CAN_MSG_FLAG_REMOTE_FRAME, 0x321,
                             XL_CAN_MSG_FLAG_REMOTE_FRAME, 4, 0}),
    [](const ::testing::TestParamInfo<IdCase>& info) { return testing_support::caseName(info.param.what); });

// Codes above 15 are sent as 15; the received code always fits the payload.
TEST(CanFdLength, OfEveryCode) {
    const unsigned expected[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64, 64, 64};
    const unsigned codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 255};
    for (size_t i = 0; i < std::size(codes); ++i) {
        EXPECT_EQ(xlCanFdDlcToLength(codes[i]), expected[i]) << "code " << codes[i];
    }
}

TEST_F(CanTest, FdFramesCarryTheBytesOfTheirCode) {
    const XLportHandle a = openActive(kA, XL_INTERFACE_VERSION_V4, 8192);
    const XLportHandle b = openActive(kB, XL_INTERFACE_VERSION_V4, 8192);
    const XLportHandle classic = openActive(kC);
    const std::vector<uint8_t> data = pattern(64);
    for (unsigned code = 0; code <= 17; ++code) {
        const uint8_t sent = code == 17 ? 255 : static_cast<uint8_t>(code);
        ASSERT_EQ(sendFd(a, 0x18DA10F1 | XL_CAN_EXT_MSG_ID, sent,
                         XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS, data),
                  XL_SUCCESS);
        const unsigned dlc = std::min(code, 15u);
        const unsigned length = xlCanFdDlcToLength(dlc);
        XLcanRxEvent ev{};
        ASSERT_TRUE(receiveFd(b, &ev)) << "code " << code;
        EXPECT_EQ(ev.tag, XL_CAN_EV_TAG_RX_OK);
        EXPECT_EQ(ev.size, sizeof ev);
        const XL_CAN_EV_RX_MSG& m = ev.tagData.canRxOkMsg;
        EXPECT_EQ(m.canId, 0x18DA10F1 | XL_CAN_EXT_MSG_ID);
        EXPECT_EQ(m.msgFlags, XL_CAN_RXMSG_FLAG_EDL | XL_CAN_RXMSG_FLAG_BRS);
        EXPECT_EQ(m.dlc, dlc);
        for (unsigned i = 0; i < 64; ++i) {
            ASSERT_EQ(m.data[i], i < length ? data[i] : 0) << "code " << code << " byte " << i;
        }
        // A classic controller cannot read a CAN FD frame: it reports an error frame.
        XLevent classicEv{};
        ASSERT_TRUE(receive(classic, &classicEv));
        EXPECT_EQ(classicEv.tagData.msg.flags & XL_CAN_MSG_FLAG_ERROR_FRAME, XL_CAN_MSG_FLAG_ERROR_FRAME);
    }
    // A classic frame sent through the CAN FD call.
    ASSERT_EQ(sendFd(a, 0x123, 12, 0, data), XL_SUCCESS);
    XLcanRxEvent ev{};
    ASSERT_TRUE(receiveFd(b, &ev));
    EXPECT_EQ(ev.tagData.canRxOkMsg.msgFlags, 0u);
    EXPECT_EQ(ev.tagData.canRxOkMsg.dlc, 12);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[7], 8);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[8], 0);
    expectFrame(classic, 0x123, 1);
}

// Frames from other processes are not trusted: their code and length are made to agree.
TEST_F(CanTest, MalformedFramesFromOutsideAreClamped) {
    const XLportHandle classic = openActive(kB);
    const XLportHandle fd = openActive(kC, XL_INTERFACE_VERSION_V4, 8192);
    xl::bus::Frame f;
    f.kind = xl::bus::Kind::kCan;
    f.flags = xl::bus::kFlagFd;
    f.id = 0x7FFFFFFF;  // a standard identifier with stray bits
    f.dlc = 200;
    f.length = 3;
    f.data[0] = 1, f.data[1] = 2, f.data[2] = 3;
    std::string error;
    ASSERT_EQ(xl::bus::sendFromOutside("busA", f, &error), 2) << error;
    f = xl::bus::Frame{};
    f.id = 0x55;
    f.dlc = 99;
    f.length = 64;
    std::fill(std::begin(f.data), std::end(f.data), 0xEE);
    ASSERT_EQ(xl::bus::sendFromOutside("busA", f, &error), 2) << error;

    XLcanRxEvent ev{};
    ASSERT_TRUE(receiveFd(fd, &ev));
    EXPECT_EQ(ev.tagData.canRxOkMsg.canId, 0x7FFu);
    EXPECT_EQ(ev.tagData.canRxOkMsg.dlc, 15);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[2], 3);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[3], 0);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[63], 0);
    ASSERT_TRUE(receiveFd(fd, &ev));
    EXPECT_EQ(ev.tagData.canRxOkMsg.dlc, 15);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[7], 0xEE);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[8], 0) << "a classic frame carries 8 bytes at most";

    XLevent cev{};
    ASSERT_TRUE(receive(classic, &cev));
    EXPECT_EQ(cev.tagData.msg.flags, XL_CAN_MSG_FLAG_ERROR_FRAME);
    ASSERT_TRUE(receive(classic, &cev));
    EXPECT_EQ(cev.tagData.msg.dlc, 15);
    EXPECT_EQ(cev.tagData.msg.data[7], 0xEE);
}

TEST_F(CanTest, ChannelNotActiveHearsNothingOfWhatWasSentMeanwhile) {
    const XLportHandle a = openActive(kA);
    const XLportHandle b = open(kB);
    XLhandle event = nullptr;
    ASSERT_EQ(xlSetNotification(b, &event, 1), XL_SUCCESS);
    events_[b] = event;
    ASSERT_EQ(send(a, 0x100, {1}), XL_SUCCESS);
    ASSERT_EQ(xlActivateChannel(b, maskOf(kB), XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK), XL_SUCCESS);
    ASSERT_EQ(send(a, 0x101, {2}), XL_SUCCESS);
    expectFrame(b, 0x101, 2);
    ASSERT_EQ(xlDeactivateChannel(b, maskOf(kB)), XL_SUCCESS);
    ASSERT_EQ(send(a, 0x102, {3}), XL_SUCCESS);
    ASSERT_EQ(xlActivateChannel(b, maskOf(kB), XL_BUS_TYPE_CAN, XL_ACTIVATE_NONE), XL_SUCCESS);
    ASSERT_EQ(send(a, 0x103, {4}), XL_SUCCESS);
    expectFrame(b, 0x103, 4);
}

TEST_F(CanTest, BusOffReportStopsTheChannelUntilItIsActivatedAgain) {
    const XLportHandle a = openActive(kA), b = openActive(kB);
    ASSERT_EQ(xl::test::injectChipState(a, maskOf(kA), XL_CHIPSTAT_BUSOFF, 255, 17), XL_SUCCESS);
    XLevent ev{};
    ASSERT_TRUE(receive(a, &ev));
    EXPECT_EQ(ev.tag, XL_CHIP_STATE);
    EXPECT_EQ(ev.chanIndex, kA);
    EXPECT_EQ(ev.tagData.chipState.busStatus, XL_CHIPSTAT_BUSOFF);
    EXPECT_EQ(ev.tagData.chipState.txErrorCounter, 255);
    EXPECT_EQ(ev.tagData.chipState.rxErrorCounter, 17);

    EXPECT_EQ(send(a, 0x100, {1}), XL_ERR_BUS_OFF);
    ASSERT_EQ(send(b, 0x300, {1}), XL_SUCCESS);  // missed: the channel is off the bus
    // A second report while off the bus is reported again.
    ASSERT_EQ(xl::test::injectChipState(a, maskOf(kA), XL_CHIPSTAT_BUSOFF, 255, 18), XL_SUCCESS);
    ASSERT_TRUE(receive(a, &ev));
    EXPECT_EQ(ev.tag, XL_CHIP_STATE);
    EXPECT_EQ(ev.tagData.chipState.rxErrorCounter, 18);

    ASSERT_EQ(xlDeactivateChannel(a, maskOf(kA)), XL_SUCCESS);
    ASSERT_EQ(xlActivateChannel(a, maskOf(kA), XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK), XL_SUCCESS);
    ASSERT_EQ(send(a, 0x101, {2}), XL_SUCCESS);
    expectFrame(b, 0x101, 2);
    ASSERT_EQ(send(b, 0x302, {3}), XL_SUCCESS);
    expectFrame(a, 0x302, 3);
}

TEST_F(CanTest, ActivationAloneEndsBusOff) {
    const XLportHandle a = openActive(kA), b = openActive(kB);
    ASSERT_EQ(xl::test::injectChipState(a, maskOf(kA), XL_CHIPSTAT_BUSOFF, 0, 0), XL_SUCCESS);
    ASSERT_EQ(send(b, 0x300, {1}), XL_SUCCESS);
    ASSERT_EQ(xlActivateChannel(a, maskOf(kA), XL_BUS_TYPE_CAN, XL_ACTIVATE_NONE), XL_SUCCESS);
    ASSERT_EQ(send(b, 0x301, {2}), XL_SUCCESS);
    XLevent ev{};
    ASSERT_TRUE(receive(a, &ev));
    EXPECT_EQ(ev.tag, XL_CHIP_STATE);
    expectFrame(a, 0x301, 2);
}

TEST_F(CanTest, OtherChipStatesLeaveTheChannelOnTheBus) {
    const XLportHandle a = openActive(kA, XL_INTERFACE_VERSION_V4, 8192), b = openActive(kB);
    ASSERT_EQ(xl::test::injectChipState(a, maskOf(kA), XL_CHIPSTAT_ERROR_PASSIVE, 128, 3), XL_SUCCESS);
    XLcanRxEvent ev{};
    ASSERT_TRUE(receiveFd(a, &ev));
    EXPECT_EQ(ev.tag, XL_CAN_EV_TAG_CHIP_STATE);
    EXPECT_EQ(ev.tagData.canChipState.busStatus, XL_CHIPSTAT_ERROR_PASSIVE);
    EXPECT_EQ(ev.tagData.canChipState.txErrorCounter, 128);
    EXPECT_EQ(ev.tagData.canChipState.rxErrorCounter, 3);
    ASSERT_EQ(sendFd(a, 0x10, 1, 0, {9}), XL_SUCCESS);
    expectFrame(b, 0x10, 9);
}

TEST_F(CanTest, BusOffOnTheBusReachesEveryActivePortOfThatBus) {
    const XLportHandle a = openActive(kA), b = openActive(kB), d = openActive(kD);
    const XLportHandle fd = openActive(kC, XL_INTERFACE_VERSION_V4, 8192);
    ASSERT_EQ(xl::test::busInjectChipState("busA", XL_CHIPSTAT_BUSOFF, 1, 2), XL_SUCCESS);
    for (XLportHandle port : {a, b}) {
        XLevent ev{};
        ASSERT_TRUE(receive(port, &ev));
        EXPECT_EQ(ev.tag, XL_CHIP_STATE);
        EXPECT_EQ(ev.tagData.chipState.busStatus, XL_CHIPSTAT_BUSOFF);
        EXPECT_EQ(ev.tagData.chipState.rxErrorCounter, 2);
        EXPECT_EQ(send(port, 0x100, {1}), XL_ERR_BUS_OFF);
    }
    XLcanRxEvent fev{};
    ASSERT_TRUE(receiveFd(fd, &fev));
    EXPECT_EQ(fev.tag, XL_CAN_EV_TAG_CHIP_STATE);
    ASSERT_EQ(send(d, 0x100, {1}), XL_SUCCESS) << "another bus stays up";

    // Sent from a port: every other port hears it, the sender does not.
    ASSERT_EQ(xlActivateChannel(a, maskOf(kA), XL_BUS_TYPE_CAN, 0), XL_SUCCESS);
    ASSERT_EQ(xlActivateChannel(b, maskOf(kB), XL_BUS_TYPE_CAN, 0), XL_SUCCESS);
    ASSERT_EQ(xl::test::busInjectChipState("busA", XL_CHIPSTAT_BUSOFF, 0, 0, a), XL_SUCCESS);
    XLevent ev{};
    ASSERT_TRUE(receive(b, &ev));
    EXPECT_EQ(ev.tag, XL_CHIP_STATE);
    ASSERT_EQ(send(a, 0x101, {5}), XL_SUCCESS);
    ASSERT_TRUE(receiveFd(fd, &fev));
    EXPECT_EQ(fev.tag, XL_CAN_EV_TAG_CHIP_STATE);
    EXPECT_TRUE(queueEmpty(fd)) << "bus off: the frame of a is missed";
    EXPECT_EQ(xl::test::busInjectChipState("busB", 1, 0, 0, a), XL_ERR_INVALID_ACCESS);
    EXPECT_EQ(xl::test::busInjectChipState("no/bus", 1, 0, 0), XL_ERR_BUS_UNAVAILABLE);
}

TEST_F(CanTest, FullTransmitQueueControlFailsTheNextTransmits) {
    const XLportHandle a = openActive(kA), b = openActive(kB);
    const XLportHandle fd = openActive(kC, XL_INTERFACE_VERSION_V4, 8192);
    ASSERT_EQ(xl::test::failNextTransmits(a, maskOf(kA), 2), XL_SUCCESS);
    EXPECT_EQ(send(a, 0x100, {1}), XL_ERR_QUEUE_IS_FULL);
    EXPECT_EQ(send(a, 0x101, {2}), XL_ERR_QUEUE_IS_FULL);
    EXPECT_EQ(send(a, 0x102, {3}), XL_SUCCESS);
    expectFrame(b, 0x102, 3);

    ASSERT_EQ(xl::test::failNextTransmits(a, maskOf(kA), 5), XL_SUCCESS);
    ASSERT_EQ(xl::test::failNextTransmits(a, maskOf(kA), 0), XL_SUCCESS);
    EXPECT_EQ(send(a, 0x103, {4}), XL_SUCCESS);
    expectFrame(b, 0x103, 4);

    ASSERT_EQ(xl::test::failNextTransmits(fd, maskOf(kC), 1), XL_SUCCESS);
    XLcanTxEvent tx{};
    tx.tag = XL_CAN_EV_TAG_TX_MSG;
    tx.tagData.canMsg.canId = 0x104;
    tx.tagData.canMsg.dlc = 1;
    tx.tagData.canMsg.data[0] = 5;
    uint32_t sent = 7;
    EXPECT_EQ(xlCanTransmitEx(fd, maskOf(kC), 1, &sent, &tx), XL_ERR_QUEUE_IS_FULL);
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(xlCanTransmitEx(fd, maskOf(kC), 1, &sent, &tx), XL_SUCCESS);
    EXPECT_EQ(sent, 1u);
    expectFrame(b, 0x104, 5);
}

TEST_F(CanTest, FullTransmitQueueControlOnTheBus) {
    const XLportHandle a = openActive(kA), b = openActive(kB), d = openActive(kD);
    ASSERT_EQ(xl::test::busFailNextTransmits("busA", 1), XL_SUCCESS);
    // A frame from outside after the control: once it is here, so is the control.
    xl::bus::Frame marker;
    marker.id = 0x7AB;
    std::string error;
    ASSERT_EQ(xl::bus::sendFromOutside("busA", marker, &error), 2) << error;
    expectFrame(a, 0x7AB, 0);
    expectFrame(b, 0x7AB, 0);
    EXPECT_EQ(send(a, 0x100, {1}), XL_ERR_QUEUE_IS_FULL);
    EXPECT_EQ(send(b, 0x101, {2}), XL_ERR_QUEUE_IS_FULL);
    EXPECT_EQ(send(d, 0x102, {3}), XL_SUCCESS) << "another bus is not touched";
    EXPECT_EQ(send(a, 0x103, {4}), XL_SUCCESS);
    expectFrame(b, 0x103, 4);
}

// The event is set while events wait, whatever level the port asked for.
TEST_F(CanTest, NotificationIsSetWhileEventsWait) {
    const XLportHandle a = openActive(kA);
    const XLportHandle b = open(kB);
    XLhandle event = nullptr;
    EXPECT_EQ(xlSetNotification(b, &event, 0), XL_ERR_WRONG_PARAMETER);
    ASSERT_EQ(xlSetNotification(b, &event, 32), XL_SUCCESS);
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(xlActivateChannel(b, maskOf(kB), XL_BUS_TYPE_CAN, 0), XL_SUCCESS);
    EXPECT_EQ(platform::waitOne(*event, 20), platform::kWaitTimeout) << "nothing waits yet";
    ASSERT_EQ(send(a, 0x100, {1}), XL_SUCCESS);
    ASSERT_EQ(platform::waitOne(*event, 3000), platform::kWaitObject0) << "one event is enough";
    EXPECT_TRUE(event->isSet()) << "manual reset: the caller resets it";
    event->reset();
    ASSERT_EQ(send(a, 0x101, {2}), XL_SUCCESS);
    ASSERT_EQ(platform::waitOne(*event, 3000), platform::kWaitObject0);
    event->reset();
    XLevent ev{};
    uint32_t n = 1;
    ASSERT_EQ(xlReceive(b, &n, &ev), XL_SUCCESS);
    EXPECT_EQ(ev.tagData.msg.id, 0x100u);
    EXPECT_TRUE(event->isSet()) << "one frame still waits";
    ASSERT_EQ(xlReceive(b, &n, &ev), XL_SUCCESS);
    event->reset();
    EXPECT_EQ(platform::waitOne(*event, 20), platform::kWaitTimeout) << "the queue is empty";
    ASSERT_EQ(send(a, 0x102, {3}), XL_SUCCESS);
    ASSERT_EQ(platform::waitOne(*event, 3000), platform::kWaitObject0) << "set again by the next frame";
    n = 2;
    XLevent two[2]{};
    ASSERT_EQ(xlReceive(b, &n, two), XL_SUCCESS);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(two[0].tagData.msg.id, 0x102u);
}

TEST_F(CanTest, FlushEmptiesTheReceiveQueue) {
    const XLportHandle a = openActive(kA);
    const XLportHandle b = open(kB);
    XLhandle event = nullptr;
    ASSERT_EQ(xlSetNotification(b, &event, 2), XL_SUCCESS);
    events_[b] = event;
    ASSERT_EQ(xlActivateChannel(b, maskOf(kB), XL_BUS_TYPE_CAN, 0), XL_SUCCESS);
    // Each frame sets the event once it is filed.
    for (const uint32_t id : {0x101u, 0x102u}) {
        event->reset();
        ASSERT_EQ(send(a, id, {1}), XL_SUCCESS);
        ASSERT_EQ(platform::waitOne(*event, 3000), platform::kWaitObject0) << std::hex << id;
    }
    ASSERT_EQ(xlFlushReceiveQueue(b), XL_SUCCESS);
    EXPECT_TRUE(queueEmpty(b));
    ASSERT_EQ(xlSetNotification(b, &event, 1), XL_SUCCESS);
    ASSERT_EQ(send(a, 0x103, {3}), XL_SUCCESS);
    expectFrame(b, 0x103, 3);
}

// A port holds at least 4096 events whatever it asks for; what does not fit is lost, the next
// frame that fits says so, and other ports of the bus lose nothing.
TEST_F(CanTest, FullReceiveQueueLosesFramesAndMarksTheNextOne) {
    constexpr uint32_t kFrames = 6000;
    const XLportHandle a = openActive(kA);
    const XLportHandle small = openActive(kB, XL_INTERFACE_VERSION, 16);
    const XLportHandle big = openActive(kC, XL_INTERFACE_VERSION, 8192);
    const auto counter = [](const XLevent& ev) {
        return ev.tagData.msg.data[0] | ev.tagData.msg.data[1] << 8;
    };
    std::vector<uint32_t> bigCounters;
    std::thread reader([&] {
        XLevent ev{};
        while (bigCounters.size() <= kFrames && receive(big, &ev, 5000)) {
            bigCounters.push_back(counter(ev));
        }
    });
    for (uint32_t i = 0; i < kFrames; ++i) {
        ASSERT_EQ(send(a, 0x100, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}), XL_SUCCESS);
    }
    // Take what the small queue kept, then one more frame: it carries the overrun mark.
    std::vector<XLevent> got;
    XLevent ev{};
    while (receive(small, &ev, 300)) {
        got.push_back(ev);
    }
    ASSERT_EQ(send(a, 0x100, {0xFF, 0xFF}), XL_SUCCESS);
    while (receive(small, &ev, 3000)) {
        got.push_back(ev);
        if (counter(ev) == 0xFFFF) {
            break;
        }
    }
    reader.join();
    ASSERT_EQ(bigCounters.size(), kFrames + 1) << "a port with room hears everything";
    for (uint32_t i = 0; i < kFrames; ++i) {
        ASSERT_EQ(bigCounters[i], i);
    }
    ASSERT_GE(got.size(), 4096u + 1);
    EXPECT_LT(got.size(), kFrames + 1);
    for (uint32_t i = 0; i < 4096; ++i) {
        ASSERT_EQ(counter(got[i]), i);
    }
    EXPECT_EQ(counter(got.back()), 0xFFFF);
    bool marked = false;
    for (size_t i = 1; i < got.size(); ++i) {
        marked = marked || (got[i].tagData.msg.flags & XL_CAN_MSG_FLAG_OVERRUN) != 0;
        EXPECT_GT(counter(got[i]), counter(got[i - 1])) << "order kept";
    }
    EXPECT_TRUE(marked) << "the loss is marked";
}

TEST_F(CanTest, PortsThatGoAwayOrStopReadingDoNotHoldUpTheOthers) {
    const XLportHandle a = openActive(kA), b = openActive(kB, XL_INTERFACE_VERSION, 4096);
    const XLportHandle gone = openActive(kC);
    XLportHandle unread = XL_INVALID_PORTHANDLE;
    XLaccess none = 0;
    ASSERT_EQ(xlOpenPort(&unread, "idle", maskOf(kC), &none, 16, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN),
              XL_SUCCESS);
    ASSERT_EQ(xlActivateChannel(unread, maskOf(kC), XL_BUS_TYPE_CAN, 0), XL_SUCCESS);
    // A node whose socket nobody reads, as that of a stopped process.
    std::string error;
    const auto stopped = xl::bus::Node::join("busA", &error);
    ASSERT_TRUE(stopped) << error;
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < 1000; ++i) {
        if (i == 10) {
            ASSERT_EQ(xlClosePort(gone), XL_SUCCESS);
        }
        ASSERT_EQ(send(a, 0x100 + (i & 0x3FF), {static_cast<uint8_t>(i)}), XL_SUCCESS);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    // The stopped node's socket fills; the sender waits for it once, then passes it over.
    EXPECT_LT(took, std::chrono::seconds(20));
    for (uint32_t i = 0; i < 1000; ++i) {
        XLevent ev{};
        ASSERT_TRUE(receive(b, &ev)) << "frame " << i;
        ASSERT_EQ(ev.tagData.msg.data[0], static_cast<uint8_t>(i));
    }
}

TEST_F(CanTest, SeveralPortsOnOneChannelAndOnePortOnSeveralChannels) {
    const XLportHandle a1 = openActive(kA), a2 = openActive(kA), b = openActive(kB), e = openActive(kE);
    ASSERT_EQ(send(b, 0x100, {1}), XL_SUCCESS);
    expectFrame(a1, 0x100, 1);
    expectFrame(a2, 0x100, 1);

    // One port on a channel of busA and one of busB.
    XLportHandle both = XL_INVALID_PORTHANDLE;
    XLaccess perm = maskOf(kC) | maskOf(kD);
    ASSERT_EQ(xlOpenPort(&both, "both", maskOf(kC) | maskOf(kD), &perm, 256, 3, XL_BUS_TYPE_CAN), XL_SUCCESS);
    EXPECT_EQ(perm, maskOf(kC) | maskOf(kD));
    XLhandle event = nullptr;
    ASSERT_EQ(xlSetNotification(both, &event, 1), XL_SUCCESS);
    events_[both] = event;
    ASSERT_EQ(xlActivateChannel(both, maskOf(kC) | maskOf(kD), XL_BUS_TYPE_CAN, 0), XL_SUCCESS);
    XLevent ev{};
    uint32_t one = 1;
    ev.tag = XL_TRANSMIT_MSG;
    ev.tagData.msg.id = 0x200;
    ev.tagData.msg.dlc = 1;
    ev.tagData.msg.data[0] = 2;
    ASSERT_EQ(xlCanTransmit(both, maskOf(kD), &one, &ev), XL_SUCCESS);
    expectFrame(e, 0x200, 2);
    ev.tagData.msg.data[0] = 3;
    ASSERT_EQ(xlCanTransmit(both, maskOf(kC), &one, &ev), XL_SUCCESS);
    expectFrame(b, 0x200, 3);
    EXPECT_TRUE(queueEmpty(e));

    ASSERT_EQ(send(e, 0x300, {4}), XL_SUCCESS);
    ASSERT_TRUE(receive(both, &ev));
    EXPECT_EQ(ev.chanIndex, kD);
    EXPECT_EQ(ev.tagData.msg.id, 0x300u);
    ASSERT_EQ(send(b, 0x301, {5}), XL_SUCCESS);
    ASSERT_TRUE(receive(both, &ev));
    EXPECT_EQ(ev.chanIndex, kC);
    EXPECT_EQ(ev.tagData.msg.id, 0x301u);
}

TEST_F(CanTest, BusDirectoryFromTheEnvironmentSeparatesBuses) {
    const XLportHandle a = openActive(kA);
    ScratchDir other;
    setenv("VOFLASH_BUS_DIR", other.path().c_str(), 1);
    const XLportHandle b = openActive(kB), c = openActive(kC);
    ASSERT_EQ(send(c, 0x100, {1}), XL_SUCCESS);
    expectFrame(b, 0x100, 1);
    ASSERT_EQ(send(a, 0x101, {2}), XL_SUCCESS);
    ASSERT_EQ(send(c, 0x102, {3}), XL_SUCCESS);
    expectFrame(b, 0x102, 3);
    EXPECT_TRUE(queueEmpty(a));
    size_t sockets = 0;
    for (const auto& entry : std::filesystem::directory_iterator(other.path() + "/busA")) {
        sockets += entry.path().extension() == ".sock" ? 1 : 0;
    }
    EXPECT_EQ(sockets, 2u);
}

class TimedBusTest : public CanTest {
  protected:
    void SetUp() override {
        prepareEnvironment();
        setenv("VOFLASH_BUS_TIMING", "1", 1);
        ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);
    }
    // Receives n frames on port, each with its number (from 0, as sent by sendNumbered) in byte 1;
    // returns how many came in order before the first gap or the time-out.
    int receiveNumbered(XLportHandle port, int n, uint32_t timeoutMs = 3000) {
        for (int i = 0; i < n; ++i) {
            XLevent ev{};
            if (!receive(port, &ev, timeoutMs) || ev.tagData.msg.data[1] != static_cast<uint8_t>(i)) {
                return i;
            }
        }
        return n;
    }
    // Ports on channels A (sending, at this bit rate) and B.
    std::pair<XLportHandle, XLportHandle> openPair(uint32_t bitrate) {
        const XLportHandle a = openActive(kA), b = openActive(kB);
        EXPECT_EQ(xlCanSetChannelBitrate(a, maskOf(kA), bitrate), XL_SUCCESS);
        return {a, b};
    }
    void sendNumbered(XLportHandle port, int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(send(port, 0x100, {0xAA, static_cast<uint8_t>(i), 0, 0, 0, 0, 0, 0}), XL_SUCCESS);
        }
    }
};

// The transmit calls only queue the frames; each reaches the bus once its time there has passed.
TEST_F(TimedBusTest, FramesReachTheBusAfterTheirTimeAtTheBitRate) {
    const auto [a, b] = openPair(125000);
    // A standard frame of 8 bytes has 111 bits: 888 us at 125 kbit/s.
    constexpr int kFrames = 100;
    const auto start = std::chrono::steady_clock::now();
    sendNumbered(a, kFrames);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::microseconds(kFrames * 888))
        << "the transmit calls waited for the bus";
    ASSERT_EQ(receiveNumbered(b, kFrames), kFrames);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(kFrames * 888));

    // CAN FD at 500 kbit/s and 2 Mbit/s: 64 bytes take about 330 us.
    const XLportHandle fd = openActive(kC, XL_INTERFACE_VERSION_V4, 8192);
    const XLcanFdConf conf{500000, 16, 63, 16, 2000000, 4, 15, 4, {}};
    ASSERT_EQ(xlCanFdSetConfiguration(fd, maskOf(kC), &conf), XL_SUCCESS);
    const auto fdStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(sendFd(fd, 0x100, 15, XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS, pattern(64)),
                  XL_SUCCESS);
    }
    XLevent ev{};
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_TRUE(receive(b, &ev)) << i;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - fdStart, std::chrono::microseconds(kFrames * 320));
}

TEST_F(TimedBusTest, AClosingPortSendsWhatItHasQueued) {
    const auto [a, b] = openPair(125000);
    sendNumbered(a, 20);
    ASSERT_EQ(xlClosePort(a), XL_SUCCESS);
    EXPECT_EQ(receiveNumbered(b, 20), 20);
}

TEST_F(TimedBusTest, AFlushDropsWhatHasNotGoneYet) {
    // 100 frames of 111 bits at 10 kbit/s hold the bus for 1110 ms: far longer than the wait for the
    // dropped ones below, so a frame queued after that still goes at once only if the flush freed the
    // bus; otherwise it waits most of a second.
    const auto [a, b] = openPair(10000);
    sendNumbered(a, 100);
    ASSERT_EQ(xlCanFlushTransmitQueue(a, maskOf(kA)), XL_SUCCESS);
    EXPECT_LT(receiveNumbered(b, 100, 100), 100);
    // The queue takes frames again, and they go at once: the bus is free.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(send(a, 0x101, {7}), XL_SUCCESS);
    expectFrame(b, 0x101, 7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

// More frames than the queue holds: the sender waits for room, and nothing is lost or reordered.
TEST_F(TimedBusTest, AFullQueueMakesTheSenderWait) {
    const auto [a, b] = openPair(1000000);
    // 111 us a frame at 1 Mbit/s; the calls beyond the queue's 256 frames wait for the bus.
    constexpr int kFrames = 600;
    const auto start = std::chrono::steady_clock::now();
    sendNumbered(a, kFrames);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds((kFrames - 257) * 111));
    EXPECT_EQ(receiveNumbered(b, kFrames), kFrames);
}

// Opening, closing, sending and receiving from several threads at once, with handles that come
// and go: every call answers a status, none crashes.
TEST_F(CanTest, CallsFromManyThreadsOnLiveAndVanishingPorts) {
    const XLportHandle a = openActive(kA), b = openActive(kB, XL_INTERFACE_VERSION, 8192);
    std::atomic<bool> stop{false};
    const std::set<XLstatus> allowed = {XL_SUCCESS,
                                        XL_ERR_QUEUE_IS_EMPTY,
                                        XL_ERR_QUEUE_IS_FULL,
                                        XL_ERR_INVALID_ACCESS,
                                        XL_ERR_WRONG_PARAMETER,
                                        XL_ERR_WRONG_BUS_TYPE,
                                        XL_ERR_CHANNEL_NOT_ACTIVE,
                                        XL_ERR_INVALID_PORT};
    std::atomic<int> unexpected{0};
    const auto check = [&](XLstatus s) {
        if (allowed.count(s) == 0) {
            unexpected.fetch_add(1);
        }
    };
    std::thread churn([&] {
        for (int i = 0; i < 150 && !stop; ++i) {
            XLportHandle p = XL_INVALID_PORTHANDLE;
            XLaccess perm = maskOf(kC);
            check(xlOpenPort(&p, "churn", maskOf(kC), &perm, 64, 3, XL_BUS_TYPE_CAN));
            XLhandle h = nullptr;
            check(xlSetNotification(p, &h, 1));
            check(xlActivateChannel(p, maskOf(kC), XL_BUS_TYPE_CAN, 8));
            check(xlCanSetChannelBitrate(p, maskOf(kC), 500000));
            check(xlClosePort(p));
        }
    });
    std::thread prober([&] {
        XLevent ev[4]{};
        for (uint32_t i = 0; !stop; ++i) {
            // Every handle but those of the two ports whose frames are counted.
            XLportHandle h = i % 7 == 0 ? XL_INVALID_PORTHANDLE : i % 200;
            if (h == a || h == b) {
                continue;
            }
            uint32_t n = 4;
            check(xlReceive(h, &n, ev));
            XLevent tx{};
            tx.tag = XL_TRANSMIT_MSG;
            tx.tagData.msg.dlc = 1;
            n = 1;
            check(xlCanTransmit(h, maskOf(kC), &n, &tx));
            check(xlFlushReceiveQueue(h));
            XLuint64 t = 0;
            check(xlGetSyncTime(h, &t));
        }
    });
    std::thread sender([&] {
        for (int i = 0; i < 2000; ++i) {
            check(send(a, 0x100, {static_cast<uint8_t>(i)}));
        }
    });
    int received = 0;
    XLevent ev{};
    while (received < 2000 && receive(b, &ev, 5000)) {
        if (ev.tag == XL_RECEIVE_MSG && ev.tagData.msg.id == 0x100) {
            ++received;
        }
    }
    sender.join();
    churn.join();
    stop = true;
    prober.join();
    EXPECT_EQ(received, 2000);
    EXPECT_EQ(unexpected.load(), 0);
}

// A port closed while other threads activate, deactivate and send on it, CAN and LIN alike: every
// call answers a status, a closed channel never comes back to the bus, and the peer hears exactly
// the frames whose transmit or header request succeeded.
TEST_F(CanTest, ClosingAPortRacesItsActivationAndItsSends) {
    constexpr uint8_t kLinId = 0x10;
    constexpr int kRounds = 200;
    struct Side {
        unsigned channel;
        uint32_t busType;
        XLportHandle peer;
    };
    const Side sides[] = {{kC, XL_BUS_TYPE_CAN, openActive(kA)},
                          {kF, XL_BUS_TYPE_LIN, openLin(kB, XL_LIN_SLAVE)}};

    // Four workers call on the port of the round until it answers XL_ERR_INVALID_PORT: one toggles
    // the activation, one activates, two send.
    const Side* side = nullptr;
    XLportHandle port = XL_INVALID_PORTHANDLE;
    std::atomic<int> calls[4] = {};
    std::atomic<int> unexpected{0}, succeeded{0};
    std::atomic<bool> finished{false};
    std::barrier sync(5);
    const auto work = [&](int worker) {
        const XLaccess mask = maskOf(side->channel);
        bool on = false;
        for (;;) {
            XLstatus s;
            if (worker < 2) {
                on = worker == 1 || !on;
                s = on ? xlActivateChannel(port, mask, side->busType, XL_ACTIVATE_RESET_CLOCK)
                       : xlDeactivateChannel(port, mask);
            } else if (side->busType == XL_BUS_TYPE_CAN) {
                XLevent e{};
                e.tag = XL_TRANSMIT_MSG;
                e.tagData.msg.id = 0x123;
                e.tagData.msg.dlc = 1;
                uint32_t count = 1;
                s = xlCanTransmit(port, mask, &count, &e);
            } else {
                s = xlLinSendRequest(port, mask, kLinId, 0);
            }
            calls[worker].fetch_add(1);
            succeeded.fetch_add(worker >= 2 && s == XL_SUCCESS);
            unexpected.fetch_add(s != XL_SUCCESS && s != XL_ERR_CHANNEL_NOT_ACTIVE &&
                                 s != XL_ERR_INVALID_PORT);
            if (s == XL_ERR_INVALID_PORT) {
                return;
            }
        }
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            for (;;) {
                sync.arrive_and_wait();
                if (finished.load()) {
                    return;
                }
                work(w);
                sync.arrive_and_wait();
            }
        });
    }
    // Between rounds the workers wait for the next one; a test that ends early lets them go.
    struct Release {
        std::atomic<bool>& finished;
        std::barrier<>& sync;
        std::vector<std::thread>& workers;
        ~Release() {
            finished.store(true);
            sync.arrive_and_wait();
            for (std::thread& t : workers) {
                t.join();
            }
        }
    } release{finished, sync, workers};

    for (const Side& s : sides) {
        SCOPED_TRACE(s.busType == XL_BUS_TYPE_CAN ? "CAN" : "LIN");
        side = &s;
        const XLaccess mask = maskOf(s.channel);
        int sent = 0, heard = 0;
        for (int round = 0; round < kRounds; ++round) {
            XLaccess permission = mask;
            ASSERT_EQ(xlOpenPort(&port, "race", mask, &permission, 256, XL_INTERFACE_VERSION, s.busType),
                      XL_SUCCESS);
            if (s.busType == XL_BUS_TYPE_LIN) {
                // The master answers its own headers, so each header it sends puts a frame on the bus.
                const uint8_t data[8] = {0x5A};
                ASSERT_EQ(xlLinSetChannelParams(port, mask, {XL_LIN_MASTER, 19200, XL_LIN_VERSION_2_0, 0}),
                          XL_SUCCESS);
                ASSERT_EQ(xlLinSetSlave(port, mask, kLinId, data, 1, XL_LIN_CALC_CHECKSUM), XL_SUCCESS);
            }
            for (std::atomic<int>& c : calls) {
                c.store(0);
            }
            succeeded.store(0);
            sync.arrive_and_wait();
            while (
                std::any_of(std::begin(calls), std::end(calls), [](const auto& c) { return c.load() < 5; })) {
                std::this_thread::yield();
            }
            EXPECT_EQ(xlClosePort(port), XL_SUCCESS);
            sync.arrive_and_wait();
            ASSERT_EQ(unexpected.load(), 0) << "round " << round;
            sent += succeeded.load();
            // The peer's frames of the race, until as many have come as were sent.
            XLevent ev{};
            while (heard < sent) {
                ASSERT_TRUE(receive(s.peer, &ev)) << "round " << round << ": " << heard << " of " << sent;
                heard += s.busType == XL_BUS_TYPE_CAN
                             ? ev.tag == XL_RECEIVE_MSG && ev.tagData.msg.id == 0x123
                             : ev.tag == XL_LIN_MSG && ev.tagData.linMsg.id == kLinId;
            }
        }
        XLevent extra{};
        EXPECT_FALSE(receive(s.peer, &extra, 100)) << "a frame nobody sent";
    }
}

}  // namespace
