#include "ecu/VODroGen.h"

#include <algorithm>
#include <ostream>

#include "comm/UtilTimeout.h"
#include "console/console.h"
#include "ecu/EcuPacketRequest.h"

using ecupacket::hexByte;
using ecupacket::low32;
using ecupacket::packetHeader;
using ecupacket::percentOf;

namespace {

bool isPositiveWrite(const std::vector<uint8_t>& reply) {
    return reply.size() == 2 && reply[0] == 0xFB;
}

// A refused call: the progress bar is closed, then the parts make one line on errorOut.
template <typename... Parts>
bool refuse(VODroGen& ecu, const Parts&... parts) {
    ecu.ShowProgress(100, true);
    (errorOut << ... << parts) << std::endl;
    return false;
}

// An area of the code flash that the blocks firstBlock to lastBlock erase; end inclusive.
struct EraseArea {
    uint32_t start;
    uint32_t end;
    uint8_t firstBlock;
    uint8_t lastBlock;
};

// The KES2 code flash: the boot area, then the application area of blocks 1 to 3.
constexpr EraseArea kKes2Areas[] = {{0x0, 0x7FFF, 0, 0}, {0x8000, 0x7FFFF, 1, 3}};

// The erase areas of the code flash that holds address: KES2 below the DRO block table.
std::vector<EraseArea> eraseAreasFor(uint64_t address) {
    if (address < VODroGen::flashBlocks[0].start) {
        return {std::begin(kKes2Areas), std::end(kKes2Areas)};
    }
    std::vector<EraseArea> areas;
    for (uint8_t b = 0; b < VODroGen::kBlockCount; ++b) {
        areas.push_back({VODroGen::flashBlocks[b].start, VODroGen::flashBlocks[b].end, b, b});
    }
    return areas;
}

}  // namespace

VODroGen::VODroGen(Communication* comm, uint8_t frameAddress) : VOEcuGenBase(comm, frameAddress) {}

VODroGen::~VODroGen() = default;

void VODroGen::ShowProgress(uint32_t percent, bool done) {
    showProgressBar(percent, done);
}

bool VODroGen::FlashCode(const std::vector<uint8_t>& data, uint64_t startAddress, uint64_t length, bool,
                         int* mode, uint32_t pages, uint32_t pageSize) const {
    auto* self = const_cast<VODroGen*>(this);
    if (mode == nullptr || *mode == -1) {
        return false;
    }
    if (!ecupacket::checkPacketWrite(data, startAddress, length, pages, pageSize, "Incorrect start Addr.: 0x",
                                     1, false, [self] { self->ShowProgress(100, true); })) {
        return false;
    }
    // Every request carries pages x 256 bytes whatever the page size.
    if (pageSize != kPageSize) {
        return refuse(*self, "Incorrect page size: 0x", std::hex, pageSize);
    }
    const uint64_t lastAddress = startAddress + length - 1;
    const std::vector<EraseArea> areas = eraseAreasFor(startAddress);
    // The area the range begins in is erased whole, its bytes before the range included: left
    // unerased, the data would go onto flash that is not erased.
    const auto first = std::find_if(areas.begin(), areas.end(), [&](const EraseArea& a) {
        return a.start <= startAddress && startAddress <= a.end;
    });
    if (first == areas.end()) {
        return refuse(*self, "Incorrect start Addr.: 0x", std::hex, startAddress);
    }
    const auto last =
        std::find_if(first, areas.end(), [&](const EraseArea& a) { return a.end >= lastAddress; });
    if (last == areas.end()) {
        return refuse(*self, "Incorrect data length: 0x", std::hex, length);
    }
    if (!eraseBlocksDownward(first->firstBlock, last->lastBlock)) {
        return false;
    }
    const uint64_t packet = static_cast<uint64_t>(pages) * kPageSize;
    for (uint64_t offset = 0; offset < length;) {
        const uint32_t address = low32(startAddress + offset);
        // The last request: the pages left, the bytes after the range's end FF (erased flash).
        const uint64_t taken = std::min(packet, length - offset);
        const uint64_t sent = (taken + kPageSize - 1) / kPageSize * kPageSize;
        std::vector<uint8_t> request = packetHeader(0x70, address, static_cast<uint32_t>(sent / kPageSize));
        const auto from = data.begin() + static_cast<std::ptrdiff_t>(offset);
        ecupacket::appendBytes(request, from, from + static_cast<std::ptrdiff_t>(taken));
        request.resize(request.size() + (sent - taken), 0xFF);
        sleepMs(50);
        std::vector<uint8_t> reply;
        const bool answered = transferToEcu(request, reply, 8);
        if (answered && isPositiveWrite(reply)) {
            offset += taken;
            self->ShowProgress(percentOf(offset, length), false);
            continue;
        }
        self->ShowProgress(100, true);
        if (!answered) {
            errorOut << "NoResp(W_Code), Addr: 0x" << std::hex << address << std::endl;
        } else if (!isNegative(reply)) {
            errorOut << "InvalidResp(W_Code), Addr: 0x" << std::hex << address << std::endl;
        } else {
            errorOut << "W_Code,Addr: 0x" << std::hex << address;
            printNrcText(reply);
            normalOut << std::endl;
        }
        return false;
    }
    self->ShowProgress(100, false);
    normalOut << std::endl;
    return true;
}

