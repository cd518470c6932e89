// The Vector LIN channel on the virtual bus: its tables, set-up, writes as master and slave, and the
// checksum test of its receive thread. The other nodes are plain driver ports of the test.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "comm/ComVXLapiLIN.h"
#include "tests/comm/vxl/vxl_fixture.h"
#include "tests/support/bytes.h"
#include "xl/bus.h"
#include "xl/lin.h"

namespace vxltest {
namespace {

using testing_support::Bytes;
using xltest::kA;
using xltest::kB;
using xltest::kF;
using xltest::maskOf;

constexpr uint8_t kRequestId = 0x3C;
constexpr uint8_t kResponseId = 0x3D;

ComParamsVXLapiLIN linParams(uint32_t hwChannel, uint32_t mode, uint32_t version = 1,
                             std::vector<uint8_t> slaveIds = {kRequestId},
                             std::vector<uint8_t> initial = {}) {
    return ComParamsVXLapiLIN(1000, mode, true, slaveIds, initial, version, 19200, kHwType, kHwIndex,
                              hwChannel);
}

// ---- tables

TEST(LinInfoTest, ProtectedIdentifiersAndLengths) {
    const LinInfo::Table& t = LinInfo::table()[0];
    ASSERT_EQ(t.size(), 64u);
    EXPECT_EQ(t[0].protectedId, 0x80);
    EXPECT_EQ(t[0x3C].protectedId, 0x3C);
    EXPECT_EQ(t[0x3D].protectedId, 0x7D);
    const struct { uint8_t id, length; } lengths[] = {{0, 2}, {31, 2}, {32, 4}, {47, 4}, {48, 8}, {63, 8}};
    for (const auto& c : lengths) {
        EXPECT_EQ(t[c.id].length, c.length) << "id " << int(c.id);
        EXPECT_EQ(ComVXLapiLIN::dlcTable()[c.id], c.length);
    }
    EXPECT_EQ(&LinInfo::table()[40], &LinInfo::table()[31]);
    EXPECT_NE(&LinInfo::table()[30], &LinInfo::table()[31]);
}

TEST(LinChannelTables, ChecksumModelsFollowTheLinVersion) {
    const struct {
        uint32_t version;
        uint32_t below60;
    } cases[] = {{1, XL_LIN_CALC_CHECKSUM}, {2, XL_LIN_CALC_CHECKSUM_ENHANCED}, {3, XL_LIN_CALC_CHECKSUM}};
    for (const auto& c : cases) {
        ComVXLapiLIN channel(linParams(kF, XL_LIN_MASTER, c.version), 1);
        EXPECT_EQ(channel.checksumModel(0), c.below60);
        EXPECT_EQ(channel.checksumModel(59), c.below60);
        for (uint32_t id = 60; id < 64; ++id) {
            EXPECT_EQ(channel.checksumModel(id), XL_LIN_CALC_CHECKSUM) << id;
        }
        EXPECT_EQ(channel.dataLength(17), 8);
    }
}

TEST(LinChannelTables, ChecksumOfThePayload) {
    const struct {
        uint32_t id;
        bool enhanced;
        Bytes payload;
        uint8_t checksum;
    } cases[] = {
        {0x10, false, {0xFF, 0xFF, 0x01}, 0xFE}, {0x11, true, {0x01, 0x02}, 0xEB}, {0x00, true, {0x80}, 0xFE},
        {60, true, {0x01, 0x02}, 0xFC},          {63, true, {0x01, 0x02}, 0xFC},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ComVXLapiLIN::checksum(c.id, c.enhanced, c.payload), c.checksum) << "id " << c.id;
    }
}

TEST(LinChannelTables, SettersCheckTheirRanges) {
    ComVXLapiLIN channel(linParams(kF, XL_LIN_MASTER), 1);
    EXPECT_EQ(channel.name(), "COM_VXL_API_LIN");
    EXPECT_EQ(channel.appName(), "VOLin");
    EXPECT_EQ(channel.busType(), XL_BUS_TYPE_LIN);
    EXPECT_TRUE(channel.setDlc(5, 3));
    EXPECT_EQ(channel.dataLength(5), 3);
    EXPECT_FALSE(channel.setDlc(5, 9));
    EXPECT_FALSE(channel.setDlc(64, 1));
    EXPECT_FALSE(channel.setChecksumModelEntry(64, true));
    EXPECT_FALSE(channel.setChecksumModel(64, true));
    // Before the open the driver calls fail, but the model is kept.
    EXPECT_FALSE(channel.setChecksumModel(0x10, true));
    EXPECT_EQ(channel.checksumModel(0x10), XL_LIN_CALC_CHECKSUM_ENHANCED);
    EXPECT_TRUE(channel.isSlaveId(kRequestId));
    EXPECT_FALSE(channel.isSlaveId(kResponseId));
}

// ---- on the bus

class ProbeLIN : public ComVXLapiLIN {
  public:
    using ComVXLapiLIN::ComVXLapiLIN;
    ~ProbeLIN() override { stopRxThread(); }
    uint32_t rxQueueCount(uint32_t id) { return rxQueue.count(id); }
};

class LinChannelTest : public ChannelTest {
  protected:
    std::unique_ptr<ProbeLIN> openLinChannel(const ComParamsVXLapiLIN& params) {
        auto channel = std::make_unique<ProbeLIN>(params, 1);
        EXPECT_TRUE(channel->ensureInit()) << "lastError " << channel->getLastError();
        channel->setRxTimeout(2000);
        return channel;
    }
    // A plain driver port on the channel, LIN slave, activated.
    XLportHandle node(unsigned channel) { return XlTest::openLin(channel, XL_LIN_SLAVE, XL_LIN_VERSION_1_3); }
    void serve(XLportHandle port, uint8_t id, const Bytes& data, uint16_t model = XL_LIN_CALC_CHECKSUM) {
        ASSERT_EQ(setLinSlave(port, id, data, static_cast<uint8_t>(data.size()), model), XL_SUCCESS);
    }
    static Bytes dataOf(const s_xl_lin_msg& m) { return linData(m); }
    static Bytes header() { return {}; }
};

TEST_F(LinChannelTest, MasterServingSlavesSetsItsResponseThenSendsTheHeader) {
    auto master = openLinChannel(linParams(kF, XL_LIN_MASTER));
    const XLportHandle ecu = node(kB);
    ASSERT_TRUE(master->write(kRequestId, 0, {0x73, 0x02, 0x10, 0x01}));
    s_xl_lin_msg m = nextLin(ecu);
    EXPECT_EQ(m.id, kRequestId);
    EXPECT_EQ(dataOf(m), (Bytes{0x73, 0x02, 0x10, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(m.crc, xl::lin::frameChecksum(kRequestId, false, m.data, 8));

    // Another identifier gets only the header; the ECU's answer arrives under that identifier.
    serve(ecu, kResponseId, {0x73, 0x02, 0x50, 0x01, 0, 0, 0, 0});
    ASSERT_TRUE(master->write(kResponseId, 0, header()));
    Bytes out;
    EXPECT_TRUE(master->read(0, kResponseId, out, 4));  // a whole frame, whatever count asks
    EXPECT_EQ(out, (Bytes{0x73, 0x02, 0x50, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(nextLin(ecu).flags, XL_LIN_MSGFLAG_TX);  // the ECU's own copy
}

TEST_F(LinChannelTest, ResponseLengthFromRxId) {
    auto master = openLinChannel(linParams(kF, XL_LIN_MASTER));
    const XLportHandle listener = node(kA);
    const Bytes frame{1, 2, 3, 4, 5, 6, 7, 8, 9};
    for (uint32_t rxId : {0u, 1u, 4u, 8u, 9u, 0x3Du}) {
        ASSERT_TRUE(master->write(kRequestId, rxId, frame));
        const s_xl_lin_msg m = nextLin(listener);
        const size_t length = rxId >= 1 && rxId <= 8 ? rxId : 8;
        EXPECT_EQ(dataOf(m), Bytes(frame.begin(), frame.begin() + static_cast<long>(length)))
            << "rxId " << rxId;
    }
}

TEST_F(LinChannelTest, IdentifiersOf64AndUnsetModesAreRefused) {
    auto master = openLinChannel(linParams(kF, XL_LIN_MASTER));
    Bytes out{1};
    EXPECT_FALSE(master->write(64, 0, {1}));
    EXPECT_FALSE(master->write(0xFFFFFFFF, 0, {1}));
    EXPECT_FALSE(master->read(0, 64, out, 8));
    EXPECT_TRUE(out.empty());
    auto neither = std::make_unique<ProbeLIN>(linParams(kB, 0), 2);
    EXPECT_FALSE(neither->write(kRequestId, 0, {1}));
}

TEST_F(LinChannelTest, ReceiveThreadDropsFramesWithTheWrongChecksum) {
    auto master = openLinChannel(linParams(kF, XL_LIN_MASTER, 2));  // enhanced below 60
    const XLportHandle ecu = node(kB);
    master->setRxTimeout(0);
    const struct {
        uint8_t id;
        uint16_t slaveModel;
        bool channelEnhanced;
        bool kept;
    } cases[] = {
        {0x10, XL_LIN_CALC_CHECKSUM_ENHANCED, true, true},
        {0x11, XL_LIN_CALC_CHECKSUM, true, false},
        {0x12, XL_LIN_CALC_CHECKSUM, false, true},
        {0x13, XL_LIN_CALC_CHECKSUM_ENHANCED, false, false},
        {0x3E, XL_LIN_CALC_CHECKSUM_ENHANCED, true, true},  // 60 to 63: classic whatever the models
        {0x3F, XL_LIN_CALC_CHECKSUM, true, true},
    };
    for (const auto& c : cases) {
        serve(ecu, c.id, {0xFF, 0xFF, 0x01}, c.slaveModel);
        ASSERT_TRUE(master->setChecksumModelEntry(c.id, c.channelEnhanced));
        ASSERT_TRUE(master->setDlc(c.id, 3));
        ASSERT_TRUE(master->write(c.id, 0, header()));
    }
    // A frame on the bus with a checksum byte that fits neither model.
    xl::bus::Frame bad;
    bad.kind = xl::bus::Kind::kLinFrame;
    bad.id = 0x14;
    bad.dlc = bad.length = 3;
    bad.data[0] = 0xFF;
    bad.checksum = 0x00;
    std::string error;
    ASSERT_GE(xl::bus::sendFromOutside("busA", bad, &error), 0) << error;
    ASSERT_TRUE(master->setDlc(0x14, 3));
    // Then a marker: once it is queued, every frame before it has been judged.
    serve(ecu, 0x20, {0x5A}, XL_LIN_CALC_CHECKSUM_ENHANCED);
    ASSERT_TRUE(master->setDlc(0x20, 1));
    ASSERT_TRUE(master->write(0x20, 0, header()));
    Bytes out;
    ASSERT_TRUE(waitUntil([&] { return master->read(0, 0x20, out, 1); }));
    for (const auto& c : cases) {
        EXPECT_EQ(master->read(0, c.id, out, 3), c.kept) << "id " << int(c.id);
        EXPECT_EQ(out, c.kept ? (Bytes{0xFF, 0xFF, 0x01}) : Bytes{});
    }
    EXPECT_FALSE(master->read(0, 0x14, out, 3));
}

TEST_F(LinChannelTest, SlaveChannelSetsItsEntriesAndSendsNoHeader) {
    auto ecu = openLinChannel(linParams(kB, XL_LIN_SLAVE, 2, {kResponseId, 0x20}, {0x73, 0x01, 0x7E}));
    const XLportHandle listener = node(kA);
    XLportHandle master = open(kF, XL_INTERFACE_VERSION, 256, XL_BUS_TYPE_LIN);
    ASSERT_EQ(xlLinSetChannelParams(master, maskOf(kF), {XL_LIN_MASTER, 19200, 2, 0}), XL_SUCCESS);
    ASSERT_EQ(xlActivateChannel(master, maskOf(kF), XL_BUS_TYPE_LIN, 0), XL_SUCCESS);

    // The set-up's entries: the initial data for the first identifier, zeros for the others, the
    // enhanced model below 60 for LIN 2.
    ASSERT_EQ(xlLinSendRequest(master, maskOf(kF), kResponseId, 0), XL_SUCCESS);
    s_xl_lin_msg m = nextLin(listener);
    EXPECT_EQ(dataOf(m), (Bytes{0x73, 0x01, 0x7E, 0, 0, 0, 0, 0}));
    ASSERT_EQ(xlLinSendRequest(master, maskOf(kF), 0x20, 0), XL_SUCCESS);
    m = nextLin(listener);
    EXPECT_EQ(dataOf(m), Bytes(8, 0));
    EXPECT_EQ(m.crc, xl::lin::frameChecksum(0x20, true, m.data, 8));

    // A write renews the entry and sends nothing itself; a write to another identifier does nothing.
    ASSERT_TRUE(ecu->write(kResponseId, 2, {0xAB, 0xCD, 0xEF}));
    ASSERT_TRUE(ecu->write(0x21, 0, {0x01}));
    ASSERT_EQ(xlLinSendRequest(master, maskOf(kF), kResponseId, 0), XL_SUCCESS);
    EXPECT_EQ(dataOf(nextLin(listener)), (Bytes{0xAB, 0xCD}));
}

TEST_F(LinChannelTest, ChecksumModelOfAnotherIdentifierLeavesItSwitchedOff) {
    auto master = openLinChannel(linParams(kF, XL_LIN_MASTER));
    const XLportHandle listener = node(kA);
    EXPECT_TRUE(master->setChecksumModel(0x30, false));  // not a slave identifier: off again
    EXPECT_TRUE(master->setChecksumModel(kRequestId, false));
    ASSERT_TRUE(master->write(0x30, 0, header()));
    ASSERT_TRUE(master->write(kRequestId, 0, {0x11}));
    EXPECT_EQ(nextLin(listener).id, kRequestId);  // 0x30 went unanswered
}

TEST_F(LinChannelTest, SendBreakEmptiesEveryQueue) {
    auto master = openLinChannel(linParams(kF, XL_LIN_MASTER));
    const XLportHandle ecu = node(kB);
    serve(ecu, 0x31, {1, 2, 3, 4});
    ASSERT_TRUE(master->setDlc(0x31, 4));
    ASSERT_TRUE(master->write(0x31, 0, header()));
    Bytes out;
    master->setRxTimeout(0);
    ASSERT_TRUE(waitUntil([&] { return master->rxQueueCount(0x31) == 4; }));
    EXPECT_TRUE(master->sendBreak(0));
    EXPECT_FALSE(master->read(0, 0x31, out, 4));
}

TEST_F(LinChannelTest, AnUnknownSlaveIdentifierFailsTheOpen) {
    ProbeLIN channel(linParams(kB, XL_LIN_SLAVE, 1, {kResponseId, 64}), 1);
    EXPECT_FALSE(channel.ensureInit());
    EXPECT_EQ(channel.getLastError(), ComVXLapi::kErrorChannel);
    EXPECT_THROW(channel.checkOpen(), ComVXLapi::bad_open_vxlapi_channel);
}

}  // namespace
}  // namespace vxltest
