#pragma once
// The ECU class of the NXP flash program: VOKesGen's services with the code erase blocks of
// codeBlockGroups. Also that block map, which the CYT2 class shares.

#include <cstdint>

#include "ecu/VOKesGen.h"

class Communication;

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

class VONxpGen : public VOKesGen {
  public:
    VONxpGen(Communication* comm, uint8_t frameAddress);
    ~VONxpGen() override;

    uint8_t GetBlockNumber(uint64_t address) override;

    bool RequestDownload();
    // Nothing to do for this ECU: false, nothing sent.
    bool ProgSessionHook();

    bool InCodeBlockMap(uint64_t address) const override;
};
