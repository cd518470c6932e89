// LIN on the virtual bus: protected identifiers and checksums, headers answered by the node whose
// switched-on slave entry serves them, and the LIN slave peer of the simulated ECU.

#include <gtest/gtest.h>

#include <vector>

#include "tests/xl/xl_fixture.h"
#include "xl/lin.h"
#include "xl/lin_slave_peer.h"
#include "xl/xl_api.h"
#include "xl/xl_test_control.h"

namespace {

using namespace xltest;
using Bytes = std::vector<uint8_t>;

// ---- Frame arithmetic

TEST(LinFrame, ProtectedIdentifiersCarryTheParityBits) {
    const struct {
        uint8_t id, pid;
    } cases[] = {{0x00, 0x80}, {0x01, 0xC1}, {0x10, 0x50}, {0x11, 0x11}, {0x30, 0xF0},
                 {0x3C, 0x3C}, {0x3D, 0x7D}, {0x3E, 0xFE}, {0x3F, 0xBF}};
    for (const auto& c : cases) {
        EXPECT_EQ(xl::lin::protectedId(c.id), c.pid) << "id " << int(c.id);
    }
}

TEST(LinFrame, ChecksumsClassicAndEnhanced) {
    const struct {
        uint8_t id;
        bool enhanced;
        Bytes data;
        uint8_t checksum;
    } cases[] = {
        {0x10, false, {0xFF, 0xFF, 0x01}, 0xFE},  // 0x1FF -> 0x100 -> 0x01: carry folded in twice
        {0x10, false, {}, 0xFF},
        {0x10, false, {0x01, 0x02}, 0xFC},
        {0x11, true, {0x01, 0x02}, 0xEB},  // protected id 0x11 first
        {0x00, true, {0x80}, 0xFE},        // 0x80 + 0x80 = 0x100 -> 0x01
        {0x3B, true, {0x01}, 0x03},        // 59 still enhanced: pid 0xFB
        {0x3C, true, {0x01, 0x02}, 0xFC},  // 60 to 63 always classic
        {0x3D, true, {0x01, 0x02}, 0xFC},
        {0x3F, true, {0x01, 0x02}, 0xFC},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(xl::lin::frameChecksum(c.id, c.enhanced, c.data.data(), c.data.size()), c.checksum)
            << "id " << int(c.id) << (c.enhanced ? " enhanced" : " classic");
    }
}

// ---- The bus

class LinBusTest : public XlTest {
  protected:
    XLstatus header(XLportHandle port, uint8_t id) {
        return xlLinSendRequest(port, maskOf(channelOf_[port]), id, 0);
    }

    // Master F and slave B, with A listening, all on busA.
    void SetUp() override {
        XlTest::SetUp();
        master = openLin(kF, XL_LIN_MASTER);
        slave = openLin(kB, XL_LIN_SLAVE);
        listener = openLin(kA, XL_LIN_SLAVE);
    }
    XLportHandle master = XL_INVALID_PORTHANDLE;
    XLportHandle slave = XL_INVALID_PORTHANDLE;
    XLportHandle listener = XL_INVALID_PORTHANDLE;
};

TEST_F(LinBusTest, TheServingSlaveAnswersWithItsDataLengthAndChecksum) {
    const struct {
        uint8_t id;
        uint16_t model;
        uint8_t checksum;
    } cases[] = {{0x11, XL_LIN_CALC_CHECKSUM, 0xFC},
                 {0x11, XL_LIN_CALC_CHECKSUM_ENHANCED, 0xEB},
                 {0x3D, XL_LIN_CALC_CHECKSUM_ENHANCED, 0xFC}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "id " << int(c.id) << " model " << c.model);
        // Data beyond the entry's length of 2 is not sent.
        ASSERT_EQ(setLinSlave(slave, c.id, {0x01, 0x02, 0x03, 0x04}, 2, c.model), XL_SUCCESS);
        ASSERT_EQ(header(master, c.id), XL_SUCCESS);
        for (XLportHandle port : {master, listener, slave}) {
            const s_xl_lin_msg m = nextLin(port);
            EXPECT_EQ(m.id, c.id);
            EXPECT_EQ(linData(m), (Bytes{0x01, 0x02}));
            EXPECT_EQ(m.crc, c.checksum);
            EXPECT_EQ(m.flags, port == slave ? XL_LIN_MSGFLAG_TX : 0);
        }
    }
}

