// The virtual bus between processes: each test forks its peers before the driver (and its thread)
// starts in the test process.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/xl/xl_fixture.h"
#include "xl/xl_api.h"

namespace {

using namespace xltest;
using testing_support::ChildProcess;

class ProcessTest : public XlTest {
  protected:
    void SetUp() override { prepareEnvironment(); }

    size_t socketsOn(const std::string& bus) const {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(busDir(bus))) {
            n += entry.path().extension() == ".sock" ? 1 : 0;
        }
        return n;
    }
};

TEST_F(ProcessTest, TwoProcessesTalkOverOneBus) {
    ChildProcess echo([this](ChildProcess& me) {
        if (xlOpenDriver() != XL_SUCCESS) {
            return 1;
        }
        const XLportHandle port = openActive(kB);
        me.send('r');
        for (;;) {
            XLevent ev{};
            if (!receive(port, &ev, 10000)) {
                return 2;
            }
            const s_xl_can_msg& m = ev.tagData.msg;
            if (m.id == 0x7FF) {
                break;
            }
            std::vector<uint8_t> data(m.data, m.data + m.dlc);
            if (send(port, m.id + 0x400, data) != XL_SUCCESS) {
                return 3;
            }
        }
        return xlCloseDriver() == XL_SUCCESS ? 0 : 4;
    });
    ASSERT_TRUE(echo.started());
    ASSERT_EQ(echo.receive(), 'r');
    ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);
    const XLportHandle a = openActive(kA, XL_INTERFACE_VERSION, 1024);  // room for every echo
    constexpr uint32_t kFrames = 300;
    for (uint32_t i = 0; i < kFrames; ++i) {
        ASSERT_EQ(send(a, 0x100 + (i % 0x300), {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0x5A}),
                  XL_SUCCESS);
    }
    uint64_t previous = 0;
    for (uint32_t i = 0; i < kFrames; ++i) {
        XLevent ev{};
        ASSERT_TRUE(receive(a, &ev)) << "echo " << i;
        EXPECT_EQ(ev.tagData.msg.id, 0x500 + (i % 0x300));
        ASSERT_EQ(ev.tagData.msg.dlc, 3);
        EXPECT_EQ(ev.tagData.msg.data[0], static_cast<uint8_t>(i));
        EXPECT_EQ(ev.tagData.msg.data[1], static_cast<uint8_t>(i >> 8));
        EXPECT_EQ(ev.tagData.msg.data[2], 0x5A);
        EXPECT_GE(ev.timeStamp, previous);
        previous = ev.timeStamp;
    }
    ASSERT_EQ(send(a, 0x7FF, {}), XL_SUCCESS);
    EXPECT_EQ(echo.wait(), 0);
}

// Frames of several processes reach every node in one order, with time stamps in that order.
TEST_F(ProcessTest, EveryNodeSeesTheBusInOneOrder) {
    constexpr uint8_t kFrames = 250;
    std::vector<std::unique_ptr<ChildProcess>> senders;
    for (uint32_t k = 0; k < 2; ++k) {
        senders.push_back(std::make_unique<ChildProcess>([this, k](ChildProcess& me) {
            if (xlOpenDriver() != XL_SUCCESS) {
                return 1;
            }
            const XLportHandle port = openActive(k == 0 ? kA : kB);
            me.send('r');
            if (me.receive() != 'g') {
                return 2;
            }
            for (uint8_t i = 0; i < kFrames; ++i) {
                if (send(port, 0x100 + k, {i}) != XL_SUCCESS) {
                    return 3;
                }
            }
            me.receive();  // until the test ends
            return 0;
        }));
        ASSERT_TRUE(senders.back()->started());
    }
    for (auto& s : senders) {
        ASSERT_EQ(s->receive(), 'r');
    }
    ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);
    const XLportHandle c = openActive(kC);
    XLportHandle second = XL_INVALID_PORTHANDLE;
    XLaccess none = 0;
    ASSERT_EQ(xlOpenPort(&second, "second", maskOf(kC), &none, 1024, 3, XL_BUS_TYPE_CAN), XL_SUCCESS);
    XLhandle event = nullptr;
    ASSERT_EQ(xlSetNotification(second, &event, 1), XL_SUCCESS);
    events_[second] = event;
    ASSERT_EQ(xlActivateChannel(second, maskOf(kC), XL_BUS_TYPE_CAN, 0), XL_SUCCESS);
    for (auto& s : senders) {
        s->send('g');
    }
    std::vector<std::pair<uint32_t, uint8_t>> seen[2];
    for (int n = 0; n < 2; ++n) {
        const XLportHandle port = n == 0 ? c : second;
        uint64_t previous = 0;
        uint8_t next[2] = {0, 0};
        for (int i = 0; i < 2 * kFrames; ++i) {
            XLevent ev{};
            ASSERT_TRUE(receive(port, &ev)) << "frame " << i;
            const uint32_t k = ev.tagData.msg.id - 0x100;
            ASSERT_LT(k, 2u);
            EXPECT_EQ(ev.tagData.msg.data[0], next[k]++) << "each sender's frames in its order";
            EXPECT_GE(ev.timeStamp, previous);
            previous = ev.timeStamp;
            seen[n].emplace_back(k, ev.tagData.msg.data[0]);
        }
    }
    EXPECT_EQ(seen[0], seen[1]);
    for (auto& s : senders) {
        s->send('q');
        EXPECT_EQ(s->wait(), 0);
    }
}

TEST_F(ProcessTest, KilledProcessDoesNotDisturbTheOthers) {
    auto victim = std::make_unique<ChildProcess>([this](ChildProcess& me) {
        if (xlOpenDriver() != XL_SUCCESS) {
            return 1;
        }
        openActive(kC);
        me.send('r');
        me.receive(-1);
        return 0;
    });
    ASSERT_TRUE(victim->started());
    ASSERT_EQ(victim->receive(), 'r');
    ASSERT_EQ(xlOpenDriver(), XL_SUCCESS);
    const XLportHandle a = openActive(kA), b = openActive(kB);
    ASSERT_EQ(send(a, 0x100, {1}), XL_SUCCESS);
    expectFrame(b, 0x100, 1);
    EXPECT_EQ(socketsOn("busA"), 3u);
    victim.reset();  // SIGKILL: its socket file stays behind
    for (uint8_t i = 0; i < 100; ++i) {
        ASSERT_EQ(send(a, 0x101, {i}), XL_SUCCESS);
    }
    for (uint8_t i = 0; i < 100; ++i) {
        expectFrame(b, 0x101, i);
    }
    EXPECT_EQ(socketsOn("busA"), 2u) << "the sender removed the dead node's socket";
    ASSERT_EQ(send(b, 0x102, {7}), XL_SUCCESS);
    expectFrame(a, 0x102, 7);
}

}  // namespace