bool VODroGen::eraseBlocksDownward(unsigned int first, unsigned int last) const {
    auto* self = const_cast<VODroGen*>(this);
    // Counted from last + 1 so that the loop ends after block first, block 0 included.
    for (unsigned int next = last + 1; next > first; --next) {
        const auto block = static_cast<uint8_t>(next - 1);
        const std::vector<uint8_t> request = {0xBB, 0x72, block, block, 0x00, 0x00, 0x00};
        std::vector<uint8_t> reply;
        const bool answered = transferToEcu(request, reply, 8);
        if (answered && startsWith(reply, 0xFB)) {
            continue;
        }
        self->ShowProgress(100, true);
        if (!answered) {
            errorOut << "NoResp. Erase CodeFlash-Error" << std::endl
                     << std::endl
                     << "Erasing failed (KO) !!!" << std::endl;
        } else if (!isNegative(reply)) {
            errorOut << "InvalidResp. (EraseCode), Block: 0x" << std::hex << hexByte(block);
        } else {
            errorOut << "EraseCode, Block: 0x" << std::hex << hexByte(block);
            printNrcText(reply);
        }
        normalOut << std::endl;
        return false;
    }
    return true;
}

bool VODroGen::FlashData(const std::vector<uint8_t>& data, uint64_t address, uint64_t length, int*,
                         uint32_t pages, uint32_t pageSize) {
    // Erase units are whole: an address inside a unit would leave the unit's first bytes unerased.
    if (!ecupacket::checkPacketWrite(data, address, length, pages, pageSize, "Incorrect startAddr.: 0x",
                                     kDataUnit, false, [this] { ShowProgress(100, true); })) {
        return false;
    }
    const uint64_t chunk = static_cast<uint64_t>(pages) * pageSize;
    // The last unit is erased as a whole even when the range ends inside it. The first unit and the
    // count travel in 16 bits each: a range they cannot name would be erased only in part.
    const uint64_t unitsEnd = (address + length + kDataUnit - 1) / kDataUnit;
    if (address / kDataUnit > kMaxDataUnits) {
        return refuse(*this, "Incorrect startAddr.: 0x", std::hex, address);
    }
    if (unitsEnd - address / kDataUnit > kMaxDataUnits) {
        return refuse(*this, "Incorrect data length: 0x", std::hex, length);
    }
    const auto firstUnit = static_cast<uint16_t>(address / kDataUnit);
    const auto count = static_cast<uint16_t>(unitsEnd - address / kDataUnit);
    const std::vector<uint8_t> erase = {0xBB,
                                        0x82,
                                        static_cast<uint8_t>(firstUnit >> 8),
                                        static_cast<uint8_t>(firstUnit),
                                        static_cast<uint8_t>(count >> 8),
                                        static_cast<uint8_t>(count),
                                        0x00};
    std::vector<uint8_t> reply;
    const bool erased = transferToEcu(erase, reply, 8);
    if (!erased || !startsWith(reply, 0xFB)) {
        ShowProgress(100, true);
        if (!erased) {
            errorOut << "NoResp. Erase DataFlash-Error" << std::endl
                     << std::endl
                     << "Erasing failed (KO) !!!" << std::endl
                     << std::endl;
        } else if (!isNegative(reply)) {
            errorOut << "InvalidResp(Erase), EepromUnit: 0x" << std::hex << firstUnit << std::endl;
        } else {
            errorOut << "Erase,EepromUnit: 0x" << std::hex << firstUnit;
            printNrcText(reply);
            normalOut << std::endl;
        }
        return false;
    }
    sleepMs(1000);
    for (uint64_t offset = 0; offset < length;) {
        const uint32_t packetAddress = low32(address + offset);
        // Whole packets, then the whole pages left, then the bytes left below a page, which must not
        // be padded past the units erased.
        const uint64_t left = length - offset;
        const uint64_t taken = left >= chunk ? chunk : left >= pageSize ? left / pageSize * pageSize : left;
        std::vector<uint8_t> request =
            packetHeader(0x80, packetAddress, static_cast<uint32_t>(taken / pageSize));
        const auto from = data.begin() + static_cast<std::ptrdiff_t>(offset);
        ecupacket::appendBytes(request, from, from + static_cast<std::ptrdiff_t>(taken));
        reply.clear();
        const bool answered = transferToEcu(request, reply, 8);
        if (answered && isPositiveWrite(reply)) {
            offset += taken;
            ShowProgress(percentOf(offset, length), false);
            sleepMs(50);
            continue;
        }
        ShowProgress(100, true);
        if (!answered) {
            errorOut << "NoResp(W_Data), Addr: 0x" << std::hex << packetAddress;
        } else if (!isNegative(reply)) {
            errorOut << "InvalidResp(W_Data), Addr: 0x" << std::hex << packetAddress;
        } else {
            errorOut << "W_Data,Addr: 0x" << std::hex << packetAddress;
            printNrcText(reply);
        }
        normalOut << std::endl;
        return false;
    }
    ShowProgress(100, false);
    normalOut << std::endl;
    return true;
}

