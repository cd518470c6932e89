#include "ecu/VOKesGen.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "comm/UtilTimeout.h"
#include "console/console.h"
#include "ecu/EcuPacketRequest.h"

using ecupacket::hexByte;
using ecupacket::low32;
using ecupacket::packetHeader;
using ecupacket::percentOf;

VOKesGen::VOKesGen(Communication* comm, uint8_t frameAddress) : VOEcuGenBase(comm, frameAddress) {}

VOKesGen::~VOKesGen() = default;

void VOKesGen::ShowProgress(uint32_t percent, bool done) {
    showProgressBar(percent, done);
}

uint8_t VOKesGen::GetBlockNumber(uint64_t address) {
    if (address >= kUpperAreaStart) {
        return static_cast<uint8_t>(kUpperFirstBlock |
                                    (((address - kUpperAreaStart) / kUpperBlockSize) % kUpperBlockCount));
    }
    // An address at the end of a region gets the number after the region's last block.
    uint64_t base = 0;
    uint64_t firstNumber = 0;
    for (const CodeBlockRegion& region : codeBlockRegions) {
        const uint64_t end = base + static_cast<uint64_t>(region.count) * region.blockSize;
        if (address <= end) {
            return static_cast<uint8_t>(firstNumber + (address - base) / region.blockSize);
        }
        base = end;
        firstNumber += region.count;
    }
    return 0x85;
}

bool VOKesGen::InCodeBlockMap(uint64_t address) const {
    uint64_t lowerEnd = 0;
    for (const CodeBlockRegion& region : codeBlockRegions) {
        lowerEnd += static_cast<uint64_t>(region.count) * region.blockSize;
    }
    return address < lowerEnd ||
           (address >= kUpperAreaStart && address < kUpperAreaStart + kUpperBlockCount * kUpperBlockSize);
}

unsigned VOKesGen::CodeAreaOf(uint64_t address) {
    return address < kUpperAreaStart ? 0 : 1;
}

bool VOKesGen::CheckCodeEraseRange(uint64_t startAddress, uint64_t length) {
    const uint64_t lastAddress = startAddress + length - 1;
    if (!InCodeBlockMap(startAddress)) {
        errorOut << "Incorrect start Addr.: 0x" << std::hex << startAddress << std::endl;
        return false;
    }
    if (!InCodeBlockMap(lastAddress)) {
        errorOut << "Incorrect data length: 0x" << std::hex << length << std::endl;
        return false;
    }
    if (CodeAreaOf(startAddress) != CodeAreaOf(lastAddress)) {
        errorOut << "Incorrect data length: 0x" << std::hex << length
                 << " (the range runs from one code flash area into the other)" << std::endl;
        return false;
    }
    const unsigned firstBlock = GetBlockNumber(startAddress);
    const unsigned lastBlock = GetBlockNumber(lastAddress);
    if (lastBlock < firstBlock) {
        errorOut << "Incorrect data length: 0x" << std::hex << length << std::endl;
        return false;
    }
    // The bootloader erases the block a number names to it: a number that names a block of the other
    // area would have that block erased instead of the range's own.
    const std::optional<uint64_t> firstNamed = CodeBlockAddress(static_cast<uint8_t>(firstBlock));
    std::optional<BlockRangeFault> fault;
    if (!firstNamed || CodeAreaOf(*firstNamed) != CodeAreaOf(startAddress)) {
        fault = BlockRangeFault{firstBlock, firstNamed.has_value()};
    } else {
        fault = FindCodeBlockRangeFault(static_cast<uint8_t>(firstBlock), static_cast<uint8_t>(lastBlock));
    }
    if (!fault) {
        return true;
    }
    if (fault->block == firstBlock) {
        errorOut << "Incorrect start Addr.: 0x" << std::hex << startAddress;
    } else {
        errorOut << "Incorrect data length: 0x" << std::hex << length;
    }
    errorOut << " (erase block number 0x" << fault->block << " (" << std::dec << fault->block << ")";
    if (fault->otherArea) {
        errorOut << " names the block at 0x" << std::hex
                 << *CodeBlockAddress(static_cast<uint8_t>(fault->block)) << " of the other code flash area)";
    } else {
        errorOut << " names no block)";
    }
    errorOut << std::endl;
    return false;
}