TEST_F(LinBusTest, AHeaderThatNoSwitchedOnEntryServesGivesNoFrame) {
    ASSERT_EQ(setLinSlave(slave, 0x20, {0xAA}, 1, XL_LIN_CALC_CHECKSUM), XL_SUCCESS);
    ASSERT_EQ(setLinSlave(slave, 0x21, {0xBB}, 1, XL_LIN_CALC_CHECKSUM), XL_SUCCESS);
    ASSERT_EQ(xlLinSwitchSlave(slave, maskOf(kB), 0x20, XL_LIN_SLAVE_OFF), XL_SUCCESS);
    ASSERT_EQ(header(master, 0x20), XL_SUCCESS);  // switched off
    ASSERT_EQ(header(master, 0x05), XL_SUCCESS);  // never set
    ASSERT_EQ(header(master, 0x21), XL_SUCCESS);
    // Frames keep bus order, so the first frame anyone sees is the answer to the last header.
    EXPECT_EQ(nextLin(master).id, 0x21);
    EXPECT_EQ(nextLin(slave).id, 0x21);

    ASSERT_EQ(xlLinSwitchSlave(slave, maskOf(kB), 0x20, XL_LIN_SLAVE_ON), XL_SUCCESS);
    ASSERT_EQ(header(master, 0x20), XL_SUCCESS);
    EXPECT_EQ(linData(nextLin(master)), Bytes{0xAA});
}

TEST_F(LinBusTest, AMasterServesItsOwnEntries) {
    ASSERT_EQ(setLinSlave(master, 0x3C, {0x73, 0x01, 0x3E}, 8, XL_LIN_CALC_CHECKSUM), XL_SUCCESS);
    ASSERT_EQ(header(master, 0x3C), XL_SUCCESS);
    const Bytes expected{0x73, 0x01, 0x3E, 0, 0, 0, 0, 0};
    for (XLportHandle port : {master, slave, listener}) {
        const s_xl_lin_msg m = nextLin(port);
        EXPECT_EQ(m.id, 0x3C);
        EXPECT_EQ(linData(m), expected);
        EXPECT_EQ(m.flags, port == master ? XL_LIN_MSGFLAG_TX : 0);
    }
}

