#pragma once
// The KES2 and DRO end-to-end tests: the shared rig under the names these tests use, a RAM routine
// and the whole-memory comparison after a run.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/SimRig.h"

namespace kes2dro_e2e {

using e2e::Block;
using e2e::Bytes;
using e2e::describe;
using e2e::E2eEnv;
using e2e::RunResult;
using e2e::SimProcess;

using e2e::concat;
using e2e::kDroMemory;
using e2e::kKes2Memory;
using e2e::MemoryLayout;
using e2e::slice;
using Kes2DroRig = e2e::SimRig;

inline std::string ramRoutine(const E2eEnv& env) {
    return env.write("ram.hex", e2e::intelHexText({{0x1000, e2e::patternBytes(0x400, 7)}}));
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The bytes of [from, from + n) as a write of the blocks sends them: a block's byte where one has
// it (a later block over an earlier one), fill elsewhere.
inline Bytes imageBytes(const std::vector<Block>& blocks, uint64_t from, uint64_t n, uint8_t fill = 0) {
    Bytes bytes(n, fill);
    for (const Block& block : blocks) {
        for (uint64_t i = 0; i < block.bytes.size(); ++i) {
            if (block.address + i >= from && block.address + i < from + n) {
                bytes[block.address + i - from] = block.bytes[i];
            }
        }
    }
    return bytes;
}

inline std::string hexFile(const E2eEnv& env, const std::string& name, const std::vector<Block>& blocks) {
    return env.write(name, e2e::intelHexText(blocks));
}

// Stops the simulator and gives where its saved memory differs from the rig's memory as it is now:
// the memory the simulator started from, changed since the start as the run should have changed it
// (empty when they agree).
inline std::string stopAndCompare(Kes2DroRig& rig) {
    const Bytes expected = rig.memory;
    rig.stop();
    return rig.differencesFrom(expected);
}

// The KES2 --Bmg code write of a file on a programmed ECU, at each packet length: the whole code flash
// is erased and the file written from 0 to its last byte (length bytes), its gaps as fill.
inline void expectWholeCodeFlashWrittenWithBmg(const std::vector<Block>& file, uint64_t length,
                                               const std::vector<std::string>& packetLengths) {
    for (const std::string& packetLength : packetLengths) {
        SCOPED_TRACE(packetLength);
        Kes2DroRig rig("KES2", kKes2Memory);
        rig.programAll();
        ASSERT_TRUE(rig.start());
        const RunResult r =
            rig.run({"--Bmg", "--pktlen", packetLength, "--wP", hexFile(rig.env, "c.hex", file)});
        EXPECT_EQ(r.exitCode, 3) << describe(r);
        rig.eraseCode(0, kKes2Memory.codeLength);
        rig.setCode(0, imageBytes(file, 0, length));
        EXPECT_EQ(stopAndCompare(rig), "") << describe(r);
    }
}

}  // namespace kes2dro_e2e
