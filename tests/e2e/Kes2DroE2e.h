#pragma once
// The KES2 and DRO end-to-end rig: one simulated ECU of the class with a memory file of its own, the
// tool run against it on the VN1640's first channel, and the memory and the tool's files read back.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/E2eSupport.h"

namespace kes2dro_e2e {

using e2e::Block;
using e2e::Bytes;
using e2e::describe;
using e2e::E2eEnv;
using e2e::RunResult;
using e2e::SimProcess;

inline Bytes slice(const Bytes& bytes, size_t from, size_t n) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + n));
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The simulator's memory file: code flash, then data flash.
struct MemoryLayout {
    uint64_t codeStart;
    uint64_t codeLength;
    uint64_t dataLength;
};

constexpr MemoryLayout kKes2Memory = {0, 0x80000, 0x8000};
constexpr MemoryLayout kDroMemory = {0x70000, 0x110000, 0x10000};

// One simulated ECU of a class with a memory file, and the tool run against it.
class Kes2DroRig {
  public:
    Kes2DroRig(std::string ecuClass, const MemoryLayout& layout)
        : ecuClass(std::move(ecuClass)), layout(layout) {
        memory.assign(layout.codeLength + layout.dataLength, 0xFF);
    }

    // Bytes of the memory before the simulator starts.
    void setCode(uint64_t address, const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(),
                  memory.begin() + static_cast<std::ptrdiff_t>(address - layout.codeStart));
    }
    void setData(uint64_t address, const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(),
                  memory.begin() + static_cast<std::ptrdiff_t>(layout.codeLength + address));
    }

    bool start(const std::vector<std::string>& simOptions = {}) {
        env.write("memory.bin", std::string(memory.begin(), memory.end()));
        std::vector<std::string> args = {"--class", ecuClass, "--memory", env.path("memory.bin")};
        args.insert(args.end(), simOptions.begin(), simOptions.end());
        sim = std::make_unique<SimProcess>(env, args);
        return sim->ready();
    }

    // Runs voflash with the class, the tool's channel (VN1640 channel 1) and args.
    RunResult run(const std::vector<std::string>& args,
                  const std::vector<std::string>& channel = {"--Com", "9", "--p", "1"}) {
        std::vector<std::string> all = {"--ecuClass", ecuClass};
        all.insert(all.end(), channel.begin(), channel.end());
        all.insert(all.end(), args.begin(), args.end());
        return env.runVoflash(all);
    }

    // Stops the simulator, which saves its memory, and reads the memory back.
    void stop() {
        if (sim) {
            sim->stop();
            sim.reset();
        }
        const auto text = env.read("memory.bin");
        ASSERT_TRUE(text.has_value());
        memory.assign(text->begin(), text->end());
    }
    Bytes code(uint64_t address, size_t n) const { return slice(memory, address - layout.codeStart, n); }
    Bytes data(uint64_t address, size_t n) const { return slice(memory, layout.codeLength + address, n); }

    // The image file of the scratch folder covers exactly [start, start + bytes.size()) and holds
    // bytes there.
    void expectFileHolds(const std::string& name, uint64_t start, const Bytes& bytes) const {
        const e2e::ByteMap map = e2e::readImageFile(env, name);
        const std::pair<uint64_t, uint64_t> range =
            map.empty() ? std::make_pair(uint64_t{0}, uint64_t{0})
                        : std::make_pair(map.begin()->first, map.rbegin()->first - map.begin()->first + 1);
        EXPECT_EQ(range, std::make_pair(start, uint64_t{bytes.size()})) << name;
        EXPECT_TRUE(e2e::bytesOf(map, start, bytes.size(), 0) == bytes) << name;
    }

    E2eEnv env;
    std::string ecuClass;
    MemoryLayout layout;
    Bytes memory;
    std::unique_ptr<SimProcess> sim;
};

inline std::string ramRoutine(const E2eEnv& env) {
    return env.write("ram.hex", e2e::intelHexText({{0x1000, e2e::patternBytes(0x400, 7)}}));
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace kes2dro_e2e
