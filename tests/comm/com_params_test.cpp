#include "comm/ComParams.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

static_assert(!std::is_copy_assignable_v<ComParams>);
static_assert(!std::is_copy_assignable_v<ComParamsSerial>);
static_assert(!std::is_copy_assignable_v<ComParamsVectorCAN>);
static_assert(!std::is_copy_assignable_v<ComParamsVXLapiCAN>);
static_assert(!std::is_copy_assignable_v<ComParamsVXLapiLIN>);

void expectDefaultTimeouts(const ComParams& p) {
    EXPECT_EQ(p.rxTimeoutMs, 2000u);
    EXPECT_EQ(p.firstByteTimeoutMs, 200u);
    EXPECT_EQ(p.interByteTimeoutMs, 100u);
}

void changeBase(ComParams& p) {
    p.id = 0xDEAD;
    p.label = "changed";
    p.rxTimeoutMs = 5;
    p.firstByteTimeoutMs = 6;
    p.interByteTimeoutMs = 7;
}

TEST(ComParams, StartsWithEmptyLabelAndDefaultTimeouts) {
    const ComParams p(7);
    EXPECT_EQ(p.id, 7u);
    EXPECT_TRUE(p.label.empty());
    expectDefaultTimeouts(p);
}

TEST(ComParams, CopyKeepsIdAndLabelButNotTimeouts) {
    ComParams source(7);
    changeBase(source);
    source.id = 7;
    const ComParams copy(source);
    EXPECT_EQ(copy.id, 7u);
    EXPECT_EQ(copy.label, "changed");
    expectDefaultTimeouts(copy);
}

TEST(ComParamsSerial, ConstructorSetsEveryFieldInArgumentOrder) {
    const ComParamsSerial p(3, 115200, 11, 12, 13, 14);
    EXPECT_EQ(p.id, 3u);
    EXPECT_EQ(p.port, 3u);
    EXPECT_EQ(p.baud, 115200u);
    EXPECT_EQ(p.firstByteTimeoutMs, 11u);
    EXPECT_EQ(p.interByteTimeoutMs, 12u);
    EXPECT_EQ(p.rxTimeoutMs, 13u);
    EXPECT_EQ(p.interByteDelayMs, 14u);
    EXPECT_TRUE(p.label.empty());
}

TEST(ComParamsSerial, CopyKeepsTimeoutsAndRebuildsIdFromPort) {
    ComParamsSerial source(3, 115200, 11, 12, 13, 14);
    changeBase(source);
    const ComParamsSerial copy(source);
    EXPECT_EQ(copy.id, 3u);
    EXPECT_TRUE(copy.label.empty());
    EXPECT_EQ(copy.port, 3u);
    EXPECT_EQ(copy.baud, 115200u);
    EXPECT_EQ(copy.interByteDelayMs, 14u);
    EXPECT_EQ(copy.rxTimeoutMs, 5u);
    EXPECT_EQ(copy.firstByteTimeoutMs, 6u);
    EXPECT_EQ(copy.interByteTimeoutMs, 7u);
}

struct CanId {
    uint32_t rxQueueLimit;
    uint32_t channel;
    uint32_t id;
};

void PrintTo(const CanId& c, std::ostream* os) {
    *os << c.channel << " + " << c.rxQueueLimit;
}

class ComParamsVectorCANId : public testing::TestWithParam<CanId> {};

TEST_P(ComParamsVectorCANId, IsChannelPlusQueueLimitWrapping) {
    const CanId c = GetParam();
    const ComParamsVectorCAN p(c.rxQueueLimit, 59, 0, c.channel, 500000);
    EXPECT_EQ(p.id, c.id);
    const ComParamsVXLapiCAN x(c.rxQueueLimit, 59, 0, c.channel, 500000);
    EXPECT_EQ(x.id, c.id);
}

INSTANTIATE_TEST_SUITE_P(All, ComParamsVectorCANId,
                         testing::Values(CanId{10000, 1, 10001}, CanId{0, 0, 0}, CanId{0xFFFFFFFF, 2, 1},
                                         CanId{0x80000000, 0x80000000, 0}),
                         [](const testing::TestParamInfo<CanId>& info) {
                             return "Channel" + std::to_string(info.param.channel) + "Limit" +
                                    std::to_string(info.param.rxQueueLimit);
                         });

