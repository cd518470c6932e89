// The frame queue base of the segmented protocols and its two workers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "comm/ProtocolFiatTP.h"
#include "comm/ProtocolMultiFrame.h"
#include "platform/event.h"
#include "tests/support/bytes.h"

namespace {

using testing_support::bytes;
using Clock = std::chrono::steady_clock;

// Counts the workers that ran to their end.
class CountingWorkers : public ProtocolMultiFrame {
  public:
    CountingWorkers() : ProtocolMultiFrame(0, 0) {}
    ~CountingWorkers() override { stopThreads(); }

    bool workerA() override { return ProtocolMultiFrame::workerA() && ++ended > 0; }
    bool workerB() override { return ProtocolMultiFrame::workerB() && ++ended > 0; }

    std::atomic<int> ended{0};
};

TEST(ProtocolMultiFrame, StopThreadsWithoutWorkersReturnsAtOnce) {
    ProtocolMultiFrame p(0, 0);
    const auto start = Clock::now();
    EXPECT_TRUE(p.stopThreads());
    EXPECT_TRUE(p.stopThreads());
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

TEST(ProtocolMultiFrame, BothWorkersStopOnOneStop) {
    CountingWorkers p;
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(p.startThreads());
        EXPECT_FALSE(p.startThreads());  // already running
        const auto start = Clock::now();
        EXPECT_TRUE(p.stopThreads());
        // Well inside the 1000 ms a worker that missed the stop would be waited for.
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
        EXPECT_EQ(p.ended.load(), 2 * round);
    }
}

// Worker B ends only when the test lets it, whatever the stop signal says.
class StubbornWorker : public ProtocolMultiFrame {
  public:
    StubbornWorker() : ProtocolMultiFrame(0, 0) {}
    ~StubbornWorker() override {
        release.set();
        stopThreads();
    }

    bool workerB() override {
        platform::waitOne(release, platform::kInfinite);
        return true;
    }

    platform::Event release{true, false};
};

TEST(ProtocolMultiFrame, WorkerThatOutlivesTheStopWaitIsKeptUntilItEnds) {
    StubbornWorker p;
    ASSERT_TRUE(p.startThreads());
    const auto start = Clock::now();
    // Worker A stops; B is waited for its full 1000 ms and then kept, not dropped while running.
    EXPECT_FALSE(p.stopThreads());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_FALSE(p.startThreads());
    p.release.set();
    EXPECT_TRUE(p.stopThreads());
    EXPECT_TRUE(p.startThreads());
}

TEST(ProtocolMultiFrame, DestructionStopsRunningWorkers) {
    const auto start = Clock::now();
    {
        ProtocolFiatTP tp(0x43);
        ASSERT_TRUE(tp.startThreads());
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
}

TEST(ProtocolMultiFrame, SegmentAppendsThePayloadAsOneFrame) {
    ProtocolMultiFrame p(0, 0);
    ProtocolMultiFrame::FrameQueue frames{bytes("01")};
    EXPECT_TRUE(p.segment(frames, bytes("02 03")));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], bytes("02 03"));
    EXPECT_EQ(p.name(), "PROTOCOL_MultiFrame");
    EXPECT_TRUE(p.isValid());
}

TEST(ProtocolFiatTP, SegmentReplacesTheQueue) {
    ProtocolFiatTP tp(0x43);
    ProtocolMultiFrame::FrameQueue frames{bytes("01"), bytes("02")};
    EXPECT_TRUE(tp.segment(frames, bytes("09")));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], bytes("43 01 09 00 00 00 00 00"));
    EXPECT_FALSE(tp.segment(frames, {}));
    EXPECT_TRUE(frames.empty());
}

}  // namespace