std::optional<uint64_t> VOKesGen::CodeBlockAddress(uint8_t block) const {
    uint64_t base = 0;
    unsigned firstNumber = 0;
    for (const CodeBlockRegion& region : codeBlockRegions) {
        if (block < firstNumber + region.count) {
            return base + static_cast<uint64_t>(block - firstNumber) * region.blockSize;
        }
        base += static_cast<uint64_t>(region.count) * region.blockSize;
        firstNumber += region.count;
    }
    // The numbers after the lower area's are the upper area's.
    return kUpperAreaStart + (block - kUpperFirstBlock) * kUpperBlockSize;
}

std::string VOKesGen::BlockRangeFault::text(uint8_t firstBlock) const {
    std::ostringstream out;
    out << "block " << block;
    if (otherArea) {
        out << " lies in another code flash area than block " << hexByte(firstBlock);
    } else {
        out << " is no block of the code flash";
    }
    return out.str();
}

std::optional<VOKesGen::BlockRangeFault> VOKesGen::FindCodeBlockRangeFault(uint8_t firstBlock,
                                                                           uint8_t lastBlock) const {
    const std::optional<uint64_t> first = CodeBlockAddress(firstBlock);
    if (!first) {
        return BlockRangeFault{firstBlock, false};
    }
    for (unsigned b = firstBlock; b <= lastBlock; ++b) {
        const std::optional<uint64_t> address = CodeBlockAddress(static_cast<uint8_t>(b));
        if (!address) {
            return BlockRangeFault{b, false};
        }
        if (CodeAreaOf(*address) != CodeAreaOf(*first)) {
            return BlockRangeFault{b, true};
        }
    }
    return std::nullopt;
}

bool VOKesGen::EraseCodeBlocks(uint8_t firstBlock, uint8_t lastBlock) {
    normalOut << std::dec << "    Block: " << hexByte(firstBlock) << " - " << hexByte(lastBlock) << std::endl
              << "    Erase: ";
    for (unsigned int b = firstBlock; b <= lastBlock; ++b) {
        const auto block = static_cast<uint8_t>(b);
        const std::vector<uint8_t> request = {0xBB, 0x72, block, block, 0x00, 0x00, 0x00};
        std::vector<uint8_t> reply;
        if (!transferToEcu(request, reply, 8)) {
            errorOut << std::endl << "NoResp. Erase CodeFlash-Error" << std::endl;
            errorOut << std::endl << "Erasing failed (KO) !!!" << std::endl;
            normalOut << std::endl;
            return false;
        }
        if (startsWith(reply, 0xFB)) {
            ShowProgress(firstBlock == lastBlock ? 100 : (b - firstBlock) * 100 / (lastBlock - firstBlock),
                         false);
            sleepMs(40);
            continue;
        }
        // The heading gives the blocks in decimal; so does every failure, after the hexadecimal.
        if (isNegative(reply)) {
            errorOut << std::endl
                     << "EraseCode, Block: 0x" << std::hex << b << " (" << std::dec << b << ")" << std::endl;
            if (reply.size() >= 3) {
                printNrcText(reply);
                errorOut << std::endl;
            }
            return false;
        }
        errorOut << std::endl
                 << "InvalidResp. (EraseCode), Block: 0x" << std::hex << b << " (" << std::dec << b << ")"
                 << ", Response: " << toHexString(reply) << std::endl;
        return false;
    }
    return true;
}

bool VOKesGen::EraseDataBlocks(uint16_t firstBlock, uint16_t count) {
    const uint32_t end = static_cast<uint32_t>(firstBlock) + count;
    normalOut << std::dec << "    Block: " << firstBlock << " - " << end << std::endl << "    Erase: ";
    const std::vector<uint8_t> request = {0xBB,
                                          0x82,
                                          static_cast<uint8_t>(firstBlock >> 8),
                                          static_cast<uint8_t>(firstBlock),
                                          static_cast<uint8_t>(end >> 8),
                                          static_cast<uint8_t>(end),
                                          0x00};
    std::vector<uint8_t> reply;
    if (!transferToEcu(request, reply, 8)) {
        errorOut << std::endl << "NoResp. Erase DataFlash-Error" << std::endl;
        errorOut << std::endl << "Erasing failed (KO) !!!" << std::endl << std::endl;
        return false;
    }
    if (startsWith(reply, 0xFB)) {
        ShowProgress(50, false);
        sleepMs(20);
        ShowProgress(100, false);
        return true;
    }
    // The texts say that the data flash was being erased, and give the units in the heading's decimal
    // too.
    if (isNegative(reply)) {
        errorOut << std::endl << "Erasing Data Blocks: 0x" << std::hex << firstBlock << " - 0x" << end;
    } else {
        errorOut << std::endl
                 << "InvalidResp. (EraseData), Block: 0x" << std::hex << firstBlock << " - 0x" << end;
    }
    errorOut << " (" << std::dec << firstBlock << " - " << end << ")";
    if (isNegative(reply)) {
        printNrcText(reply);
    }
    errorOut << std::endl << std::endl << "Erasing failed (KO) !!!" << std::endl << std::endl;
    return false;
}

