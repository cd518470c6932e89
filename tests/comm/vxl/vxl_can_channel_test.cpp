#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/comm/vxl/vxl_fixture.h"
#include "tests/support/bytes.h"
#include "xl/xl_test_control.h"

namespace vxltest {
namespace {

using testing_support::Bytes;
using testing_support::bytes;
using testing_support::hex;
using xltest::kA;
using xltest::kB;
using xltest::kC;

using Clock = std::chrono::steady_clock;

// ---- opening

TEST_F(ChannelTest, OpensAndRegistersApplicationChannelsInTurn) {
    auto& counters = ComVXLapi::appChannelCounters();
    ASSERT_EQ(counters[XL_BUS_TYPE_CAN], 0u);
    auto first = openChannel(canParams(kA));
    EXPECT_TRUE(first->isOpenFlag());
    EXPECT_EQ(first->getLastError(), 0u);
    EXPECT_TRUE(first->checkOpen());
    EXPECT_EQ(first->typeCode(), 6u);
    EXPECT_EQ(first->name(), "COM_VXL_API_CAN_BASE_1_0_0");
    EXPECT_EQ(counters[XL_BUS_TYPE_CAN], 1u);

    auto second = openChannel(canParams(kB));
    EXPECT_EQ(counters[XL_BUS_TYPE_CAN], 2u);
    uint32_t type = 0, index = 9, channel = 9;
    ASSERT_EQ(xlGetApplConfig("VOCan", 0, &type, &index, &channel, XL_BUS_TYPE_CAN), XL_SUCCESS);
    EXPECT_EQ(channel, kA);
    ASSERT_EQ(xlGetApplConfig("VOCan", 1, &type, &index, &channel, XL_BUS_TYPE_CAN), XL_SUCCESS);
    EXPECT_EQ(channel, kB);
    EXPECT_EQ(type, kHwType);

    first.reset();
    EXPECT_EQ(counters[XL_BUS_TYPE_CAN], 0u);
    auto third = openChannel(canParams(kC));
    EXPECT_EQ(counters[XL_BUS_TYPE_CAN], 1u);
    ASSERT_EQ(xlGetApplConfig("VOCan", 0, &type, &index, &channel, XL_BUS_TYPE_CAN), XL_SUCCESS);
    EXPECT_EQ(channel, kC);
}

TEST_F(ChannelTest, OpenChannelCarriesFramesBothWays) {
    auto channel = openChannel(canParams(kA));
    const XLportHandle peer = openActive(kB);
    ASSERT_EQ(send(peer, kRxId, bytes("01 02 03 04 05 06 07 08")), XL_SUCCESS);
    ASSERT_TRUE(waitQueued(*channel, kRxId, 8));
    EXPECT_TRUE(channel->write(0x7E0, kRxId, bytes("AA BB")));
    expectFrame(peer, 0x7E0, 0xAA);
}

TEST_F(ChannelTest, FewerFramesThanTheNotificationLevelStillArrive) {
    for (uint32_t level : {0u, 32u}) {  // 0 counts as 1
        ComParamsVXLapiCAN params = canParams(kA);
        params.notificationLevel = level;
        auto channel = openChannel(params);
        EXPECT_EQ(static_cast<ComParamsVXLapiCAN*>(channel->getComParams())->notificationLevel,
                  level == 0 ? 1u : level);
        const XLportHandle peer = openActive(kB);
        ASSERT_EQ(send(peer, kRxId, bytes("01 02")), XL_SUCCESS);
        EXPECT_TRUE(waitQueued(*channel, kRxId, 2)) << level;
        channel.reset();
        ASSERT_EQ(xlClosePort(peer), XL_SUCCESS);
    }
}

struct OpenFailure {
    const char* what;
    uint32_t hwType;
    uint32_t hwIndex;
    uint32_t hwChannel;
};

void PrintTo(const OpenFailure& c, std::ostream* os) {
    *os << c.what;
}

class OpenFailureTest : public ChannelTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, HardwareTheConfigurationLacksFailsWith129) {
    const OpenFailure& c = GetParam();
    ProbeCAN channel(ComParamsVXLapiCAN(10000, c.hwType, c.hwIndex, c.hwChannel, 500000), kRxId);
    EXPECT_FALSE(channel.ensureInit());
    EXPECT_FALSE(channel.isOpenFlag());
    EXPECT_EQ(channel.getLastError(), 129u);
    EXPECT_EQ(channel.port(), XL_INVALID_PORTHANDLE);
    EXPECT_EQ(ComVXLapi::appChannelCounters()[XL_BUS_TYPE_CAN], 0u);
    try {
        channel.checkOpen();
        ADD_FAILURE() << "no exception";
    } catch (const ComVXLapi::bad_open_vxlapi_hardware& e) {
        EXPECT_STREQ(e.what(),
                     "Could not open Communication: Hardware open failed, check CANcard and LINcab");
    }
    // Every locked operation fails from now on, without a second attempt.
    EXPECT_FALSE(channel.send(bytes("01"), 0x7E0, kRxId));
    EXPECT_EQ(channel.getLastError(), 129u);
}

INSTANTIATE_TEST_SUITE_P(Channels, OpenFailureTest,
                         ::testing::Values(OpenFailure{"UnknownType", 2, 0, 0},
                                           OpenFailure{"UnknownIndex", kHwType, 1, 0},
                                           OpenFailure{"UnknownChannel", kHwType, 0, 7},
                                           OpenFailure{"LinOnlyChannel", kHwType, 0, 5},
                                           OpenFailure{"ChannelSixteen", kHwType, 0, 16},
                                           OpenFailure{"ChannelFromPortZero", kHwType, 0, 0xFFFFFFFFu}),
                         [](const ::testing::TestParamInfo<OpenFailure>& info) {
                             return std::string(info.param.what);
                         });

TEST_F(ChannelTest, RefusedBitRateFailsTheOpenWithoutAnErrorCode) {
    for (uint32_t bitrate : {0u, 2000000u}) {
        ProbeCAN channel(canParams(kA, bitrate), kRxId);
        EXPECT_FALSE(channel.ensureInit()) << bitrate;
        EXPECT_EQ(channel.getLastError(), 0u);
        EXPECT_THROW(channel.checkOpen(), ComVXLapi::bad_open_vxlapi_data);
    }
    ComParamsVXLapiCAN fd = fdParams(kA);
    fd.bitrate = 100000;  // data phase slower than arbitration
    ProbeCAN channel(fd, kRxId);
    EXPECT_FALSE(channel.ensureInit());
    try {
        channel.checkOpen();
        ADD_FAILURE() << "no exception";
    } catch (const ComVXLapi::bad_open_vxlapi_data& e) {
        EXPECT_STREQ(e.what(), "Could not open Communication: Set data for slave task failed");
    }
}

TEST_F(ChannelTest, WithoutInitAccessTheBitRateIsLeftAlone) {
    // The peer's port holds init access, so the channel's refused bit rate is never set.
    const XLportHandle peer = openActive(kA);
    auto channel = openChannel(canParams(kA, 0));
    EXPECT_TRUE(channel->isOpenFlag());
    (void)peer;
}

// ---- identifiers

TEST_F(ChannelTest, AcceptsOnlyTheNamedReceiveIdentifiers) {
    auto channel = openChannel(canParams(kA), 0);
    const XLportHandle peer = openActive(kB);
    ASSERT_EQ(send(peer, 0x100, bytes("01")), XL_SUCCESS);
    ASSERT_TRUE(channel->setRxIds({0x200}));
    ASSERT_EQ(send(peer, 0x200, bytes("02")), XL_SUCCESS);
    ASSERT_TRUE(waitQueued(*channel, 0x200, 1));
    EXPECT_EQ(channel->available(0x100), 0u);

    ASSERT_TRUE(channel->setRxIds({0x100, 0x200}));
    EXPECT_EQ(channel->copyRxIds(), (std::vector<uint32_t>{0x100, 0x200}));
    ASSERT_EQ(send(peer, 0x100, bytes("03 04")), XL_SUCCESS);
    ASSERT_EQ(send(peer, 0x300, bytes("05")), XL_SUCCESS);
    ASSERT_EQ(send(peer, 0x200, bytes("06")), XL_SUCCESS);
    ASSERT_TRUE(waitQueued(*channel, 0x200, 2));
    EXPECT_EQ(channel->available(0x100), 2u);
    EXPECT_EQ(channel->available(0x300), 0u);
    EXPECT_FALSE(channel->isRxIdAccepted(0x300));
}

TEST_F(ChannelTest, IdentifiersAbove7FFGoOutExtendedAndAreFiledWithoutTheFlag) {
    auto channel = openChannel(canParams(kA), 0x12345);
    const XLportHandle peer = openActive(kB);
    ASSERT_TRUE(channel->write(0x7FF, 8, bytes("01")));
    expectFrame(peer, 0x7FF, 0x01);
    ASSERT_TRUE(channel->write(0x800, 8, bytes("02")));
    expectFrame(peer, 0x800 | XL_CAN_EXT_MSG_ID, 0x02);

    ASSERT_EQ(send(peer, 0x12345 | XL_CAN_EXT_MSG_ID, bytes("0A 0B")), XL_SUCCESS);
    ASSERT_TRUE(waitQueued(*channel, 0x12345, 2));
    Bytes out;
    EXPECT_TRUE(channel->read(0, 0x12345, out, 2));
    EXPECT_EQ(hex(out), "0A 0B");
}

TEST_F(ChannelTest, WriteTakesItsDataLengthFromTheReceiveIdentifier) {
    auto channel = openChannel(canParams(kA));
    const XLportHandle peer = openActive(kB);
    EXPECT_TRUE(channel->write(0x7E0, kRxId, {}));  // not sent
    ASSERT_TRUE(channel->write(0x7E0, 0x643, bytes("01 02 03")));
    ASSERT_TRUE(channel->write(0x7E0, 2, bytes("04 05 06")));
    XLevent ev{};
    ASSERT_TRUE(receive(peer, &ev));
    EXPECT_EQ(ev.tagData.msg.dlc, 8u);
    EXPECT_EQ(hex(Bytes(ev.tagData.msg.data, ev.tagData.msg.data + 8)), "01 02 03 00 00 00 00 00");
    ASSERT_TRUE(receive(peer, &ev));
    EXPECT_EQ(ev.tagData.msg.dlc, 2u);
    EXPECT_EQ(hex(Bytes(ev.tagData.msg.data, ev.tagData.msg.data + 2)), "04 05");
}

// ---- received frames

TEST_F(ChannelTest, RemoteAndErrorFramesAreDropped) {
    auto channel = openChannel(canParams(kA), 0);
    ASSERT_TRUE(channel->setRxIds({0x101, 0x102, 0x103}));
    const XLportHandle peer = openActive(kB);
    const XLportHandle fdPeer = openActive(kC, XL_INTERFACE_VERSION_V4);
    ASSERT_EQ(send(peer, 0x101, bytes("01 02 03 04"), 4, XL_CAN_MSG_FLAG_REMOTE_FRAME), XL_SUCCESS);
    // A CAN FD frame reaches a classic port as an error frame.
    ASSERT_EQ(sendFd(fdPeer, 0x102, 9, XL_CAN_TXMSG_FLAG_EDL, Bytes(12, 0x55)), XL_SUCCESS);
    ASSERT_EQ(send(peer, 0x103, bytes("07")), XL_SUCCESS);
    ASSERT_TRUE(waitQueued(*channel, 0x103, 1));
    EXPECT_EQ(channel->available(0x101), 0u);
    EXPECT_EQ(channel->available(0x102), 0u);
}

TEST_F(ChannelTest, ClassicFrameWithCodeAbove8IsFiledWith8Bytes) {
    auto channel = openChannel(canParams(kA));
    const XLportHandle peer = openActive(kB);
    ASSERT_EQ(send(peer, kRxId, bytes("01 02 03 04 05 06 07 08"), 12), XL_SUCCESS);
    ASSERT_TRUE(waitQueued(*channel, kRxId, 8));
    EXPECT_EQ(channel->available(kRxId), 8u);
}

struct FdLength {
    uint8_t dlc;
    uint32_t flags;
    uint32_t filed;
};

TEST_F(ChannelTest, CanFdFramesAreFiledWithTheLengthOfTheirCode) {
    auto channel = openChannel(fdParams(kA));
    EXPECT_EQ(channel->maxDataLength(), 64u);
    const XLportHandle peer = openActive(kB, XL_INTERFACE_VERSION_V4);
    const FdLength cases[] = {
        {13, XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS, 32},
        {9, XL_CAN_TXMSG_FLAG_EDL, 12},
        {15, XL_CAN_TXMSG_FLAG_EDL, 64},
        {5, XL_CAN_TXMSG_FLAG_EDL, 5},
        {12, 0, 8},  // a classic frame: its code counts up to 8
    };
    for (const FdLength& c : cases) {
        ASSERT_EQ(sendFd(peer, kRxId, c.dlc, c.flags, Bytes(64, 0x5A)), XL_SUCCESS);
        ASSERT_TRUE(waitQueued(*channel, kRxId, c.filed)) << int(c.dlc);
        EXPECT_EQ(channel->available(kRxId), c.filed) << int(c.dlc);
        EXPECT_TRUE(channel->flushReceive(kRxId));
    }
}

TEST_F(ChannelTest, CanFdWriteChoosesTheCodeOfItsLength) {
    auto channel = openChannel(fdParams(kA));
    const XLportHandle peer = openActive(kB, XL_INTERFACE_VERSION_V4);
    ASSERT_TRUE(channel->write(0x7E0, 0x643, Bytes(20, 0x11)));
    ASSERT_TRUE(channel->write(0x7E0, 10, Bytes(20, 0x22)));
    XLcanRxEvent ev{};
    ASSERT_TRUE(receiveFd(peer, &ev));
    EXPECT_EQ(ev.tagData.canRxOkMsg.dlc, 15u);
    EXPECT_EQ(ev.tagData.canRxOkMsg.msgFlags & 3u, 3u);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[19], 0x11);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[20], 0x00);
    ASSERT_TRUE(receiveFd(peer, &ev));
    EXPECT_EQ(ev.tagData.canRxOkMsg.dlc, 9u);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[9], 0x22);
    EXPECT_EQ(ev.tagData.canRxOkMsg.data[10], 0x00);
}