template <typename T>
class ComParamsCAN : public testing::Test {};
using CanRecords = testing::Types<ComParamsVectorCAN, ComParamsVXLapiCAN>;
TYPED_TEST_SUITE(ComParamsCAN, CanRecords);

// The fields a CAN record gets beyond its five constructor arguments.
struct CanExtras {
    bool canFd;
    uint32_t fdArbitrationBitrate, fdArbitrationTseg1, fdArbitrationTseg2, fdArbitrationSjw;
    uint32_t fdDataTseg1, fdDataTseg2, fdDataSjw;
    uint32_t notificationLevel;
};

// A record built from (10000, 59, 2, 3, 500000), or copied from one, with the base rebuilt.
void expectCanFields(const ComParamsVectorCAN& p, const CanExtras& e) {
    EXPECT_EQ(p.id, 10003u);
    EXPECT_TRUE(p.label.empty());
    expectDefaultTimeouts(p);
    EXPECT_EQ(p.rxQueueLimit, 10000u);
    EXPECT_EQ(p.hwType, 59u);
    EXPECT_EQ(p.hwIndex, 2u);
    EXPECT_EQ(p.channel, 3u);
    EXPECT_EQ(p.bitrate, 500000u);
    EXPECT_EQ(p.canFd, e.canFd);
    EXPECT_EQ(p.fdArbitrationBitrate, e.fdArbitrationBitrate);
    EXPECT_EQ(p.fdArbitrationTseg1, e.fdArbitrationTseg1);
    EXPECT_EQ(p.fdArbitrationTseg2, e.fdArbitrationTseg2);
    EXPECT_EQ(p.fdArbitrationSjw, e.fdArbitrationSjw);
    EXPECT_EQ(p.fdDataTseg1, e.fdDataTseg1);
    EXPECT_EQ(p.fdDataTseg2, e.fdDataTseg2);
    EXPECT_EQ(p.fdDataSjw, e.fdDataSjw);
    EXPECT_EQ(p.notificationLevel, e.notificationLevel);
}

TYPED_TEST(ComParamsCAN, ConstructorSetsArgumentsAndDefaults) {
    expectCanFields(TypeParam(10000, 59, 2, 3, 500000), CanExtras{false, 0, 0, 0, 0, 0, 0, 0, 1});
}

TYPED_TEST(ComParamsCAN, CopyKeepsEveryCanFieldButNotTimeouts) {
    const CanExtras changed{true, 1000000, 21, 22, 23, 24, 25, 26, 27};
    TypeParam source(10000, 59, 2, 3, 500000);
    changeBase(source);
    source.canFd = changed.canFd;
    source.fdArbitrationBitrate = changed.fdArbitrationBitrate;
    source.fdArbitrationTseg1 = changed.fdArbitrationTseg1;
    source.fdArbitrationTseg2 = changed.fdArbitrationTseg2;
    source.fdArbitrationSjw = changed.fdArbitrationSjw;
    source.fdDataTseg1 = changed.fdDataTseg1;
    source.fdDataTseg2 = changed.fdDataTseg2;
    source.fdDataSjw = changed.fdDataSjw;
    source.notificationLevel = changed.notificationLevel;
    const TypeParam copy(source);
    expectCanFields(copy, changed);
}

const std::vector<uint8_t> kSlaveIds{0x3C, 0x3D, 0x10};
const std::vector<uint8_t> kInitialData{1, 2, 3, 4, 5, 6, 7, 8};

ComParamsVXLapiLIN makeLin() {
    return ComParamsVXLapiLIN(64, 1, true, kSlaveIds, kInitialData, 2, 19200, 59, 4, 5);
}