bool VODroGen::ReadCode(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int*, uint32_t pages) {
    return readPackets(false, out, address, length, pages);
}

bool VODroGen::ReadData(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int*, uint32_t pages) {
    return readPackets(true, out, address, length, pages);
}

bool VODroGen::readPackets(bool dataFlash, std::vector<uint8_t>& out, uint64_t address, uint64_t length,
                           uint32_t pages) {
    if (!ecupacket::checkPacketRead(out.size(), address, length, pages, kReadPageSize,
                                    [this] { ShowProgress(100, true); })) {
        return false;
    }
    return readInPackets({dataFlash, static_cast<uint8_t>(pages), 50, TextLayout::kes2Dro}, out, address,
                         length, pages);
}

bool VODroGen::UploadApplRam(const std::vector<uint8_t>& image, uint64_t address, uint64_t length,
                             uint64_t chunkSize) {
    return uploadRamImage(image, address, length, chunkSize, TextLayout::kes2Dro);
}

bool VODroGen::StartApplRam(uint32_t address) {
    std::vector<uint8_t> request = {0xBE, 0x01};
    appendBigEndian32(request, address);
    std::vector<uint8_t> reply;
    const bool answered = transferToEcu(request, reply, 8);
    if (answered && startsWith(reply, 0xFE)) {
        normalOut << std::endl;
        return true;
    }
    if (answered && isNegative(reply)) {
        if (reply.size() >= 3) {
            printServiceNrc("Srv: 0x", reply, "-Incorrect FileCRC found)");
        } else {
            errorOut << "Negative response or invalid response: " << toHexString(reply) << std::endl;
        }
        return false;
    }
    errorOut << "Staring ApplRam failed (no response)! \n" << std::flush;
    return false;
}

bool VODroGen::SendCommand(const std::vector<uint8_t>& request) {
    if (request.empty()) {
        errorOut << "Sending Command: empty request, nothing sent" << std::endl;
        return false;
    }
    std::vector<uint8_t> reply;
    const bool answered = transferToEcu(request, reply, 5000);
    setCursorColumn(32);
    if (!answered || reply.empty()) {
        errorOut << "Sending Command: No.Response! Service: 0x" << std::hex << hexByte(request[0])
                 << std::endl;
        return false;
    }
    if (isNegative(reply)) {
        if (reply.size() >= 3) {
            errorOut << " Srv:0x" << std::hex << hexByte(reply[1]) << " NRC:0x" << hexByte(reply[2]) << " ("
                     << NrcToText(reply[2]) << ")" << std::endl;
        } else {
            errorOut << "Negative response or invalid response: " << toHexString(reply) << std::endl;
        }
        return false;
    }
    if (static_cast<unsigned int>(reply[0]) == static_cast<unsigned int>(request[0]) + 0x40) {
        normalOut << "... succeeded." << std::endl;
        // The length in successOut's current base: decimal, or hexadecimal after a passed CRC check.
        successOut << "        Response: " << reply.size() << " bytes: " << toHexString(reply) << std::endl;
        return true;
    }
    errorOut << "Invalid Response: " << toHexString(reply) << std::endl;
    return false;
}
