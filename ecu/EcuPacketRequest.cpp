#include "ecu/EcuPacketRequest.h"

#include <ostream>

#include "console/console.h"

namespace ecupacket {

bool checkPageCount(uint32_t pages) {
    if (pages > kMaxPages) {
        errorOut << "Incorrect number of pages: " << std::dec << pages << std::endl;
        return false;
    }
    return true;
}

bool checkAddressRange(uint64_t address, uint64_t length, const char* startText) {
    if (address >= kAddressSpace) {
        errorOut << startText << std::hex << address << std::endl;
        return false;
    }
    if (length > kAddressSpace - address) {
        errorOut << "Incorrect data length: 0x" << std::hex << length << std::endl;
        return false;
    }
    return true;
}

namespace {

// A length that is a non-zero multiple of pages x pageSize.
bool checkPacketLength(uint64_t length, uint32_t pages, uint32_t pageSize) {
    const uint64_t packet = static_cast<uint64_t>(pages) * pageSize;
    if (length == 0 || packet == 0 || length % packet != 0) {
        errorOut << "Incorrect data length: 0x" << std::hex << length << std::endl;
        return false;
    }
    return true;
}

}  // namespace

bool checkPacketWrite(const std::vector<uint8_t>& data, uint64_t startAddress, uint64_t length,
                      uint32_t pages, uint32_t pageSize, const char* startText, uint64_t startUnit) {
    if (!checkPageCount(pages) || !checkPacketLength(length, pages, pageSize)) {
        return false;
    }
    if (startAddress % pageSize != 0 || startAddress % startUnit != 0) {
        errorOut << startText << std::hex << startAddress << std::endl;
        return false;
    }
    if (!checkAddressRange(startAddress, length, startText)) {
        return false;
    }
    if (data.size() < length) {
        errorOut << "Data shorter than the length: 0x" << std::hex << data.size() << std::endl;
        return false;
    }
    return true;
}

bool checkPacketRead(std::size_t outSize, uint64_t address, uint64_t length, uint32_t pages,
                     uint32_t pageSize) {
    if (!checkPageCount(pages) || !checkPacketLength(length, pages, pageSize) ||
        !checkAddressRange(address, length)) {
        return false;
    }
    if (outSize < length) {
        errorOut << "Output buffer shorter than the length: 0x" << std::hex << outSize << std::endl;
        return false;
    }
    return true;
}

}  // namespace ecupacket
