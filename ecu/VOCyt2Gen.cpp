#include "ecu/VOCyt2Gen.h"

#include <ostream>

#include "console/console.h"
#include "ecu/CodeBlockGroups.h"
#include "ecu/EcuPacketRequest.h"

namespace {

constexpr uint32_t kCodeReadWaitMs = 500;
constexpr uint32_t kDataReadWaitMs = 50;

}  // namespace

VOCyt2Gen::VOCyt2Gen(Communication* comm, uint8_t frameAddress) : VOKesGen(comm, frameAddress) {}

VOCyt2Gen::~VOCyt2Gen() = default;

uint8_t VOCyt2Gen::GetBlockNumber(uint64_t address) {
    return codeGroupBlockNumber(address);
}

bool VOCyt2Gen::InCodeBlockMap(uint64_t address) const {
    return inCodeBlockGroups(address);
}

std::optional<uint64_t> VOCyt2Gen::CodeBlockAddress(uint8_t block) const {
    return codeGroupBlockAddress(block);
}

bool VOCyt2Gen::ReadCode(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int*,
                         uint32_t packetBytes) {
    // A packet of 0 bytes would never move the read on.
    if (packetBytes == 0) {
        errorOut << "Incorrect number of pages: 0" << std::endl;
        return false;
    }
    if (packetBytes % kReadPageSize != 0) {
        errorOut << "invalid packet length provided. --pktlen should be multiple of 0x100." << std::flush;
        return false;
    }
    const uint32_t pages = packetBytes / kReadPageSize;
    if (!ecupacket::checkPageCount(pages)) {
        return false;
    }
    if (length % kReadPageSize != 0) {
        errorOut << "invalid length provided. --codeLength should be multiple of 0x100." << std::flush;
        return false;
    }
    // A last packet past the length would read more than out holds.
    if (length % packetBytes != 0) {
        errorOut << "Incorrect data length: 0x" << std::hex << length
                 << " (not a multiple of the packet length 0x" << packetBytes << ")" << std::endl;
        return false;
    }
    if (length == 0) {
        normalOut << std::hex << "\r    Addr:  0x" << address << ", Length: 0x" << length << std::endl
                  << "\r    Read: ";
        ShowProgress(100, false);
        normalOut << std::endl;
        return true;
    }
    return readPackets(false, out, address, length, pages, static_cast<uint8_t>(pages), kCodeReadWaitMs);
}

bool VOCyt2Gen::ReadData(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int*, uint32_t pages) {
    return readPackets(true, out, address, length, pages, 0x00, kDataReadWaitMs);
}

bool VOCyt2Gen::RequestDownload() {
    return progSessionRequestDownload();
}

bool VOCyt2Gen::ProgSessionHook() {
    return false;
}