TEST(CanFdLengthToDlc, MapsLengthsOntoCodes) {
    const std::pair<uint32_t, uint8_t> cases[] = {{0, 0},   {8, 8},   {9, 9},   {12, 9},   {13, 10},
                                                  {16, 10}, {20, 11}, {24, 12}, {25, 13},  {32, 13},
                                                  {48, 14}, {49, 15}, {64, 15}, {1000, 15}};
    for (const auto& [length, dlc] : cases) {
        EXPECT_EQ(ComVXLapiCANbase::canFdLengthToDlc(length), dlc) << length;
    }
}

// ---- faults

TEST_F(ChannelTest, FullTransmitQueueIsRetriedOnce) {
    auto channel = openChannel(canParams(kA));
    const XLportHandle peer = openActive(kB);
    ASSERT_EQ(xl::test::failNextTransmits(channel->port(), channel->mask(), 1), XL_SUCCESS);
    const auto start = Clock::now();
    EXPECT_TRUE(channel->write(0x7E0, 8, bytes("01")));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(25));  // the pause before the retry
    expectFrame(peer, 0x7E0, 0x01);

    ASSERT_EQ(xl::test::failNextTransmits(channel->port(), channel->mask(), 2), XL_SUCCESS);
    EXPECT_FALSE(channel->write(0x7E0, 8, bytes("02")));
    EXPECT_TRUE(channel->write(0x7E0, 8, bytes("03")));
    expectFrame(peer, 0x7E0, 0x03);  // 02 was never sent
}