// An entry that answered a header holds the bytes set to follow it at once, so a header that comes
// before its node could renew the entry gets those, never a second copy of the frame before.
TEST_F(LinBusTest, AnEntryThatAnsweredHoldsWhatWasSetToFollowIt) {
    const Bytes after{0x73, 0x30, 0x00, 0xFF, 0, 0, 0, 0};
    ASSERT_EQ(xl::test::linSlaveAfterResponse(slave, maskOf(kB), 0x3D, after.data(), 8), XL_SUCCESS);
    ASSERT_EQ(setLinSlave(slave, 0x3D, {0x73, 0x02, 0x50, 0x01}, 8, XL_LIN_CALC_CHECKSUM), XL_SUCCESS);
    const Bytes first{0x73, 0x02, 0x50, 0x01, 0, 0, 0, 0};
    for (const Bytes& expected : {first, after, after}) {
        ASSERT_EQ(header(master, 0x3D), XL_SUCCESS);
        EXPECT_EQ(linData(nextLin(master)), expected);
    }
    // A new entry is sent once, then gives way again; with the bytes cleared it stays.
    ASSERT_EQ(setLinSlave(slave, 0x3D, {0x11}, 8, XL_LIN_CALC_CHECKSUM), XL_SUCCESS);
    ASSERT_EQ(header(master, 0x3D), XL_SUCCESS);
    EXPECT_EQ(linData(nextLin(master)), (Bytes{0x11, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(xl::test::linSlaveAfterResponse(slave, maskOf(kB), 0x3D, nullptr, 0), XL_SUCCESS);
    ASSERT_EQ(setLinSlave(slave, 0x3D, {0x22}, 8, XL_LIN_CALC_CHECKSUM), XL_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(header(master, 0x3D), XL_SUCCESS);
        EXPECT_EQ(linData(nextLin(master)), (Bytes{0x22, 0, 0, 0, 0, 0, 0, 0}));
    }
}

TEST_F(LinBusTest, RefusalsAreStatusesNotFrames) {
    EXPECT_EQ(header(slave, 0x10), XL_ERR_CMD_FAILED);  // a slave sends no header
    EXPECT_EQ(header(master, 64), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(setLinSlave(slave, 64, {}, 1, XL_LIN_CALC_CHECKSUM), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(setLinSlave(slave, 1, {}, 9, XL_LIN_CALC_CHECKSUM), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(setLinSlave(slave, 1, {}, 1, 0x300), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlLinSwitchSlave(slave, maskOf(kB), 64, XL_LIN_SLAVE_ON), XL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(xlLinSendRequest(XL_INVALID_PORTHANDLE, maskOf(kF), 1, 0), XL_ERR_INVALID_PORT);
}

// ---- The LIN slave peer

class LinPeerTest : public LinBusTest {
  protected:
    std::unique_ptr<xl::LinSlavePeer> openPeer(unsigned channel) {
        std::string error;
        auto peer = xl::LinSlavePeer::open({.hwType = 1, .hwIndex = 0, .hwChannel = channel}, &error);
        EXPECT_TRUE(peer) << error;
        return peer;
    }
};

TEST_F(LinPeerTest, AnswersEachResponseHeaderWithTheNextQueuedFrame) {
    std::string error;
    EXPECT_FALSE(xl::LinSlavePeer::open({.hwType = 1, .hwIndex = 0, .hwChannel = 2}, &error));
    EXPECT_NE(error.find("xlOpenPort"), std::string::npos) << error;  // Bench C serves CAN only
    auto peer = openPeer(1);  // hardware channel 1: Bench B, on the bus of the master
    ASSERT_TRUE(peer);
    ASSERT_EQ(xlClosePort(slave), XL_SUCCESS);  // the peer takes the ECU's place

    peer->queueResponse({0x73, 0x02, 0x50, 0x01});
    peer->queueResponse({0x73, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x99});  // cut to 8
    EXPECT_EQ(peer->pendingResponses(), 2u);
    const Bytes expected[] = {{0x73, 0x02, 0x50, 0x01, 0, 0, 0, 0}, {0x73, 0x30, 0, 0, 0, 0, 0, 0}};
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(header(master, 0x3D), XL_SUCCESS);
        const s_xl_lin_msg m = nextLin(master);
        EXPECT_EQ(m.id, 0x3D);
        EXPECT_EQ(linData(m), expected[i]);
        EXPECT_EQ(m.crc, xl::lin::frameChecksum(0x3D, false, m.data, 8));
        ASSERT_TRUE(waitUntil([&] { return peer->responsesSent() == i + 1; }));
    }
    EXPECT_EQ(peer->pendingResponses(), 0u);

    // Nothing left to send: the header goes unanswered, the master's own request frame comes next.
    ASSERT_EQ(header(master, 0x3D), XL_SUCCESS);
    ASSERT_EQ(setLinSlave(master, 0x3C, {0x73, 0x01, 0x3E}, 8, XL_LIN_CALC_CHECKSUM), XL_SUCCESS);
    ASSERT_EQ(header(master, 0x3C), XL_SUCCESS);
    EXPECT_EQ(nextLin(master).id, 0x3C);
    Bytes request;
    ASSERT_TRUE(peer->nextRequest(request, 5000));
    EXPECT_EQ(request, (Bytes{0x73, 0x01, 0x3E, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(peer->nextRequest(request, 0));
    EXPECT_EQ(peer->responsesSent(), 2u);
}

TEST_F(LinPeerTest, ClearedResponsesAreNotSent) {
    ASSERT_EQ(xlClosePort(slave), XL_SUCCESS);
    auto peer = openPeer(1);
    ASSERT_TRUE(peer);
    peer->queueResponse({0x01});
    peer->clearResponses();
    peer->queueResponse({0x02});
    ASSERT_EQ(header(master, 0x3D), XL_SUCCESS);
    EXPECT_EQ(nextLin(master).data[0], 0x02);
}

}  // namespace
