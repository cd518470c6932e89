#pragma once
// One simulated ECU of a class with a memory file of its own, the tool run against it, and the
// memory read back after the simulator has saved it. A flash step is tested from a programmed memory
// (every byte set, none 0xFF) and the whole saved memory is compared with what the step should have
// left, so bytes erased but not written back show wherever they are.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/E2eSupport.h"

namespace e2e {

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

// The simulator's memory file: code flash, then data flash. dataStart is the address the tool gives
// data-flash byte 0 in its data writes.
struct MemoryLayout {
    uint64_t codeStart;
    uint64_t codeLength;
    uint64_t dataLength;
    uint64_t dataStart = 0;
};

constexpr MemoryLayout kCyt2Memory = {0x10000000, 0x210000, 0x10000, 0x14000000};
constexpr MemoryLayout kNxpMemory = kCyt2Memory;
constexpr MemoryLayout kRh850Memory = {0, 0x400000, 0x10000, 0xFF200000};
constexpr MemoryLayout kKes2Memory = {0, 0x80000, 0x8000};
constexpr MemoryLayout kDroMemory = {0x70000, 0x110000, 0x10000};

class SimRig {
  public:
    SimRig(std::string ecuClass, const MemoryLayout& layout) : ecuClass(std::move(ecuClass)), layout(layout) {
        memory.assign(layout.codeLength + layout.dataLength, 0xFF);
    }

    // Every byte of code and data flash set to a pattern that holds no 0xFF: a programmed ECU.
    void programAll(uint32_t seed = 99) {
        memory = patternBytes(memory.size(), seed);
        std::replace(memory.begin(), memory.end(), uint8_t{0xFF}, uint8_t{0x5A});
    }

    // Bytes of the memory (before the simulator starts, or as expected after a run).
    void setCode(uint64_t address, const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(),
                  memory.begin() + static_cast<std::ptrdiff_t>(codeOffset(address)));
    }
    void setData(uint64_t address, const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(),
                  memory.begin() + static_cast<std::ptrdiff_t>(dataOffset(address)));
    }
    void eraseCode(uint64_t address, uint64_t n) { setCode(address, Bytes(n, 0xFF)); }
    void eraseData(uint64_t address, uint64_t n) { setData(address, Bytes(n, 0xFF)); }

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
    Bytes code(uint64_t address, size_t n) const { return slice(memory, codeOffset(address), n); }
    Bytes data(uint64_t address, size_t n) const { return slice(memory, dataOffset(address), n); }

    // The ranges where memory differs from expected, as "code 0x...-0x..." and "data 0x...-0x..."
    // lines with tool addresses (end inclusive); empty when the two are the same.
    std::string differencesFrom(const Bytes& expected) const {
        if (expected.size() != memory.size()) {
            return "memory holds " + std::to_string(memory.size()) + " bytes, expected " +
                   std::to_string(expected.size());
        }
        std::string out;
        size_t i = 0;
        while (i < memory.size()) {
            if (memory[i] == expected[i]) {
                ++i;
                continue;
            }
            const bool inCode = i < layout.codeLength;
            const size_t end = inCode ? layout.codeLength : memory.size();
            size_t j = i;
            while (j < end && memory[j] != expected[j]) {
                ++j;
            }
            const uint64_t base = inCode ? layout.codeStart : layout.dataStart - layout.codeLength;
            char line[80];
            std::snprintf(line, sizeof line, "%s 0x%llX-0x%llX\n", inCode ? "code" : "data",
                          static_cast<unsigned long long>(base + i),
                          static_cast<unsigned long long>(base + j - 1));
            out += line;
            i = j;
        }
        return out;
    }

    // The image file of the scratch folder covers exactly [start, start + bytes.size()) and holds
    // bytes there.
    void expectFileHolds(const std::string& name, uint64_t start, const Bytes& bytes) const {
        const ByteMap map = readImageFile(env, name);
        const std::pair<uint64_t, uint64_t> range =
            map.empty() ? std::make_pair(uint64_t{0}, uint64_t{0})
                        : std::make_pair(map.begin()->first, map.rbegin()->first - map.begin()->first + 1);
        EXPECT_EQ(range, std::make_pair(start, uint64_t{bytes.size()})) << name;
        EXPECT_TRUE(bytesOf(map, start, bytes.size(), 0) == bytes) << name;
    }

    // What a write step may leave besides the bytes of memory: a flagged byte may end either 0x00 or
    // 0xFF, as the bytes of erased units that the file does not hold may. Flags are set by the
    // erase...Units calls and cleared by the write...Bytes calls below.
    void eraseCodeUnits(uint64_t address, uint64_t n) {
        eraseCode(address, n);
        flag(codeOffset(address), n, true);
    }
    void eraseDataUnits(uint64_t address, uint64_t n) {
        eraseData(address, n);
        flag(dataOffset(address), n, true);
    }
    void writeCodeBytes(uint64_t address, const Bytes& bytes) {
        setCode(address, bytes);
        flag(codeOffset(address), bytes.size(), false);
    }
    void writeDataBytes(uint64_t address, const Bytes& bytes) {
        setData(address, bytes);
        flag(dataOffset(address), bytes.size(), false);
    }
    const std::vector<bool>& zeroOrErasedFlags() const { return zeroOrErased; }

    // differencesFrom, where a byte flagged in zeroOrErasedAllowed may also be 0x00 or 0xFF.
    std::string differencesFrom(const Bytes& expected, const std::vector<bool>& zeroOrErasedAllowed) const {
        Bytes allowed = expected;
        for (size_t i = 0; i < allowed.size() && i < memory.size() && i < zeroOrErasedAllowed.size(); ++i) {
            if (zeroOrErasedAllowed[i] && (memory[i] == 0x00 || memory[i] == 0xFF)) {
                allowed[i] = memory[i];
            }
        }
        return differencesFrom(allowed);
    }

    E2eEnv env;
    std::string ecuClass;
    MemoryLayout layout;
    Bytes memory;
    std::unique_ptr<SimProcess> sim;

  private:
    size_t codeOffset(uint64_t address) const { return static_cast<size_t>(address - layout.codeStart); }
    size_t dataOffset(uint64_t address) const {
        return static_cast<size_t>(layout.codeLength + (address - layout.dataStart));
    }
    void flag(size_t offset, size_t n, bool zeroOrErasedAllowed) {
        zeroOrErased.resize(memory.size(), false);
        std::fill_n(zeroOrErased.begin() + static_cast<std::ptrdiff_t>(offset), n, zeroOrErasedAllowed);
    }

    std::vector<bool> zeroOrErased;
};

