#include "ecu/EcuPacketRequest.h"

#include <ostream>

#include "app/console/console.h"

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

bool checkCodeWrite(const std::vector<uint8_t>& data, uint64_t startAddress, uint64_t length, uint32_t pages,
                    uint32_t pageSize) {
    if (!checkPageCount(pages)) {
        return false;
    }
    const uint64_t chunk = static_cast<uint64_t>(pages) * pageSize;
    if (length == 0 || chunk == 0 || length % chunk != 0) {
        errorOut << "Incorrect data length: 0x" << std::hex << length << std::endl;
        return false;
    }
    if (startAddress % pageSize != 0) {
        errorOut << "Incorrect start Addr.: 0x" << std::hex << startAddress << std::endl;
        return false;
    }
    if (!checkAddressRange(startAddress, length)) {
        return false;
    }
    if (data.size() < length) {
        errorOut << "Data shorter than the length: 0x" << std::hex << data.size() << std::endl;
        return false;
    }
    return true;
}

}  // namespace ecupacket
