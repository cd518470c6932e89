#include "ecu/VONxpGen.h"

#include "ecu/CodeBlockGroups.h"

VONxpGen::VONxpGen(Communication* comm, uint8_t frameAddress) : VOKesGen(comm, frameAddress) {}

VONxpGen::~VONxpGen() = default;

uint8_t VONxpGen::GetBlockNumber(uint64_t address) {
    return codeGroupBlockNumber(address);
}

bool VONxpGen::InCodeBlockMap(uint64_t address) const {
    return inCodeBlockGroups(address);
}

std::optional<uint64_t> VONxpGen::CodeBlockAddress(uint8_t block) const {
    return codeGroupBlockAddress(block);
}

bool VONxpGen::RequestDownload() {
    return progSessionRequestDownload();
}

bool VONxpGen::ProgSessionHook() {
    return false;
}
