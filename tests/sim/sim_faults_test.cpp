// Each injected fault as the tool's RH850 client sees it, and frames that are not well formed.

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "ecu/VORh850Gen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/sim/sim_fixture.h"
#include "tests/support/wait_until.h"

namespace simtest {
namespace {

using FaultsTest = SimTest<VORh850Gen>;

struct FaultCase {
    std::string label;
    sim::Fault fault;
    std::function<bool(VORh850Gen&)> call;
    // Text expected in errorOut followed by warningOut.
    std::string seen;
};

bool getInfo(VORh850Gen& ecu) {
    uint32_t info = 0;
    return ecu.GetEcuInfo(info);
}

TEST_F(FaultsTest, EachFaultFailsTheServiceAsTheClientReportsIt) {
    const Bytes page = pattern(0x100);
    const std::vector<FaultCase> cases = {
        {"no answer",
         {sim::FaultKind::kNoAnswer, {0xBB, 0xFF}, 0, 1},
         getInfo,
         "Get EcuInfo (no response)!\n"},
        {"negative code",
         {sim::FaultKind::kNegative, {0xBB, 0x70}, 0x72, 1},
         [&](VORh850Gen& e) { return e.FlashCode(page, 0x10000, page.size(), false, nullptr, 1, 0x100); },
         "W_Code,Addr: 0x10000 NRC(GeneralProgrammingFailure)"},
        {"late answer",
         {sim::FaultKind::kDelay, {0xBB, 0xFF}, 800, 1},
         getInfo,
         "Get EcuInfo (no response)!\n"},
        {"response pending",
         {sim::FaultKind::kPending, {0xBA}, 1, 1},
         [](VORh850Gen& e) { return e.Login(); },
         "Srv: 0xba NRC: 0x78 (ResponsePending)\n"},
        {"short frame",
         {sim::FaultKind::kShortFrames, {0xBA}, 0, 1},
         [](VORh850Gen& e) { return e.Login(); },
         "Attempting to connect to the ECU."},
        {"dropped consecutive frame",
         {sim::FaultKind::kDropConsecutive, {0xBB, 0x71}, 2, 1},
         [](VORh850Gen& e) {
             Bytes out(0x100);
             return e.ReadCode(out, 0, out.size(), nullptr, 1);
         },
         "NoResp(R_Code), Addr: 0x0\n"},
    };
    startWith(configFor(sim::EcuClass::kRh850));
    ASSERT_TRUE(tool->loginWithRetry());
    ecu().setReceiveTimeout(300);
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.label);
        simulator->clearFaults();
        simulator->addFault(c.fault);
        ecuConnectState() = EcuConnectState{};
        {
            ecutest::StreamCapture out;
            EXPECT_FALSE(c.call(ecu()));
            EXPECT_NE((out.error() + out.warning()).find(c.seen), std::string::npos)
                << out.error() << out.warning();
        }
        // Whatever came late has come before the next request, which gets its own answer: the fault was
        // used up and the ECU serves.
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        ecutest::StreamCapture out;
        EXPECT_TRUE(getInfo(ecu())) << out.error();
    }
}

// A reply still queued when the next request goes out (a doubled one, one that came after its
// receive time-out, the real answer behind a "response pending") is never taken for that request's
// answer. The next request reads code: its 2 + 256 bytes cannot be mistaken for the 6 bytes of an
// ECU-information reply.
TEST_F(FaultsTest, StaleReplyIsNeverTheNextRequestsAnswer) {
    struct Case {
        std::string label;
        sim::Fault fault;
        bool answered;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"doubled reply", {sim::FaultKind::kDuplicate, {0xBB, 0xFF}, 0, 1}, true, ""},
        {"reply after the time-out",
         {sim::FaultKind::kDelay, {0xBB, 0xFF}, 500, 1},
         false,
         "Get EcuInfo (no response)!\n"},
        {"answer behind response pending",
         {sim::FaultKind::kPending, {0xBB, 0xFF}, 1, 1},
         false,
         "GetEcuInfo Srv: 0xbb NRC: 0x78 (ResponsePending)\n"},
    };
    sim::Config config = configFor(sim::EcuClass::kRh850);
    config.ecuInfo = 0x12345678;
    startWith(config);
    ASSERT_TRUE(tool->loginWithRetry());
    ecu().setReceiveTimeout(300);
    const Bytes page = pattern(0x100, 0x21);
    ASSERT_TRUE(simulator->poke(sim::Space::kCode, 0x10000, page));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        simulator->clearFaults();
        simulator->addFault(c.fault);
        ecutest::StreamCapture out;
        uint32_t info = 0;
        EXPECT_EQ(ecu().GetEcuInfo(info), c.answered);
        EXPECT_EQ(info, c.answered ? 0x12345678u : 0u);
        EXPECT_EQ(out.error(), c.error);
        // The stale reply has come before the next request goes out.
        ASSERT_TRUE(testing_support::waitUntil([&] { return tool->channel.available(kRespId) >= 8; }));
        Bytes back(page.size());
        EXPECT_TRUE(ecu().ReadCode(back, 0x10000, back.size(), nullptr, 1)) << out.error();
        EXPECT_EQ(back, page);
        EXPECT_EQ(tool->channel.available(kRespId), 0u);
    }
}

