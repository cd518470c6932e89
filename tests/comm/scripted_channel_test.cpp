// The scripted test channel itself: the other tests rely on its frames, late and missing steps.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/bytes.h"
#include "tests/support/scripted_channel.h"

namespace {

using testing_support::bytes;
using testing_support::Bytes;
using testing_support::hex;
using testing_support::ScriptedChannel;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(ScriptedChannel, FramesFormOneStreamReadInSlices) {
    ScriptedChannel channel;
    channel.frame(bytes("01 02 03 04")).frame(bytes("05 06"));
    Bytes out;
    EXPECT_TRUE(channel.read(0, 1, out, 3));
    EXPECT_EQ(hex(out), "01 02 03");
    EXPECT_TRUE(channel.read(0, 1, out, 3));
    EXPECT_EQ(hex(out), "04 05 06");
    EXPECT_FALSE(channel.read(0, 1, out, 1));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(channel.scriptDone());
    EXPECT_EQ(channel.trace(), "RRr");
}

TEST(ScriptedChannel, FlushDropsWhatHasArrived) {
    ScriptedChannel channel;
    channel.frame(bytes("01 02 03 04")).frame(bytes("05"));
    Bytes out;
    EXPECT_TRUE(channel.read(0, 1, out, 2));
    EXPECT_TRUE(channel.flushReceive(1));
    EXPECT_TRUE(channel.read(0, 1, out, 1));
    EXPECT_EQ(hex(out), "05");
}

TEST(ScriptedChannel, MissingStepFailsAfterTheReceiveTimeOut) {
    ScriptedChannel channel(60);
    channel.missing().frame(bytes("07"));
    Bytes out;
    const auto start = Clock::now();
    EXPECT_FALSE(channel.read(0, 1, out, 1));
    EXPECT_GE(Clock::now() - start, milliseconds(60));
    EXPECT_TRUE(channel.read(0, 1, out, 1));
    EXPECT_EQ(hex(out), "07");
}

TEST(ScriptedChannel, LateFrameWithinOrBeyondTheTimeOut) {
    ScriptedChannel channel(100);
    channel.late(bytes("01"), 30).late(bytes("02"), 160);
    Bytes out;
    auto start = Clock::now();
    EXPECT_TRUE(channel.read(0, 1, out, 1));
    EXPECT_GE(Clock::now() - start, milliseconds(30));
    EXPECT_EQ(hex(out), "01");
    // Too late for this read; it is there for the next one.
    EXPECT_FALSE(channel.read(0, 1, out, 1));
    EXPECT_TRUE(channel.read(0, 1, out, 1));
    EXPECT_EQ(hex(out), "02");
}

TEST(ScriptedChannel, ReplyIgnoresTheCount) {
    ScriptedChannel channel;
    channel.frame(bytes("01")).reply(bytes("02 03"));
    Bytes out;
    EXPECT_TRUE(channel.read(0, 1, out, 8));
    EXPECT_EQ(hex(out), "01 02 03");
}

TEST(ScriptedChannel, RecordsWritesAndFailsTheChosenOnes) {
    ScriptedChannel channel;
    channel.failWrite(1);
    EXPECT_TRUE(channel.write(1, 2, bytes("0A")));
    EXPECT_FALSE(channel.write(3, 4, bytes("0B")));
    ASSERT_EQ(channel.written().size(), 2u);
    EXPECT_EQ(channel.written()[1].txId, 3u);
    EXPECT_EQ(channel.written()[1].rxId, 4u);
    EXPECT_EQ(hex(channel.writtenBytes()[1]), "0B");
    EXPECT_EQ(channel.trace(), "Ww");
}

}  // namespace
