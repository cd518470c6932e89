#include <gtest/gtest.h>

#include <vector>

#include "comm/VXLapiRxQueue.h"
#include "tests/support/bytes.h"

namespace {

using testing_support::Bytes;
using testing_support::bytes;
using testing_support::hex;

VXLapiMsg msg(const Bytes& data) {
    return VXLapiMsg(data, 0x7E8, 0, 0, static_cast<uint32_t>(data.size()), 0);
}

class RxQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        queue.push(0x7E8, msg(bytes("01 02 03 04 05 06 07 08")), 100);
        queue.push(0x7E8, msg(bytes("11 12 13 14 15 16 17 18")), 100);
        queue.push(0x7E8, msg(bytes("21 22 23 24")), 100);
    }
    VXLapiRxQueue queue;
};

TEST_F(RxQueueTest, TakesAcrossFramesAndKeepsTheRestOfASplitFrame) {
    EXPECT_EQ(queue.count(0x7E8), 20u);
    Bytes out;
    ASSERT_TRUE(queue.take(0x7E8, out, 10));
    EXPECT_EQ(hex(out), "01 02 03 04 05 06 07 08 11 12");
    EXPECT_EQ(queue.count(0x7E8), 10u);
    ASSERT_TRUE(queue.take(0x7E8, out, 10));
    EXPECT_EQ(hex(out), "13 14 15 16 17 18 21 22 23 24");
    EXPECT_EQ(queue.count(0x7E8), 0u);
}

TEST_F(RxQueueTest, TakeOfMoreThanQueuedGivesAllAndTrue) {
    Bytes out;
    ASSERT_TRUE(queue.take(0x7E8, out, 100));
    EXPECT_EQ(out.size(), 20u);
    EXPECT_EQ(queue.count(0x7E8), 0u);
}

TEST_F(RxQueueTest, TakeOfNothingAndOfAnUnknownIdentifierLeaveOutAlone) {
    Bytes out = bytes("AA");
    EXPECT_TRUE(queue.take(0x7E8, out, 0));
    EXPECT_TRUE(queue.take(0x123, out, 8));
    EXPECT_EQ(hex(out), "AA");
    EXPECT_EQ(queue.count(0x7E8), 20u);
}

TEST_F(RxQueueTest, ClearAnswersWhetherTheIdentifierHadAQueue) {
    EXPECT_FALSE(queue.clear(0x123));
    EXPECT_EQ(queue.count(0x123), 0u);
    EXPECT_TRUE(queue.clear(0x7E8));
    EXPECT_EQ(queue.count(0x7E8), 0u);
    EXPECT_TRUE(queue.clear(0x7E8));  // the emptied queue stays until clearAll
    queue.clearAll();
    EXPECT_FALSE(queue.clear(0x7E8));
}

TEST_F(RxQueueTest, PopFrontGivesTheOldestMessage) {
    VXLapiMsg first = msg({});
    ASSERT_TRUE(queue.popFront(0x7E8, first));
    EXPECT_EQ(hex(first.data), "01 02 03 04 05 06 07 08");
    EXPECT_EQ(first.dlc, 8u);
    EXPECT_EQ(queue.count(0x7E8), 12u);
    EXPECT_FALSE(queue.popFront(0x123, first));
}

TEST(RxQueue, LimitDropsFurtherFramesOfOneIdentifierOnly) {
    VXLapiRxQueue queue;
    for (int i = 0; i < 5; ++i) {
        queue.push(1, msg(bytes("01 02")), 3);
        queue.push(2, msg(bytes("03")), 10);
    }
    EXPECT_EQ(queue.count(1), 6u);
    EXPECT_EQ(queue.count(2), 5u);
}

TEST(RxQueue, EmptyMessagesAreIgnored) {
    VXLapiRxQueue queue;
    queue.push(1, msg({}), 10);
    EXPECT_FALSE(queue.clear(1));  // not even a queue was made
}

TEST(MessageFrame, CopiesEveryFieldAndIsOfKindZero) {
    const VXLapiMsg m(bytes("01 02"), 0x12345, 7, 99, 13, 0x11);
    VXLapiMsg copy = m;
    EXPECT_EQ(copy.id, 0x12345u);
    EXPECT_EQ(hex(copy.data), "01 02");
    EXPECT_EQ(copy.checksum, 7u);
    EXPECT_EQ(copy.timestamp, 99u);
    EXPECT_EQ(copy.dlc, 13u);
    EXPECT_EQ(copy.flags, 0x11u);
    EXPECT_EQ(copy.kind(), 0u);
}

}  // namespace