// Frames from the tool's channel, raw, to the simulator's request identifier.
class RawBus {
  public:
    explicit RawBus(unsigned channel) {
        XLaccess permission = xltest::maskOf(channel);
        xlOpenDriver();
        xlOpenPort(&port_, "raw", xltest::maskOf(channel), &permission, 4096, XL_INTERFACE_VERSION,
                   XL_BUS_TYPE_CAN);
        xlSetNotification(port_, &event_, 1);
        xlActivateChannel(port_, xltest::maskOf(channel), XL_BUS_TYPE_CAN, XL_ACTIVATE_NONE);
        mask_ = xltest::maskOf(channel);
    }
    ~RawBus() {
        xlClosePort(port_);
        xlCloseDriver();
    }
    void send(const Bytes& data) {
        XLevent e{};
        e.tag = XL_TRANSMIT_MSG;
        e.tagData.msg.id = kReqId;
        e.tagData.msg.dlc = static_cast<uint16_t>(data.size());
        std::copy(data.begin(), data.end(), e.tagData.msg.data);
        uint32_t n = 1;
        xlCanTransmit(port_, mask_, &n, &e);
    }
    // The frames on the reply identifier within timeoutMs.
    std::vector<Bytes> replies(uint32_t timeoutMs) {
        std::vector<Bytes> out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            XLevent e{};
            uint32_t n = 1;
            if (xlReceive(port_, &n, &e) == XL_SUCCESS && n == 1) {
                if (e.tag == XL_RECEIVE_MSG && e.tagData.msg.id == kRespId) {
                    out.emplace_back(e.tagData.msg.data, e.tagData.msg.data + e.tagData.msg.dlc);
                }
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return out;
    }

  private:
    XLportHandle port_ = XL_INVALID_PORTHANDLE;
    XLaccess mask_ = 0;
    XLhandle event_ = nullptr;
};

class MalformedTest : public ::testing::Test {
  protected:
    testing_support::BusEnvironment environment{kBusConfig, "tsimbad"};
};

TEST_F(MalformedTest, BadFramesGetSilenceAndTheEcuGoesOnServing) {
    sim::Config config = configFor(sim::EcuClass::kRh850);
    config.requireLogin = false;
    sim::EcuSimulator simulator(config);
    std::string error;
    ASSERT_TRUE(simulator.start(kSimChannel, &error)) << error;
    RawBus bus(kToolChannel);
    const std::vector<Bytes> silent = {
        {},
        {0x43},
        {0x43, 0x00, 0, 0, 0, 0, 0, 0},           // single frame of no bytes
        {0x43, 0x07, 1, 2, 3, 4, 5, 6},           // single frame longer than a frame holds
        {0x43, 0x05, 0xBB, 0xFF},                 // length beyond the frame's bytes
        {0x44, 0x02, 0xBB, 0xFF, 0, 0, 0, 0},     // another address byte
        {0x43, 0x21, 1, 2, 3, 4, 5, 6},           // consecutive frame outside a message
        {0x43, 0x30, 0, 0, 0, 0, 0, 0},           // flow control outside a reply
        {0x43, 0x10, 0x03, 0xBB, 0xFF, 0, 0, 0},  // first frame of a message that fits one frame
        {0x43, 0x10, 0x20, 1, 2, 3},              // first frame cut short
        {0x43, 0xF0, 1, 2, 3, 4, 5, 6},
    };
    for (const Bytes& f : silent) {
        bus.send(f);
    }
    EXPECT_TRUE(bus.replies(300).empty());

    // A first frame whose consecutive frames come out of sequence is dropped after the flow control.
    bus.send({0x43, 0x10, 0x0A, 0xBB, 0x70, 0, 0, 0});
    bus.send({0x43, 0x22, 0, 0, 0, 0, 0, 0});
    std::vector<Bytes> r = bus.replies(300);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], (Bytes{0x43, 0x30, 0, 0, 0, 0, 0, 0}));

    // Random frames: answers or silence, no crash and no hang.
    std::mt19937 random(1234);
    for (int i = 0; i < 3000; ++i) {
        Bytes f(random() % 9);
        for (uint8_t& b : f) {
            b = static_cast<uint8_t>(random());
        }
        if (!f.empty() && random() % 2 == 0) {
            f[0] = 0x43;
        }
        bus.send(f);
    }
    bus.replies(1500);
    bus.send({0x43, 0x02, 0xBB, 0xFF, 0, 0, 0, 0});
    r = bus.replies(1500);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back(), (Bytes{0x43, 0x06, 0xFB, 0xFF, 0, 0, 0, 0}));
}

// A read reply whose first frame the tool leaves without a flow control, because a new request of the
// tool came instead: that reply and its copy still due go unsent, and the new request is answered at
// once, not after the ECU's wait of 1000 ms for a flow control of the copy.
TEST_F(MalformedTest, NewRequestBreaksOffTheRepliesStillDue) {
    sim::Config config = configFor(sim::EcuClass::kRh850);
    config.requireLogin = false;
    config.faults.push_back({sim::FaultKind::kDuplicate, {0xBB, 0x71}, 0, 1});
    sim::EcuSimulator simulator(config);
    std::string error;
    ASSERT_TRUE(simulator.start(kSimChannel, &error)) << error;
    RawBus bus(kToolChannel);
    bus.send({0x43, 0x10, 0x07, 0xBB, 0x71, 0x00, 0x01, 0x00});
    std::vector<Bytes> r = bus.replies(200);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], (Bytes{0x43, 0x30, 0, 0, 0, 0, 0, 0}));
    bus.send({0x43, 0x21, 0x00, 0x01, 0, 0, 0, 0});
    r = bus.replies(200);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Bytes(r[0].begin(), r[0].begin() + 5), (Bytes{0x43, 0x11, 0x02, 0xFB, 0x71}));
    bus.send({0x43, 0x02, 0xBB, 0xFF, 0, 0, 0, 0});
    // Well within the 1000 ms the copy's first frame would wait for a flow control.
    r = bus.replies(600);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], (Bytes{0x43, 0x06, 0xFB, 0xFF, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace simtest
