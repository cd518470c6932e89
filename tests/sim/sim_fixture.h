#pragma once
// A tool and a simulated ECU on one virtual bus of a test's own: the tool's channel "VN1640
// Channel 1" (index 0, hardware type 59) and the simulator's virtual channel (index 1), the tool
// through the project's CAN channel, transport protocol and ECU class.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "comm/ComParams.h"
#include "comm/ComVXLapiCAN.h"
#include "comm/ProtocolFiatTP.h"
#include "ecu/VOEcuGenBase.h"
#include "sim/EcuSimulator.h"
#include "tests/support/bus_environment.h"
#include "tests/xl/xl_fixture.h"

namespace simtest {

using sim::Bytes;

inline const char* const kBusConfig =
    "VN1640 Channel 1, 59, 0, 0, CAN+LIN, 40001, simbus\n"
    "ECU sim, 1, 0, 1, CAN+LIN, 1, simbus\n";
constexpr unsigned kToolChannel = 0;
constexpr unsigned kSimChannel = 1;
constexpr uint32_t kReqId = 0x6F1;
constexpr uint32_t kRespId = 0x643;

// The tool's side: channel, protocol and an ECU object of class Ecu, attached and addressed.
template <typename Ecu>
struct Tool {
    Tool()
        : channel(ComParamsVXLapiCAN(10000, XL_HWTYPE_VN1640, 0, 0, 500000), kRespId),
          protocol(0x43),
          ecu(&channel, 0x43) {
        ecuConnectState() = EcuConnectState{};
        protocol.setStandardized(true);
        attached = ecu.useProtocol(&protocol) && ecu.setCanIds(kReqId, kRespId);
    }
    // The login as the flash programs repeat it: 300 ms per attempt, up to limitMs.
    bool loginWithRetry(uint32_t limitMs = 20000) {
        const uint32_t saved = ecu.getReceiveTimeout();
        ecu.setReceiveTimeout(300);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        bool ok = false;
        while (!ok && std::chrono::steady_clock::now() < deadline) {
            ok = ecu.Login();
        }
        ecu.setReceiveTimeout(saved);
        return ok;
    }

    ComVXLapiCAN channel;
    ProtocolFiatTP protocol;
    Ecu ecu;
    bool attached = false;
};

inline sim::Config configFor(sim::EcuClass c) {
    sim::Config config;
    config.ecuClass = c;
    return config;
}

// A simulator of the test's configuration on its channel, and the tool's side ToolT (its `ecu` and
// whether it `attached`).
template <typename ToolT>
class ToolSimTest : public ::testing::Test {
  protected:
    // Starts the simulator with config, then builds the tool.
    void startWith(const sim::Config& config) {
        simulator = std::make_unique<sim::EcuSimulator>(config);
        std::string error;
        ASSERT_TRUE(simulator->start(kSimChannel, &error)) << error;
        tool = std::make_unique<ToolT>();
        ASSERT_TRUE(tool->attached);
    }
    void TearDown() override {
        tool.reset();
        simulator.reset();
    }
    auto& ecu() { return tool->ecu; }
    Bytes peek(sim::Space space, uint32_t address, uint32_t n) {
        Bytes out;
        EXPECT_TRUE(simulator->peek(space, address, n, &out));
        return out;
    }

    testing_support::BusEnvironment environment{kBusConfig, "tsim"};
    std::unique_ptr<sim::EcuSimulator> simulator;
    std::unique_ptr<ToolT> tool;
};

// The simulator and the tool on CAN with an ECU object of class Ecu.
template <typename Ecu>
using SimTest = ToolSimTest<Tool<Ecu>>;

// n bytes of a pattern that differs from erased flash.
inline Bytes pattern(size_t n, uint8_t seed = 0x11) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(seed + i * 13);
    }
    return out;
}

}  // namespace simtest
