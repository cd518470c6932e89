#pragma once
// The code-flash erase blocks of the NXP and CYT2 ECU classes: runs of equal blocks that follow one
// another from kCodeGroupsStart, and the lookups on them.

#include <cstdint>
#include <optional>

// One run of equal code-flash erase blocks; the runs follow one another from kCodeGroupsStart.
struct CodeBlockGroup {
    uint8_t firstBlock;
    uint8_t lastBlock;
    uint32_t blockSize;
};
inline constexpr uint64_t kCodeGroupsStart = 0x10000000;
// Blocks 0-61 of 32 KiB up to 0x101EFFFF, blocks 62-77 of 8 KiB up to 0x1020FFFF.
inline constexpr CodeBlockGroup codeBlockGroups[] = {{0, 61, 0x8000}, {62, 77, 0x2000}};

// The block of codeBlockGroups holding address; 0 outside the map.
uint8_t codeGroupBlockNumber(uint64_t address);
// Whether address lies in a block of codeBlockGroups.
bool inCodeBlockGroups(uint64_t address);
// The first address of block number block of codeBlockGroups; none past the last block.
std::optional<uint64_t> codeGroupBlockAddress(uint8_t block);
