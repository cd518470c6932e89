#pragma once
// The ECU class of the RH850 flash program: VOKesGen's services, with the data-flash erase units
// counted from the start of the RH850 data flash.

#include <cstdint>
#include <vector>

#include "ecu/VOKesGen.h"

class Communication;

class VORh850Gen : public VOKesGen {
  public:
    // Data-flash erase unit 0 starts here; lower addresses are refused.
    static constexpr uint64_t kDataFlashStart = 0xFF200000;

    VORh850Gen(Communication* comm, uint8_t frameAddress);
    ~VORh850Gen() override;

    bool FlashData(const std::vector<uint8_t>& data, uint64_t address, uint64_t length, int* mode,
                   uint32_t pages, uint32_t pageSize) override;

    bool RequestDownload();
    // Nothing to do for this ECU: false, nothing sent.
    bool ProgSessionHook();
};
