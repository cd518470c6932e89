// The serial channels against a pseudo-terminal peer: opening and its failure report, line settings,
// reads with their three time-outs, writes, break and flush, the byte sent through the break line,
// and the echo check of the half-duplex channel.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/ComSerial.h"
#include "tests/comm/pty_peer.h"
#include "tests/support/bytes.h"
#include "tests/support/wait_until.h"

namespace {

using testing_support::bytes;
using testing_support::Bytes;
using testing_support::counting;
using testing_support::hex;
using testing_support::PtyPeer;
using Clock = std::chrono::steady_clock;
using LineRun = ComSerial::LineRun;

constexpr uint32_t kPort = 41;

struct Timing {
    uint32_t firstByteMs = 200;
    uint32_t interByteMs = 100;
    uint32_t rxMs = 2000;
    uint32_t interByteDelayMs = 0;
    uint32_t baud = 9600;
};

ComParamsSerial paramsFor(uint32_t port, const Timing& t = {}) {
    return ComParamsSerial(port, t.baud, t.firstByteMs, t.interByteMs, t.rxMs, t.interByteDelayMs);
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// n bytes without a period a shifted copy could hide behind.
Bytes varied(size_t n, uint32_t seed) {
    Bytes out(n);
    for (uint8_t& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return out;
}

// Waits until the channel counts n bytes (the pseudo-terminal passes bytes on asynchronously).
bool waitAvailable(ComSerial& channel, uint64_t n) {
    return testing_support::waitUntil([&] { return channel.bytesAvailable() >= n; });
}

Bytes readAll(ComSerial& channel, uint32_t count) {
    Bytes out;
    EXPECT_TRUE(channel.read(0, 0, out, count));
    return out;
}

// ---- opening

TEST(SerialOpen, SetsRaw8N1AtTheBaudRateAndRestoresTheLineAtClose) {
    PtyPeer peer(kPort);
    ASSERT_TRUE(peer.settings().canonical);
    {
        Timing t;
        t.baud = 10400;  // not one of the classic rates
        ComSerial channel(paramsFor(kPort, t), 0);
        EXPECT_TRUE(channel.checkOpen());
        const auto s = peer.settings();
        EXPECT_TRUE(s.raw8N1);
        EXPECT_EQ(s.ospeed, 10400u);
        EXPECT_EQ(s.ispeed, 10400u);
    }
    EXPECT_TRUE(peer.settings().canonical);
}

TEST(SerialOpen, NamesTypeAndParameterCopy) {
    PtyPeer peer(kPort);
    Timing t{300, 40, 900, 0, 19200};
    ComSerial full(paramsFor(kPort, t), 77);
    EXPECT_EQ(full.name(), "COM_SerPort");
    EXPECT_EQ(full.typeCode(), 4u);
    const auto* p = dynamic_cast<const ComParamsSerial*>(full.getComParams());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->id, kPort);
    EXPECT_EQ(p->baud, 19200u);
    EXPECT_EQ(p->firstByteTimeoutMs, 300u);
    EXPECT_EQ(p->interByteTimeoutMs, 40u);
    EXPECT_EQ(p->rxTimeoutMs, 900u);
}

TEST(SerialOpen, HalfDuplexHasItsOwnName) {
    PtyPeer peer(kPort);
    ComSerialHalfDuplex half(paramsFor(kPort), 0);
    EXPECT_EQ(half.name(), "COM_SerPortHalfDuplex");
    EXPECT_EQ(half.typeCode(), 4u);
}

// Takes CAP_SYS_ADMIN out of the calling thread's effective capabilities (the other threads keep
// theirs); true when the thread is without it.
bool dropSysAdminInThisThread() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective &= ~CAP_TO_MASK(CAP_SYS_ADMIN);
    return ::syscall(SYS_capset, &header, data) == 0;
}

TEST(SerialOpen, APortIsNotShared) {
    PtyPeer peer(kPort);
    ComSerial first(paramsFor(kPort), 0);
    EXPECT_TRUE(first.checkOpen());
    // CAP_SYS_ADMIN opens an exclusive terminal again, so the second open runs in a thread without it
    // (the tests may run as the superuser).
    std::thread([] {
        ASSERT_TRUE(dropSysAdminInThisThread());
        ComSerial second(paramsFor(kPort), 0);
        try {
            second.checkOpen();
            ADD_FAILURE() << "second open of the port succeeded";
        } catch (const ComSerial::bad_open_serial& e) {
            EXPECT_EQ(e.errorNumber, EBUSY);
        }
    }).join();
}

struct OpenFailureCase {
    std::string label;
    uint32_t port;
    std::string path;  // for VOFLASH_COM<port>; "" leaves it unset; "pty" uses a pseudo-terminal
    uint32_t baud;
    int64_t errorNumber;
    std::string why;  // after the device's path in the report
};

void PrintTo(const OpenFailureCase& c, std::ostream* os) {
    *os << c.label;
}

class SerialOpenFailure : public ::testing::TestWithParam<OpenFailureCase> {
  protected:
    void SetUp() override {
        const OpenFailureCase& c = GetParam();
        const std::string variable = "VOFLASH_COM" + std::to_string(c.port);
        if (c.path == "pty") {
            peer = std::make_unique<PtyPeer>(c.port);
        } else if (!c.path.empty()) {
            ::setenv(variable.c_str(), c.path.c_str(), 1);
        } else {
            ::unsetenv(variable.c_str());
        }
        Timing t;
        t.baud = c.baud;
        channel = std::make_unique<ComSerial>(paramsFor(c.port, t), 0);
    }
    void TearDown() override {
        channel.reset();
        peer.reset();
        ::unsetenv(("VOFLASH_COM" + std::to_string(GetParam().port)).c_str());
    }

