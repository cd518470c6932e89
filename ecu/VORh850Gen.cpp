#include "ecu/VORh850Gen.h"

VORh850Gen::VORh850Gen(Communication* comm, uint8_t frameAddress) : VOKesGen(comm, frameAddress) {}

VORh850Gen::~VORh850Gen() = default;

bool VORh850Gen::FlashData(const std::vector<uint8_t>& data, uint64_t address, uint64_t length, int*,
                           uint32_t pages, uint32_t pageSize) {
    return flashDataUnits(data, address, length, pages, pageSize, kDataFlashStart);
}

bool VORh850Gen::RequestDownload() {
    return progSessionRequestDownload();
}

bool VORh850Gen::ProgSessionHook() {
    return false;
}
