#include "ecu/EcuPacketRequest.h"

#include <ostream>

#include "console/console.h"

namespace ecupacket {

namespace {

void refuse(const BeforeRefusal& before) {
    if (before) {
        before();
    }
}

}  // namespace

bool checkPageCount(uint32_t pages, const BeforeRefusal& before) {
    if (pages > kMaxPages) {
        refuse(before);
        errorOut << "Incorrect number of pages: " << std::dec << pages << std::endl;
        return false;
    }
    return true;
}

bool checkAddressRange(uint64_t address, uint64_t length, const char* startText,
                       const BeforeRefusal& before) {
    if (address >= kAddressSpace) {
        refuse(before);
        errorOut << startText << std::hex << address << std::endl;
        return false;
    }
    if (length > kAddressSpace - address) {
        refuse(before);
        errorOut << "Incorrect data length: 0x" << std::hex << length << std::endl;
        return false;
    }
    return true;
}

bool checkRequestLength(uint64_t dataBytes, uint64_t maxRequest, const BeforeRefusal& before) {
    if (!fitsOneMessage(dataBytes, maxRequest)) {
        refuse(before);
        errorOut << "Request too long: 0x" << std::hex << kPacketHeaderLength + dataBytes
                 << " bytes (one message carries 0x" << maxRequest << " bytes at most)" << std::endl;
        return false;
    }
    return true;
}

namespace {

// A non-zero length and packet; with wholePackets, a length that is a multiple of pages x pageSize.
bool checkPacketLength(uint64_t length, uint32_t pages, uint32_t pageSize, bool wholePackets,
                       const BeforeRefusal& before) {
    const uint64_t packet = static_cast<uint64_t>(pages) * pageSize;
    if (length == 0 || packet == 0 || (wholePackets && length % packet != 0)) {
        refuse(before);
        errorOut << "Incorrect data length: 0x" << std::hex << length << std::endl;
        return false;
    }
    return true;
}

}  // namespace

bool checkPacketWrite(const std::vector<uint8_t>& data, uint64_t startAddress, uint64_t length,
                      uint32_t pages, uint32_t pageSize, const char* startText, uint64_t startUnit,
                      bool wholePackets, const BeforeRefusal& before) {
    if (!checkPageCount(pages, before) || !checkPacketLength(length, pages, pageSize, wholePackets, before)) {
        return false;
    }
    if (startAddress % pageSize != 0 || startAddress % startUnit != 0) {
        refuse(before);
        errorOut << startText << std::hex << startAddress << std::endl;
        return false;
    }
    if (!checkAddressRange(startAddress, length, startText, before)) {
        return false;
    }
    if (data.size() < length) {
        refuse(before);
        errorOut << "Data shorter than the length: 0x" << std::hex << data.size() << std::endl;
        return false;
    }
    return true;
}

bool checkPacketRead(std::size_t outSize, uint64_t address, uint64_t length, uint32_t pages,
                     uint32_t pageSize, const BeforeRefusal& before) {
    if (!checkPageCount(pages, before) || !checkPacketLength(length, pages, pageSize, true, before) ||
        !checkAddressRange(address, length, "Incorrect start Addr.: 0x", before)) {
        return false;
    }
    if (outSize < length) {
        refuse(before);
        errorOut << "Output buffer shorter than the length: 0x" << std::hex << outSize << std::endl;
        return false;
    }
    return true;
}

}  // namespace ecupacket