void expectLinFields(const ComParamsVXLapiLIN& p) {
    EXPECT_EQ(p.id, 59u);
    EXPECT_TRUE(p.label.empty());
    expectDefaultTimeouts(p);
    EXPECT_EQ(p.rxQueueLimit, 64u);
    EXPECT_EQ(p.linMode, 1u);
    EXPECT_TRUE(p.masterServesSlaves);
    EXPECT_EQ(p.slaveIds, kSlaveIds);
    EXPECT_EQ(p.initialData, kInitialData);
    EXPECT_EQ(p.linVersion, 2u);
    EXPECT_EQ(p.baud, 19200u);
    EXPECT_EQ(p.hwType, 59u);
    EXPECT_EQ(p.hwIndex, 4u);
    EXPECT_EQ(p.hwChannel, 5u);
}

TEST(ComParamsVXLapiLIN, ConstructorSetsEveryFieldInArgumentOrder) {
    expectLinFields(makeLin());
}

TEST(ComParamsVXLapiLIN, CopyKeepsEveryLinFieldButNotTimeouts) {
    ComParamsVXLapiLIN source = makeLin();
    changeBase(source);
    const ComParamsVXLapiLIN copy(source);
    source.slaveIds.clear();
    source.initialData.assign(3, 0);
    expectLinFields(copy);
}

struct Baud {
    const char* name;
    std::function<std::unique_ptr<ComParams>()> make;
    uint32_t baud;
    // The field that getBaud and setBaud use, read from the record.
    std::function<uint32_t(const ComParams&)> field;
};

void PrintTo(const Baud& b, std::ostream* os) {
    *os << b.name;
}

class ComParamsBaud : public testing::TestWithParam<Baud> {};

TEST_P(ComParamsBaud, GetAndSetUseTheBaudField) {
    const Baud& b = GetParam();
    std::unique_ptr<ComParams> p = b.make();
    EXPECT_EQ(p->getBaud(), b.baud);
    p->setBaud(250000);
    EXPECT_EQ(p->getBaud(), 250000u);
    EXPECT_EQ(b.field(*p), 250000u);
}

INSTANTIATE_TEST_SUITE_P(
    All, ComParamsBaud,
    testing::Values(
        Baud{"Serial", [] { return std::make_unique<ComParamsSerial>(1, 9600, 200, 100, 2000, 0); }, 9600,
             [](const ComParams& p) { return dynamic_cast<const ComParamsSerial&>(p).baud; }},
        Baud{"VectorCAN", [] { return std::make_unique<ComParamsVectorCAN>(100, 59, 0, 1, 500000); }, 500000,
             [](const ComParams& p) { return dynamic_cast<const ComParamsVectorCAN&>(p).bitrate; }},
        Baud{"VXLapiCAN", [] { return std::make_unique<ComParamsVXLapiCAN>(100, 59, 0, 1, 125000); }, 125000,
             [](const ComParams& p) { return dynamic_cast<const ComParamsVXLapiCAN&>(p).bitrate; }},
        Baud{"VXLapiLIN", [] { return std::make_unique<ComParamsVXLapiLIN>(makeLin()); }, 19200,
             [](const ComParams& p) { return dynamic_cast<const ComParamsVXLapiLIN&>(p).baud; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ComParams, BaudIsOneAndSetBaudChangesNothing) {
    ComParams p(7);
    EXPECT_EQ(p.getBaud(), 1u);
    p.setBaud(9600);
    EXPECT_EQ(p.getBaud(), 1u);
    EXPECT_EQ(p.id, 7u);
    EXPECT_TRUE(p.label.empty());
    expectDefaultTimeouts(p);
}

// A channel deletes its record through a ComParams pointer; the whole record must go, vectors included
// (the sanitizer build reports the vectors as leaked otherwise).
TEST(ComParams, DeleteThroughBasePointerDestroysTheWholeRecord) {
    struct Watched : ComParamsVXLapiLIN {
        explicit Watched(bool& destroyed) : ComParamsVXLapiLIN(makeLin()), destroyed(destroyed) {}
        ~Watched() override { destroyed = true; }
        bool& destroyed;
    };
    bool destroyed = false;
    ComParams* p = new Watched(destroyed);
    delete p;
    EXPECT_TRUE(destroyed);

    ComParams* lin = new ComParamsVXLapiLIN(12, 2, false, std::vector<uint8_t>(64, 0x11),
                                            std::vector<uint8_t>(4096, 0x22), 2, 19200, 1, 0, 0);
    delete lin;
}

}  // namespace
