#pragma once
// What the ECU tests share: the five console streams captured into strings, the progress values a
// run drew, and a rig of scripted channel, scripted ECU and ECU object.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "comm/ProtocolFiatTP.h"
#include "ecu/VOEcuGenBase.h"
#include "ecu/VOKesGen.h"
#include "tests/ecu/ScriptedEcu.h"
#include "tests/support/scripted_channel.h"

namespace ecutest {

// Redirects the five console streams into strings for its lifetime. Each stream starts with default
// formatting and gets its own formatting back at the end.
class StreamCapture {
  public:
    StreamCapture();
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string error() const { return buffers[0].str(); }
    std::string info() const { return buffers[1].str(); }
    std::string success() const { return buffers[2].str(); }
    std::string normal() const { return buffers[3].str(); }
    std::string warning() const { return buffers[4].str(); }

  private:
    static constexpr int kStreams = 5;
    std::stringbuf buffers[kStreams];
    std::streambuf* saved[kStreams];
    std::ios_base::fmtflags savedFlags[kStreams];
};

// The percentages of the progress bars drawn in normalOut text, in order.
std::vector<uint32_t> progressValues(const std::string& normalText);

// n bytes counting up from first.
Bytes counting(size_t n, uint8_t first = 0);

constexpr uint32_t kTxId = 0x18DA10F1;
constexpr uint32_t kRxId = 0x18DAF110;

// An ECU object attached to a scripted ECU through useProtocol, with its identifiers set. The
// process-wide connect state starts afresh with every rig.
template <typename Ecu>
struct Rig {
    Rig() : ecu(&channel, 0x43) {
        ecuConnectState() = EcuConnectState{};
        if constexpr (requires { ecu.useProtocol(&bus); }) {
            attached = ecu.useProtocol(&bus);
        } else {
            attached = ecu.addProtocol(&bus) && ecu.selectProtocol(bus.name()) && ecu.ensureInit();
        }
        ecu.setCanIds(kTxId, kRxId);
    }

    testing_support::ScriptedChannel channel;
    ScriptedEcu bus;
    Ecu ecu;
    bool attached = false;
};

// An ECU object on the CAN transport the programs register, over a scripted channel: the services
// as frames on the bus, not messages.
template <typename Ecu = VOKesGen>
struct TransportRig {
    TransportRig() : transport(0x43), ecu(&channel, 0x43) {
        ecuConnectState() = EcuConnectState{};
        transport.setStandardized(true);
        attached = ecu.useProtocol(&transport);
        ecu.setCanIds(kTxId, kRxId);
    }
    testing_support::ScriptedChannel channel;
    ProtocolFiatTP transport;
    Ecu ecu;
    bool attached = false;
};

// A write that must be refused before any request: the call, the errorOut text, nothing on normalOut.
struct Refusal {
    std::string label;
    uint64_t address;
    uint64_t length;
    uint32_t pages;
    uint32_t pageSize;
    size_t dataSize;
    std::string error;
};

// Runs write(ecu, row) on a fresh rig for every row and checks the refusal and that nothing was sent.
template <typename Ecu, typename Rows, typename Write>
void expectRefusedBeforeSending(const Rows& rows, Write write) {
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.label);
        Rig<Ecu> rig;
        StreamCapture out;
        EXPECT_FALSE(write(rig.ecu, row));
        EXPECT_EQ(out.error(), row.error);
        EXPECT_EQ(out.normal(), "");
        EXPECT_TRUE(rig.bus.exchanges().empty());
    }
}

// A code or data read that must be refused before any request, the output buffer left as it was.
struct ReadRefusal {
    std::string label;
    uint64_t address, length;
    uint32_t pages;
    size_t outSize;
    std::string error;
};

// Runs ReadCode and ReadData with every row on a fresh rig and checks the refusal.
template <typename Ecu, typename Rows>
void expectReadsRefusedBeforeSending(const Rows& rows) {
    for (const bool dataFlash : {false, true}) {
        for (const ReadRefusal& c : rows) {
            SCOPED_TRACE(c.label + (dataFlash ? " (data)" : " (code)"));
            Rig<Ecu> rig;
            Bytes out(c.outSize, 0xEE);
            StreamCapture capture;
            EXPECT_FALSE(dataFlash ? rig.ecu.ReadData(out, c.address, c.length, nullptr, c.pages)
                                   : rig.ecu.ReadCode(out, c.address, c.length, nullptr, c.pages));
            EXPECT_EQ(capture.error(), c.error);
            EXPECT_EQ(out, Bytes(c.outSize, 0xEE));
            EXPECT_TRUE(rig.bus.exchanges().empty());
        }
    }
}

// One answer to a service's request and what the service must make of it.
struct TextCase {
    std::string label;
    Answer answer;
    bool result;
    // errorOut and warningOut exactly; normalOut and successOut only when given.
    std::string error;
    std::string warning = "";
    std::optional<std::string> normal = std::nullopt;
    std::optional<std::string> success = std::nullopt;
};

// An exchange scripted ahead of the request under test (an erase before a write).
struct ScriptStep {
    Bytes request;
    Answer answer;
};

// Runs each case on a fresh rig: after the exchanges of before, the service must send exactly
// request (once, with the answer length given), return the case's result and print the case's texts.
template <typename Ecu = VOKesGen>
void runTextCases(const Bytes& request, uint32_t answerLength, const std::vector<TextCase>& cases,
                  const std::type_identity_t<std::function<bool(Ecu&)>>& call,
                  const std::vector<ScriptStep>& before = {}) {
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.label);
        Rig<Ecu> rig;
        ASSERT_TRUE(rig.attached);
        for (const ScriptStep& step : before) {
            rig.bus.expect(step.request, step.answer);
        }
        rig.bus.expect(request, c.answer);
        bool result = !c.result;
        {
            StreamCapture out;
            result = call(rig.ecu);
            EXPECT_EQ(out.error(), c.error);
            EXPECT_EQ(out.warning(), c.warning);
            if (c.normal) {
                EXPECT_EQ(out.normal(), *c.normal);
            }
            if (c.success) {
                EXPECT_EQ(out.success(), *c.success);
            }
        }
        EXPECT_EQ(result, c.result);
        EXPECT_TRUE(rig.bus.done());
        ASSERT_EQ(rig.bus.exchanges().size(), before.size() + 1);
        const Exchange& e = rig.bus.exchanges().back();
        EXPECT_EQ(e.txId, kTxId);
        EXPECT_EQ(e.rxId, kRxId);
        if (c.answer.kind != Answer::Kind::SendFails) {
            EXPECT_EQ(e.answerLength, answerLength);
        }
    }
}

}  // namespace ecutest
