#pragma once
// A simulated ECU bootloader on a channel of the virtual bus, served by a thread of its own.
//
//     sim::Config config;
//     config.ecuClass = sim::EcuClass::kRh850;
//     sim::EcuSimulator ecu(config);
//     ecu.start(1, &error);            // channel index 1 of the XL driver's channel list
//     ... the tool talks to it ...
//     ecu.peek(sim::Space::kCode, 0x10000, 0x100, &bytes);
//
// Faults may be added and memory inspected or preloaded while it runs. The XL driver starts a
// thread when it opens: a test that forks must fork before start.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/Bootloader.h"
#include "sim/SimConfig.h"
#include "sim/SimMemory.h"

namespace sim {

class FrameLink;

class EcuSimulator {
  public:
    explicit EcuSimulator(const Config& config);
    ~EcuSimulator();
    EcuSimulator(const EcuSimulator&) = delete;
    EcuSimulator& operator=(const EcuSimulator&) = delete;

    // Attaches to channel index `channel` and starts serving; true once it is ready on the bus.
    bool start(unsigned channel, std::string* error);
    // The lock that keeps a second simulator off channel index `channel` of the driver's list: a file
    // in the folder of the channel's bus named after its hardware type, index and channel. Null with
    // *error when another one holds it or it cannot be taken. A channel the list lacks gets no lock
    // and no error (start then says why it cannot attach).
    static std::unique_ptr<FileLock> lockChannel(unsigned channel, std::string* error);
    // Stops serving and leaves the bus (also done by the destructor).
    void stop();
    bool running() const { return thread_.joinable(); }

    void addFault(const Fault& fault);
    void clearFaults();

    bool peek(Space space, uint32_t address, uint32_t n, Bytes* out) const;
    bool poke(Space space, uint32_t address, const Bytes& data);
    bool loadMemory(const std::string& path, std::string* error);
    bool saveMemory(const std::string& path, std::string* error) const;

    bool loggedIn() const;
    uint32_t ecuInfo() const;
    uint32_t optionBytes(uint8_t index) const;
    // Requests taken so far (complete messages, answered or not), and those of one service.
    uint64_t requestCount() const;
    uint64_t requestCount(uint8_t service) const;

    // One request through the faults and the bootloader: the messages to send, in order, and how.
    // The bus side of the simulator uses it; tests may call it directly.
    struct Outcome {
        std::vector<Bytes> replies;
        uint32_t delayMs = 0;
        bool shortFrames = false;
        uint32_t dropConsecutive = 0;
    };
    Outcome process(const Bytes& request);

  private:
    struct ActiveFault {
        Fault fault;
        uint32_t used = 0;
    };
    // The first fault of this kind that applies to the request, counted as used.
    const Fault* takeFault(FaultKind kind, const Bytes& request);
    void serve();

    const Config config_;
    mutable std::mutex lock_;  // the bootloader, the faults and the counters
    Bootloader bootloader_;
    std::vector<ActiveFault> faults_;
    uint64_t requests_ = 0;
    uint64_t perService_[256] = {};

    std::unique_ptr<FrameLink> link_;
    std::thread thread_;
};

}  // namespace sim