TEST_F(ChannelTest, EveryBusOffIsAnsweredByARecovery) {
    auto channel = openChannel(canParams(kA));
    const XLportHandle peer = openActive(kB);
    for (uint8_t round = 1; round <= 2; ++round) {
        ASSERT_EQ(
            xl::test::injectChipState(channel->port(), channel->mask(), XL_CHIPSTAT_BUSOFF, 0xF8, round),
            XL_SUCCESS);
        ASSERT_TRUE(waitUntil([&] { return channel->getRxErrorCounter() == round; })) << int(round);
        EXPECT_EQ(channel->getBusStatus(), XL_CHIPSTAT_BUSOFF);
        EXPECT_EQ(channel->getTxErrorCounter(), 0xF8);
        // Back on the bus: frames from the peer arrive again and the channel can send.
        ASSERT_TRUE(waitUntil([&] {
            send(peer, kRxId, {round});
            return channel->available(kRxId) > 0;
        })) << "no recovery in round "
            << int(round);
        EXPECT_TRUE(channel->flushReceive(kRxId));
        ASSERT_TRUE(waitUntil([&] { return channel->write(0x7E0, 8, {round}); }));
        XLevent ev{};
        ASSERT_TRUE(receive(peer, &ev));
        EXPECT_EQ(ev.tagData.msg.data[0], round);
    }
    ASSERT_EQ(xl::test::injectChipState(channel->port(), channel->mask(), XL_CHIPSTAT_ERROR_ACTIVE, 0, 0),
              XL_SUCCESS);
    EXPECT_TRUE(waitUntil([&] { return channel->getBusStatus() == XL_CHIPSTAT_ERROR_ACTIVE; }));
}