bool VOKesGen::FlashCode(const std::vector<uint8_t>& data, uint64_t startAddress, uint64_t length, bool erase,
                         int*, uint32_t pages, uint32_t pageSize) const {
    // The erase, block and progress operations are the most-derived class's; none of them changes
    // anything in this object that FlashCode relies on.
    auto* self = const_cast<VOKesGen*>(this);
    // Whole pages: a length that ends inside a page would leave the rest of the page to the ECU.
    if (pageSize != 0 && length % pageSize != 0) {
        errorOut << "Incorrect data length: 0x" << std::hex << length << std::endl;
        return false;
    }
    if (!ecupacket::checkPacketWrite(data, startAddress, length, pages, pageSize, "Incorrect start Addr.: 0x",
                                     1, false)) {
        return false;
    }
    const uint64_t chunk = static_cast<uint64_t>(pages) * pageSize;
    if (!ecupacket::checkRequestLength(std::min(chunk, length), maxRequestLength())) {
        return false;
    }
    normalOut << std::hex << "\r    Addr:  0x" << startAddress << ", Length: 0x" << length << std::endl;
    if (erase) {
        if (!self->CheckCodeEraseRange(startAddress, length)) {
            return false;
        }
        const uint8_t firstBlock = self->GetBlockNumber(startAddress);
        const uint8_t lastBlock = self->GetBlockNumber(startAddress + length - 1);
        if (!self->EraseCodeBlocks(firstBlock, lastBlock)) {
            return false;
        }
        normalOut << std::endl;
    }
    normalOut << "    Write: ";
    for (uint64_t offset = 0, count = 0; offset < length; offset += count) {
        // The last request carries only the pages left.
        count = std::min(chunk, length - offset);
        const uint32_t address = low32(startAddress + offset);
        std::vector<uint8_t> request = packetHeader(0x70, address, static_cast<uint32_t>(count / pageSize));
        const auto first = data.begin() + static_cast<std::ptrdiff_t>(offset);
        ecupacket::appendBytes(request, first, first + static_cast<std::ptrdiff_t>(count));
        sleepMs(50);
        std::vector<uint8_t> reply;
        if (!transferToEcu(request, reply, 8)) {
            errorOut << std::endl << "NoResp(W_Code), Addr: 0x" << std::hex << address;
            errorOut << std::endl << std::endl << "Flashing failed (KO) !!!" << std::endl;
            return false;
        }
        if (reply.size() == 2 && reply[0] == 0xFB) {
            self->ShowProgress(percentOf(offset + count, length), false);
            continue;
        }
        if (isNegative(reply)) {
            errorOut << std::endl << "W_Code,Addr: 0x" << std::hex << address;
            if (reply.size() >= 3) {
                printNrcText(reply);
                errorOut << std::endl << std::endl << "Flashing failed (KO) !!!" << std::endl << std::endl;
            }
            return false;
        }
        errorOut << std::endl << "InvalidResp(W_Code), Addr: 0x" << std::hex << address;
        errorOut << std::endl << std::endl << "Flashing failed (KO) !!!" << std::endl << std::endl;
        return false;
    }
    self->ShowProgress(100, false);
    normalOut << std::endl;
    return true;
}

bool VOKesGen::FlashData(const std::vector<uint8_t>& data, uint64_t address, uint64_t length, int*,
                         uint32_t pages, uint32_t pageSize) {
    return flashDataUnits(data, address, length, pages, pageSize, 0);
}

