#pragma once
// The ECU class of the CYT2 flash program: VOKesGen's services with the code erase blocks of
// codeBlockGroups and the CYT2 bootloader's reads (code in packets given in bytes, data with a zero
// page byte).

#include <cstdint>
#include <optional>
#include <vector>

#include "ecu/VOKesGen.h"

class Communication;

class VOCyt2Gen : public VOKesGen {
  public:
    VOCyt2Gen(Communication* comm, uint8_t frameAddress);
    ~VOCyt2Gen() override;

    // BB 71 per packet of packetBytes bytes (a multiple of 256, at most 255 pages), 500 ms apart;
    // the length must be a multiple of the packet. A length of 0 reads nothing.
    bool ReadCode(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int* mode,
                  uint32_t packetBytes) override;
    // BB 81 with page byte 00 per packet of pages x 256 bytes.
    bool ReadData(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int* mode,
                  uint32_t pages) override;
    uint8_t GetBlockNumber(uint64_t address) override;

    bool RequestDownload();
    // Nothing to do for this ECU: false, nothing sent.
    bool ProgSessionHook();

    bool InCodeBlockMap(uint64_t address) const override;
    std::optional<uint64_t> CodeBlockAddress(uint8_t block) const override;
};