// An erase unit of a simulated ECU: its first address and its size.
struct EraseUnit {
    uint64_t start;
    uint64_t size;
};

// The code-flash erase block of a standard class (CYT2, NXP, RH850) that holds address.
inline EraseUnit codeEraseBlockOf(const std::string& ecuClass, uint64_t address) {
    const auto within = [address](uint64_t base, uint64_t size) {
        return EraseUnit{base + (address - base) / size * size, size};
    };
    if (ecuClass == "RH850") {
        return address < 0x10000 ? within(0, 0x2000) : within(0x10000, 0x8000);
    }
    return address < 0x101F0000 ? within(0x10000000, 0x8000) : within(0x101F0000, 0x2000);
}

// The data-flash erase units of the standard classes: 64 bytes from the data flash's first byte.
constexpr uint64_t kStandardDataUnit = 64;

// What a code write of blocks should leave in a standard class's rig: the erase blocks that hold a
// byte of the blocks erased (their other bytes 0x00 or 0xFF), then the blocks' bytes.
inline void expectCodeWritten(SimRig& rig, const std::vector<Block>& blocks) {
    for (const Block& b : blocks) {
        for (uint64_t at = b.address; at < b.address + b.bytes.size();) {
            const EraseUnit unit = codeEraseBlockOf(rig.ecuClass, at);
            rig.eraseCodeUnits(unit.start, unit.size);
            at = unit.start + unit.size;
        }
    }
    for (const Block& b : blocks) {
        rig.writeCodeBytes(b.address, b.bytes);
    }
}

// The same for a data write: the 64-byte units that hold a byte of the blocks erased, then the bytes.
inline void expectDataWritten(SimRig& rig, const std::vector<Block>& blocks) {
    for (const Block& b : blocks) {
        const uint64_t first =
            rig.layout.dataStart + (b.address - rig.layout.dataStart) / kStandardDataUnit * kStandardDataUnit;
        const uint64_t end = b.address + b.bytes.size();
        rig.eraseDataUnits(first,
                           (end - first + kStandardDataUnit - 1) / kStandardDataUnit * kStandardDataUnit);
    }
    for (const Block& b : blocks) {
        rig.writeDataBytes(b.address, b.bytes);
    }
}

// Stops the simulator and compares the whole memory it saved with rig.memory.
inline void expectMemoryLeft(SimRig& rig) {
    const Bytes expected = rig.memory;
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(expected), "");
}

// Stops the simulator and compares the whole memory it saved with what the code write of blocks
// should leave: the erase blocks holding their bytes erased (other bytes there 0x00 or 0xFF), then
// the blocks' bytes.
inline void expectBlocksWritten(SimRig& rig, const std::vector<Block>& blocks) {
    expectCodeWritten(rig, blocks);
    const Bytes expected = rig.memory;
    const std::vector<bool> flags = rig.zeroOrErasedFlags();
    rig.stop();
    EXPECT_EQ(rig.differencesFrom(expected, flags), "");
}

}  // namespace e2e