// ---- read

TEST_F(ChannelTest, ReadJoinsFrames) {
    auto channel = openChannel(canParams(kA));
    const XLportHandle peer = openActive(kB);
    ASSERT_EQ(send(peer, kRxId, bytes("01 02 03 04")), XL_SUCCESS);
    ASSERT_EQ(send(peer, kRxId, bytes("05 06 07 08")), XL_SUCCESS);
    Bytes out = bytes("FF");
    EXPECT_TRUE(channel->read(0, kRxId, out, 0));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(channel->read(0, kRxId, out, 8));
    EXPECT_EQ(hex(out), "01 02 03 04 05 06 07 08");
}

TEST_F(ChannelTest, ReadThatTimesOutGivesWhatArrived) {
    auto channel = openChannel(canParams(kA));
    channel->getComParams()->rxTimeoutMs = 300;
    const XLportHandle peer = openActive(kB);
    ASSERT_EQ(send(peer, kRxId, bytes("01 02 03")), XL_SUCCESS);
    ASSERT_TRUE(waitQueued(*channel, kRxId, 3));
    Bytes out;
    const auto start = Clock::now();
    EXPECT_FALSE(channel->read(0, kRxId, out, 8));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_EQ(hex(out), "01 02 03");
    EXPECT_EQ(channel->available(kRxId), 0u);

    channel->getComParams()->rxTimeoutMs = 0;
    EXPECT_FALSE(channel->read(0, kRxId, out, 1));
    EXPECT_TRUE(out.empty());
}

// ---- lifetime

TEST_F(ChannelTest, DestructorStopsTheReceiveThreadOnABusyBus) {
    auto channel = openChannel(canParams(kA));
    const XLportHandle peer = openActive(kB);
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        const auto limit = Clock::now() + std::chrono::seconds(30);
        while (flooding.load() && Clock::now() < limit) {
            send(peer, kRxId, bytes("01 02 03 04 05 06 07 08"));
        }
    });
    ASSERT_TRUE(waitQueued(*channel, kRxId, 800));
    const auto start = Clock::now();
    channel.reset();
    const auto took = Clock::now() - start;
    flooding.store(false);
    flood.join();
    EXPECT_LT(took, std::chrono::seconds(5));
}

}  // namespace
}  // namespace vxltest
