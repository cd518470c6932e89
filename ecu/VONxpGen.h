#pragma once
// The ECU class of the NXP flash program: VOKesGen's services with the code erase blocks of
// codeBlockGroups.

#include <cstdint>
#include <optional>

#include "ecu/VOKesGen.h"

class Communication;

class VONxpGen : public VOKesGen {
  public:
    VONxpGen(Communication* comm, uint8_t frameAddress);
    ~VONxpGen() override;

    uint8_t GetBlockNumber(uint64_t address) override;

    bool RequestDownload();
    // Nothing to do for this ECU: false, nothing sent.
    bool ProgSessionHook();

    bool InCodeBlockMap(uint64_t address) const override;
    std::optional<uint64_t> CodeBlockAddress(uint8_t block) const override;
};