    std::unique_ptr<PtyPeer> peer;
    std::unique_ptr<ComSerial> channel;
};

TEST_P(SerialOpenFailure, ReportsTheErrorNumberOnceAndEveryOperationFails) {
    const OpenFailureCase& c = GetParam();
    testing::internal::CaptureStdout();
    const bool sent = channel->send(bytes("01 02"), 1, 2);
    const std::string report = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(sent);
    // The device the port stands for: the path it was given, the pseudo-terminal, or for COM0, which
    // has none, the port's name.
    const std::string device = peer ? peer->slavePath() : c.path.empty() ? "COM0" : c.path;
    const std::string description = "Error opening serial port " + device + ": " + c.why;
    EXPECT_EQ(report, "Could not open Communication: " + description +
                          ". Error number: " + std::to_string(c.errorNumber) +
                          "\n Offending Communication: COM_SerPort " + std::to_string(c.port) + "\n");

    try {
        channel->checkOpen();
        ADD_FAILURE() << "no exception";
    } catch (const ComSerial::bad_open_serial& e) {
        EXPECT_EQ(e.errorNumber, c.errorNumber);
        EXPECT_EQ(e.description(), description);
        // A copy says the same.
        const ComSerial::bad_open_serial copy(e);
        EXPECT_EQ(std::string(copy.what()), std::string(e.what()));
    }

    testing::internal::CaptureStdout();
    Bytes out = bytes("AA");
    EXPECT_FALSE(channel->receive(out, 4, 1, 2));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(channel->sendAndReceive(bytes("01"), out, 1, 1, 2));
    EXPECT_FALSE(channel->sendRaw(bytes("01"), 1, 2));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(channel->flushReceiveLocked(0));
    EXPECT_FALSE(channel->sendBreakLocked(100));
    EXPECT_FALSE(channel->sendByteAtBaudLocked(0x55, 9600));
    EXPECT_FALSE(channel->write(0, 0, bytes("01")));
    EXPECT_FALSE(channel->read(0, 0, out, 1));
    EXPECT_EQ(channel->bytesAvailable(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SerialOpenFailure,
                         ::testing::Values(OpenFailureCase{"missing_device", 42, "/nonexistent/ttyVO", 9600,
                                                           2, "No such file or directory"},
                                           OpenFailureCase{"com0_has_no_device", 0, "", 9600, 2,
                                                           "No such file or directory"},
                                           OpenFailureCase{"not_a_terminal", 43, "/dev/null", 9600, 25,
                                                           "Inappropriate ioctl for device"},
                                           OpenFailureCase{"baud_zero_refused", 44, "pty", 0, 0,
                                                           "it does not take the line settings at 0 baud"}),
                         [](const auto& info) { return info.param.label; });

// ---- reads and writes

TEST(SerialExchange, FullDuplexRequestAndAnswer) {
    PtyPeer peer(kPort);
    ComSerial channel(paramsFor(kPort), 0);
    peer.answerWith(
        [&](const Bytes&) { return peer.heard().size() == 3 ? bytes("7E 01 02 03 04") : Bytes{}; });
    Bytes answer;
    ASSERT_TRUE(channel.sendAndReceive(bytes("10 20 30"), answer, 5, 1, 2));
    EXPECT_EQ(hex(answer), "7E 01 02 03 04");
    EXPECT_EQ(hex(peer.heard()), "10 20 30");
}

// Sends bytes from another thread, one chunk after each pause, once the read has begun; stops sending
// when the test ends.
class LatePeer {
  public:
    LatePeer(PtyPeer& peer, std::vector<Bytes> chunks, uint32_t pauseMs)
        : thread([this, &peer, chunks = std::move(chunks), pauseMs] {
              for (const Bytes& chunk : chunks) {
                  if (done) {
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                  peer.send(chunk);
              }
          }) {}
    ~LatePeer() {
        done = true;
        thread.join();
    }

  private:
    std::atomic<bool> done{false};
    std::thread thread;
};

TEST(SerialRead, StopsOnTheInterByteTimeOutWithTheBytesThatCame) {
    PtyPeer peer(kPort);
    Timing t{3000, 100, 8000};
    ComSerial channel(paramsFor(kPort, t), 0);
    LatePeer late(peer, {counting(5, 1)}, 50);
    const auto start = Clock::now();
    Bytes out;
    EXPECT_TRUE(channel.read(0, 0, out, 100));
    // Well before the first-byte and the overall time-out.
    EXPECT_LT(msSince(start), 2500);
    EXPECT_EQ(hex(out), "01 02 03 04 05");
}

TEST(SerialRead, NothingArrivingFailsAfterTheFirstByteTimeOut) {
    PtyPeer peer(kPort);
    Timing t{150, 100, 8000};
    ComSerial channel(paramsFor(kPort, t), 0);
    const auto start = Clock::now();
    Bytes out = bytes("EE");
    EXPECT_FALSE(channel.read(0, 0, out, 4));
    const double took = msSince(start);
    EXPECT_TRUE(out.empty());
    EXPECT_GE(took, 150);
    EXPECT_LT(took, 6000);
}

TEST(SerialRead, APeerThatKeepsTricklingIsCutAtTheOverallTimeOut) {
    PtyPeer peer(kPort);
    Timing t{200, 10000, 400};
    ComSerial channel(paramsFor(kPort, t), 0);
    std::vector<Bytes> trickle;
    for (uint8_t i = 0; i < 200; ++i) {
        trickle.push_back({i});
    }
    LatePeer late(peer, trickle, 30);
    const auto start = Clock::now();
    Bytes out;
    EXPECT_TRUE(channel.read(0, 0, out, 200));
    const double took = msSince(start);
    EXPECT_GE(took, 400);
    EXPECT_LT(took, 4000);  // the peer goes on for 6 s
    ASSERT_FALSE(out.empty());
    EXPECT_LT(out.size(), 200u);
    EXPECT_EQ(hex(out), hex(counting(out.size(), 0)));
}

// The system's input queue holds about 4 KiB; a read of more must keep taking bytes out of it.
TEST(SerialRead, AReadLongerThanTheInputQueueGetsEveryByte) {
    PtyPeer peer(kPort);
    Timing t{3000, 500, 8000};
    ComSerial channel(paramsFor(kPort, t), 0);
    const Bytes sent = varied(5000, 11);
    LatePeer late(peer, {sent}, 20);
    Bytes out;
    EXPECT_TRUE(channel.read(0, 0, out, 5000));
    EXPECT_EQ(out.size(), 5000u);
    EXPECT_TRUE(out == sent);
}

TEST(SerialRead, ZeroBytesSucceedsAtOnceWithNothing) {
    PtyPeer peer(kPort);
    ComSerial channel(paramsFor(kPort), 0);
    Bytes out = bytes("01");
    EXPECT_TRUE(channel.read(0, 0, out, 0));
    EXPECT_TRUE(out.empty());
}

TEST(SerialRead, BytesBeyondTheCountStartTheNextRead) {
    PtyPeer peer(kPort);
    ComSerial channel(paramsFor(kPort), 0);
    peer.send(counting(10, 0x20));
    ASSERT_TRUE(waitAvailable(channel, 10));
    EXPECT_EQ(hex(readAll(channel, 4)), "20 21 22 23");
    EXPECT_EQ(channel.bytesAvailable(), 6u);
    peer.send(bytes("99"));
    ASSERT_TRUE(waitAvailable(channel, 7));
    EXPECT_EQ(hex(readAll(channel, 7)), "24 25 26 27 28 29 99");
}

TEST(SerialWrite, OneWriteOrBytesPacedByTheInterByteDelay) {
    for (uint32_t delay : {0u, 2u}) {
        SCOPED_TRACE(delay);
        PtyPeer peer(kPort);
        Timing t;
        t.interByteDelayMs = delay;
        ComSerial channel(paramsFor(kPort, t), 0);
        const auto start = Clock::now();
        EXPECT_TRUE(channel.write(1, 2, bytes("A1 B2 C3")));
        EXPECT_GE(msSince(start), 3.0 * delay);
        EXPECT_EQ(hex(peer.receive(3)), "A1 B2 C3");
        EXPECT_TRUE(channel.write(1, 2, {}));
    }
}

TEST(SerialWrite, FailsWhenThePeerIsGone) {
    auto peer = std::make_unique<PtyPeer>(kPort);
    ComSerial channel(paramsFor(kPort), 0);
    peer.reset();
    EXPECT_FALSE(channel.write(1, 2, bytes("01 02")));
}

// ---- flush and break

TEST(SerialFlush, DropsTheInputQueueAndTheBytesAlreadyTaken) {
    PtyPeer peer(kPort);
    ComSerial channel(paramsFor(kPort), 0);
    peer.send(counting(5, 1));
    ASSERT_TRUE(waitAvailable(channel, 5));
    EXPECT_EQ(hex(readAll(channel, 2)), "01 02");  // 03 04 05 now held by the channel
    peer.send(bytes("F0 F1 F2 F3"));
    ASSERT_TRUE(waitAvailable(channel, 7));
    EXPECT_TRUE(channel.flushReceiveLocked(0));
    EXPECT_EQ(channel.bytesAvailable(), 0u);
    peer.send(bytes("99"));
    EXPECT_EQ(hex(readAll(channel, 1)), "99");
}

TEST(SerialBreak, HoldsTheBreakThenFlushes) {
    PtyPeer peer(kPort);
    ComSerial channel(paramsFor(kPort), 0);
    peer.send(bytes("01 02"));
    ASSERT_TRUE(waitAvailable(channel, 2));
    const auto start = Clock::now();
    EXPECT_TRUE(channel.sendBreakLocked(2000));
    EXPECT_GE(msSince(start), 2.0);
    EXPECT_EQ(channel.bytesAvailable(), 0u);
}

// ---- a byte through the break line

TEST(SerialFrameRuns, RunsOfTheTenBitFrame) {
    struct Case {
        uint8_t byte;
        std::vector<LineRun> runs;
    };
    const uint32_t b = 104;  // 9600 baud
    const std::vector<Case> cases = {
        {0x00, {{true, 9 * b}, {false, 1 * b}}},
        {0xFF, {{true, 1 * b}, {false, 9 * b}}},
        {0x55,
         {{true, b},
          {false, b},
          {true, b},
          {false, b},
          {true, b},
          {false, b},
          {true, b},
          {false, b},
          {true, b},
          {false, b}}},
        {0x0F, {{true, 1 * b}, {false, 4 * b}, {true, 4 * b}, {false, 1 * b}}},
        {0x80, {{true, 8 * b}, {false, 2 * b}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        EXPECT_EQ(ComSerial::frameRuns(c.byte, b), c.runs);
    }
}

// Records the breaks asked for, without holding them.
class BreakRecorder : public ComSerial {
  public:
    using ComSerial::ComSerial;
    bool sendBreak(uint32_t duration) override {
        breaks.push_back(duration);
        return breakResult;
    }
    std::vector<uint32_t> breaks;
    bool breakResult = true;
};

std::vector<uint32_t> breaksOf(const std::vector<LineRun>& runs) {
    std::vector<uint32_t> out;
    for (const LineRun& r : runs) {
        if (r.breakLevel) {
            out.push_back(r.durationUs);
        }
    }
    return out;
}

TEST(SerialByteAtBaud, AsksForTheBreaksOfTheFrameAt9600Baud) {
    PtyPeer peer(kPort);
    BreakRecorder channel(paramsFor(kPort), 0);
    EXPECT_TRUE(channel.sendByteAtBaudLocked(0x00, 9600));
    EXPECT_EQ(channel.breaks, (std::vector<uint32_t>{936}));
    channel.breaks.clear();
    EXPECT_TRUE(channel.sendByteAtBaudLocked(0x55, 9600));
    EXPECT_EQ(channel.breaks, (std::vector<uint32_t>{104, 104, 104, 104, 104}));
    channel.breaks.clear();
    EXPECT_TRUE(channel.sendByteAtBaud(0xA7, 9600));
    EXPECT_EQ(channel.breaks, breaksOf(ComSerial::frameRuns(0xA7, 104)));
}

TEST(SerialByteAtBaud, AnswersTheLastBreakAndRefusesBaudRatesOfZeroOrBelow) {
    PtyPeer peer(kPort);
    BreakRecorder channel(paramsFor(kPort), 0);
    channel.breakResult = false;
    EXPECT_FALSE(channel.sendByteAtBaud(0x00, 9600));
    channel.breaks.clear();
    for (double baud : {0.0, -9600.0, std::nan("")}) {
        EXPECT_FALSE(channel.sendByteAtBaud(0x55, baud)) << baud;
    }
    EXPECT_TRUE(channel.breaks.empty());
}

TEST(SerialByteAtBaud, RealBreaksOverTheLine) {
    PtyPeer peer(kPort);
    ComSerial channel(paramsFor(kPort), 0);
    EXPECT_TRUE(channel.sendByteAtBaudLocked(0x55, 9600));
}

// ---- half duplex

TEST(SerialEcho, LimitGrowsWithTheBytesAtTheBaudRate) {
    EXPECT_EQ(ComSerialHalfDuplex::echoLimitMs(10, 9600), 1010u);
    EXPECT_EQ(ComSerialHalfDuplex::echoLimitMs(1, 115200), 1000u);
    EXPECT_EQ(ComSerialHalfDuplex::echoLimitMs(100, 1000), 2000u);
    EXPECT_EQ(ComSerialHalfDuplex::echoLimitMs(3, 300), 1100u);
}

TEST(SerialEcho, AWriteLongerThanTheInputQueueWithAPerfectEcho) {
    PtyPeer peer(kPort);
    Timing t{3000, 500, 8000, 0, 115200};
    ComSerialHalfDuplex channel(paramsFor(kPort, t), 0);
    peer.answerWith([](const Bytes& in) { return in; });
    const Bytes sent = varied(5000, 12);
    EXPECT_TRUE(channel.write(1, 2, sent));
    peer.stop();
    EXPECT_TRUE(peer.heard() == sent);
    // The whole echo is gone: the next read starts with the answer.
    peer.send(bytes("7E 01"));
    EXPECT_EQ(hex(readAll(channel, 2)), "7E 01");
}

struct EchoCase {
    std::string label;
    std::function<Bytes(const Bytes&)> echo;
    bool accepted;
    std::string left;  // what a read finds after the write
};

void PrintTo(const EchoCase& c, std::ostream* os) {
    *os << c.label;
}

class SerialHalfDuplexEcho : public ::testing::TestWithParam<EchoCase> {};

TEST_P(SerialHalfDuplexEcho, ChecksAndRemovesTheEcho) {
    const EchoCase& c = GetParam();
    PtyPeer peer(kPort);
    Timing t{300, 100, 2000, 0, 9600};
    ComSerialHalfDuplex channel(paramsFor(kPort, t), 0);
    // Two bytes the channel already holds and one still queued come before the echo.
    peer.send(bytes("B0 B1"));
    ASSERT_TRUE(waitAvailable(channel, 2));
    Bytes first;
    ASSERT_TRUE(channel.read(0, 0, first, 1));
    EXPECT_EQ(hex(first), "B0");
    peer.send(bytes("B2"));
    ASSERT_TRUE(waitAvailable(channel, 2));

    peer.answerWith(c.echo);
    const auto start = Clock::now();
    EXPECT_EQ(channel.write(1, 2, bytes("11 22 33 44")), c.accepted);
    EXPECT_LT(msSince(start), 6000);
    peer.stop();
    EXPECT_EQ(hex(peer.heard()), "11 22 33 44");

    Bytes rest;
    channel.read(0, 0, rest, 20);
    EXPECT_EQ(hex(rest), c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialHalfDuplexEcho,
    ::testing::Values(EchoCase{"accepted_then_answer",
                               [](const Bytes& in) {
                                   Bytes out = in;
                                   if (in.back() == 0x44) {
                                       out.push_back(0x7F);
                                   }
                                   return out;
                               },
                               true, "B1 B2 7F"},
                      EchoCase{"missing", [](const Bytes&) { return Bytes{}; }, false, "B1 B2"},
                      EchoCase{"different",
                               [](const Bytes& in) {
                                   Bytes out = in;
                                   out[0] ^= 0x01;
                                   return out;
                               },
                               false, "B1 B2"},
                      EchoCase{"short", [](const Bytes& in) { return Bytes(in.begin(), in.end() - 1); },
                               false, "B1 B2 11 22 33"}),
    [](const auto& info) { return info.param.label; });

}  // namespace