bool VOKesGen::flashDataUnits(const std::vector<uint8_t>& data, uint64_t address, uint64_t length,
                              uint32_t pages, uint32_t pageSize, uint64_t unitBase) {
    if (pages == 0) {
        errorOut << std::endl << "Trying to flash zero pages!" << std::endl;
        return false;
    }
    if (!ecupacket::checkPageCount(pages)) {
        return false;
    }
    if (pageSize == 0) {
        errorOut << "Incorrect page size: 0x" << std::hex << pageSize << std::endl;
        return false;
    }
    if (length == 0) {
        errorOut << "Incorrect data length: 0x" << std::hex << length << std::endl;
        return false;
    }
    // Erase units are whole: an address inside a unit would leave the unit's first bytes unerased.
    // Below the first unit the unit number would wrap to the top units.
    if (address < unitBase || (address - unitBase) % kDataUnit != 0) {
        errorOut << "Incorrect start Addr.: 0x" << std::hex << address << std::endl;
        return false;
    }
    if (!ecupacket::checkAddressRange(address, length)) {
        return false;
    }
    const uint64_t chunk = static_cast<uint64_t>(pages) * pageSize;
    // A page that one message cannot carry would be erased and then not written.
    if (!ecupacket::checkRequestLength(std::min(chunk, length), maxRequestLength())) {
        return false;
    }
    if (data.size() < length) {
        errorOut << "Data shorter than the length: 0x" << std::hex << data.size() << std::endl;
        return false;
    }
    normalOut << std::hex << "\r    Addr:  0x" << address << ", Length: 0x" << length << std::endl;
    // The last unit is erased as a whole even when the range ends inside it.
    const auto firstUnit = static_cast<uint16_t>((address - unitBase) / kDataUnit);
    const auto endUnit = static_cast<uint16_t>((address - unitBase + length + kDataUnit - 1) / kDataUnit);
    if (!EraseDataBlocks(firstUnit, static_cast<uint16_t>(endUnit - firstUnit))) {
        return false;
    }
    sleepMs(1000);
    normalOut << std::endl << "    Write: ";
    for (uint64_t offset = 0, count = 0; offset < length; offset += count) {
        // A last packet past the length would write onto flash the erase above left as it was: the
        // last request carries the rest alone, in as many pages as it fills.
        count = std::min(chunk, length - offset);
        const uint32_t packetAddress = low32(address + offset);
        std::vector<uint8_t> request =
            packetHeader(0x80, packetAddress, static_cast<uint32_t>((count + pageSize - 1) / pageSize));
        const auto first = data.begin() + static_cast<std::ptrdiff_t>(offset);
        ecupacket::appendBytes(request, first, first + static_cast<std::ptrdiff_t>(count));
        std::vector<uint8_t> reply;
        if (!transferToEcu(request, reply, 8)) {
            errorOut << std::endl
                     << "NoResp(W_Data), Addr: 0x" << std::hex << packetAddress
                     << ", Response: " << toHexString(reply) << std::endl;
            return false;
        }
        if (reply.size() == 2 && reply[0] == 0xFB) {
            ShowProgress(percentOf(offset + count, length), false);
            sleepMs(50);
            continue;
        }
        if (isNegative(reply)) {
            errorOut << std::endl << "W_Data,Addr: 0x" << std::hex << packetAddress << std::endl;
            if (reply.size() >= 3) {
                printNrcText(reply);
                errorOut << std::endl;
            }
            return false;
        }
        errorOut << std::endl
                 << "InvalidResp(W_Data), Addr: 0x" << std::hex << packetAddress
                 << ", Response: " << toHexString(reply) << std::endl;
        return false;
    }
    ShowProgress(100, false);
    normalOut << std::endl;
    return true;
}

bool VOKesGen::ReadCode(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int*, uint32_t pages) {
    return readPackets(false, out, address, length, pages, static_cast<uint8_t>(pages), 50);
}

bool VOKesGen::ReadData(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int*, uint32_t pages) {
    return readPackets(true, out, address, length, pages, static_cast<uint8_t>(pages), 50);
}

bool VOKesGen::readPackets(bool dataFlash, std::vector<uint8_t>& out, uint64_t address, uint64_t length,
                           uint32_t pages, uint8_t pageByte, uint32_t waitMs) {
    if (!ecupacket::checkPacketRead(out.size(), address, length, pages, kReadPageSize)) {
        return false;
    }
    normalOut << std::hex << "\r    Addr:  0x" << address << ", Length: 0x" << length << std::endl
              << "\r    Read: ";
    return readInPackets({dataFlash, pageByte, waitMs, TextLayout::standard}, out, address, length, pages);
}

bool VOKesGen::UploadApplRam(const std::vector<uint8_t>& image, uint64_t address, uint64_t length,
                             uint64_t chunkSize) {
    return uploadRamImage(image, address, length, chunkSize, TextLayout::standard);
}

bool VOKesGen::StartApplRam(uint32_t address) {
    return startOrJump(0xBE, address);
}

bool VOKesGen::JumpApplRam(uint32_t address) {
    return startOrJump(0xBF, address);
}

