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

}  // namespace ecupacket