bool VOKesGen::startOrJump(uint8_t service, uint32_t address) {
    std::vector<uint8_t> request = {service, 0x01};
    appendBigEndian32(request, address);
    normalOut << std::endl << "Start: 0x" << std::hex << address << std::endl;
    std::vector<uint8_t> reply;
    const bool ok = transferToEcu(request, reply, 8);
    if (ok && startsWith(reply, 0xFE)) {
        return true;
    }
    if (ok && isNegative(reply)) {
        if (reply.size() >= 3) {
            errorOut << std::endl << std::endl;
            printServiceNrc("Srv: 0x", reply, "-Incorrect FileCRC found)");
        } else {
            errorOut << std::endl
                     << "negative response or invalid response: " << toHexString(reply) << std::endl;
        }
        return false;
    }
    errorOut << std::endl << "Starting ApplRam failed (no response)! \n" << std::flush;
    return false;
}

bool VOKesGen::progSessionRequestDownload() {
    const std::vector<uint8_t> request = loginCodeRequest(0x34);
    if (!sendRequest(request)) {
        errorOut << " Error while sending RequestDownload request" << std::endl;
        return false;
    }
    std::vector<uint8_t> reply;
    if (!receiveAnswer(request, reply, 8)) {
        errorOut << ".... RequestDownload failed: No.Response !" << std::endl;
        return false;
    }
    if (startsWith(reply, 0x74)) {
        return true;
    }
    if (isNegative(reply)) {
        if (reply.size() >= 3) {
            printServiceNrc("Srv: 0x", reply);
        } else {
            errorOut << "NegResp/InvalidResponse: " << toHexString(reply) << std::endl;
        }
        return false;
    }
    errorOut << "Invalid Response: " << toHexString(reply) << std::endl;
    return false;
}

bool VOKesGen::SendCommand(const std::vector<uint8_t>& request) {
    if (request.empty()) {
        errorOut << "Sending Command: empty request, nothing sent" << std::endl;
        return false;
    }
    std::vector<uint8_t> reply;
    if (!transferToEcu(request, reply, 5000) || reply.empty()) {
        errorOut << "Sending Command: No.Response! Service: 0x" << std::hex << hexByte(request[0])
                 << std::endl;
        return false;
    }
    if (isNegative(reply)) {
        if (reply.size() >= 3) {
            printServiceNrc(" Srv:0x", reply);
        } else {
            errorOut << "negative response or invalid response: " << toHexString(reply) << std::endl;
        }
        return false;
    }
    if (static_cast<unsigned int>(reply[0]) == static_cast<unsigned int>(request[0]) + 0x40) {
        normalOut << "... succeeded." << std::endl;
        successOut << "        Rsp: " << std::dec << reply.size() << " bytes: " << toHexString(reply)
                   << std::endl;
        return true;
    }
    errorOut << "Invalid Response: " << toHexString(reply) << std::endl;
    return false;
}

bool VOKesGen::ReadOptionBytes(uint8_t index, uint32_t* value) {
    if (value == nullptr) {
        return false;
    }
    const std::vector<uint8_t> request = {0xBB, 0x92, index};
    std::vector<uint8_t> reply;
    if (!transferToEcu(request, reply, 6)) {
        errorOut << "NoResp(ReadOptionBytes)" << std::endl;
        return false;
    }
    if (reply.size() == 6) {
        *value = static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
                 static_cast<uint32_t>(reply[4]) << 8 | static_cast<uint32_t>(reply[5]);
        return true;
    }
    if (isNegative(reply) && reply.size() >= 3) {
        printNrcText(reply);
        errorOut << std::endl;
        return false;
    }
    errorOut << "InvalidResponse(ReadOptionBytes): " << toHexString(reply) << std::endl;
    return false;
}

bool VOKesGen::WriteOptionBytes(uint8_t index, uint32_t* value) {
    if (value == nullptr) {
        return false;
    }
    std::vector<uint8_t> request = {0xBB, 0x91, index};
    appendBigEndian32(request, *value);
    normalOut << "   0x" << std::hex << *value << std::endl;
    std::vector<uint8_t> reply;
    if (!transferToEcu(request, reply, 6)) {
        errorOut << "NoResp(ReadOptionBytes)" << std::endl;
        return false;
    }
    if (reply.size() >= 2 && reply[0] == 0xFB && reply[1] == 0x91) {
        return true;
    }
    if (isNegative(reply) && reply.size() >= 3) {
        printNrcText(reply);
        errorOut << std::endl;
        return false;
    }
    errorOut << "InvalidResponse(ReadOptionBytes):" << toHexString(reply) << std::endl;
    return false;
}
