#include "hexfile/IntelHexOutFile.h"

#include <algorithm>
#include <iostream>
#include <vector>

#include "hexfile/HexText.h"

namespace Io::Export {

namespace {

constexpr uint32_t minimumRecordLength = 1;
constexpr uint32_t maximumRecordLength = 255;
constexpr uint64_t segmentLimit = 0x100000;   // first address that segment addressing cannot reach
constexpr uint64_t linearLimit = 0xFFFFFFFF;  // last address that linear addressing reaches

}  // namespace

IntelHexOutFile::IntelHexOutFile(const char* fileName, OutputStyle outputStyle)
    : TextOutFile(fileName),
      recordCodes{{enumRecordType::recordData, {0x00, "00"}},
                  {enumRecordType::recordEndOfFile, {0x01, "01"}},
                  {enumRecordType::recordExtendedSegmentAddress, {0x02, "02"}},
                  {enumRecordType::recordStartSegmentAddress, {0x03, "03"}},
                  {enumRecordType::recordExtendedLinearAddress, {0x04, "04"}},
                  {enumRecordType::recordStartLinearAddress, {0x05, "05"}}},
      outputStyle(outputStyle) {
    const uint32_t length = this->outputStyle.dataRecordLength;
    if (length < minimumRecordLength || length > maximumRecordLength) {
        const bool tooSmall = length < minimumRecordLength;
        const uint32_t limit = tooSmall ? minimumRecordLength : maximumRecordLength;
        std::cout << "IntelHexOutFile(Constructor-Operation). outputStyle.dataRecordLength was :" << length
                  << std::endl;
        std::cout << (tooSmall ? "The allowed minimum have to be " : "The allowed maximum have to be ")
                  << limit << ", so the value was reset to " << limit << std::endl;
        this->outputStyle.dataRecordLength = limit;
    }
    recordBytes.reserve(4 + maximumRecordLength);
}

IntelHexOutFile::~IntelHexOutFile() = default;

void IntelHexOutFile::insertMemoryBuffer(const Buffer::MemoryBuffer& memoryBuffer) {
    const unsigned shift = outputStyle.segmentAddressing ? 4 : 16;
    if (memoryBuffer.getLength() == 0) {
        return;
    }
    std::vector<Piece> cut;
    uint64_t address = memoryBuffer.getStartAddress();
    uint64_t left = memoryBuffer.getLength();
    uint64_t first = 0;
    try {
        while (left > 0) {
            const uint64_t windowBase = address >> shift;
            const uint64_t offset = address - (windowBase << shift);
            const uint64_t chunk = std::min<uint64_t>(left, 0x10000 - offset);
            cut.push_back({images.size(), address, first, chunk});
            address += chunk;
            first += chunk;
            left -= chunk;
        }
        pieces.reserve(pieces.size() + cut.size());
        images.emplace_back(memoryBuffer);
    } catch (const std::bad_alloc&) {
        reportUnheldImage("IntelHexOutFile");
        imageLeftOut = true;
        return;
    }
    pieces.insert(pieces.end(), cut.begin(), cut.end());
}

void IntelHexOutFile::setStartAddress(uint64_t value) {
    hasStartAddress = true;
    startAddress = value;
}

bool IntelHexOutFile::isAddressable(uint64_t address, const char* operation, const char* what) const {
    const bool segment = outputStyle.segmentAddressing;
    if (segment ? address < segmentLimit : address <= linearLimit) {
        return true;
    }
    std::cout << "IntelHexOutFile(" << operation << "-Operation). " << what << " int (" << address
              << ") is not addressable with" << std::endl;
    std::cout << (segment ? "SegmentAddressing" : "LinearAddressing") << ". Nothing was written in file ("
              << fileName << ")!" << std::endl;
    return false;
}

IntelHexOutFile::OffsetInformation IntelHexOutFile::setOffsetInformation(uint64_t address) const {
    OffsetInformation information;
    information.address = address;
    if (!isAddressable(address, "setOffsetInformation", "StartAddress")) {
        return information;
    }
    const unsigned shift = outputStyle.segmentAddressing ? 4 : 16;
    information.base = address >> shift;
    information.offset = address - (information.base << shift);
    information.recordType = outputStyle.segmentAddressing ? enumRecordType::recordExtendedSegmentAddress
                                                           : enumRecordType::recordExtendedLinearAddress;
    information.valid = true;
    return information;
}

bool IntelHexOutFile::isStartAddressWritable() const {
    return !hasStartAddress || isAddressable(startAddress, "writeFile", "The execution start address");
}

void IntelHexOutFile::getStringRepresentationFor(std::string& text, uint16_t address,
                                                 enumRecordType recordType, const uint8_t* data,
                                                 std::size_t length) {
    recordBytes.clear();
    recordBytes.push_back(static_cast<uint8_t>(length));
    recordBytes.push_back(static_cast<uint8_t>(address >> 8));
    recordBytes.push_back(static_cast<uint8_t>(address & 0xFF));
    recordBytes.push_back(recordCodes.at(recordType).first);
    recordBytes.insert(recordBytes.end(), data, data + length);
    const uint8_t checksum = calcTwosComplementSum8(recordBytes, 0);
    text += ':';
    for (const uint8_t byte : recordBytes) {
        toHexByteString(text, byte);
    }
    toHexByteString(text, checksum);
    text += '\n';
}

void IntelHexOutFile::writeFile() {
    writeHeld(!imageLeftOut, [this] { writeRecords(); });
}

void IntelHexOutFile::writeRecords() {
    // Every piece and the start address must be writable before the file is touched at all.
    std::vector<OffsetInformation> offsets;
    offsets.reserve(pieces.size());
    for (const Piece& piece : pieces) {
        offsets.push_back(setOffsetInformation(piece.address));
        if (!offsets.back().valid) {
            return;
        }
    }
    if (!isStartAddressWritable()) {
        return;
    }

    Replacement file(fileName);
    std::string& text = file.buffer();
    const std::size_t recordLength = outputStyle.dataRecordLength;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        const OffsetInformation& information = offsets[p];
        const uint8_t base[] = {static_cast<uint8_t>(information.base >> 8),
                                static_cast<uint8_t>(information.base & 0xFF)};
        getStringRepresentationFor(text, 0, information.recordType, base, sizeof base);
        const uint8_t* bytes = images[pieces[p].image].bytes.data() + pieces[p].first;
        const uint64_t count = pieces[p].count;
        for (uint64_t k = 0; k < count; k += recordLength) {
            const std::size_t length = std::min<uint64_t>(recordLength, count - k);
            getStringRepresentationFor(text, static_cast<uint16_t>(information.offset + k),
                                       enumRecordType::recordData, bytes + k, length);
            file.flushIfFull();
        }
    }
    if (hasStartAddress) {
        if (outputStyle.segmentAddressing) {
            const uint64_t cs = startAddress >> 4;
            const uint64_t ip = startAddress & 0xF;
            const uint8_t value[] = {static_cast<uint8_t>(cs >> 8), static_cast<uint8_t>(cs & 0xFF),
                                     static_cast<uint8_t>(ip >> 8), static_cast<uint8_t>(ip & 0xFF)};
            getStringRepresentationFor(text, 0, enumRecordType::recordStartSegmentAddress, value,
                                       sizeof value);
        } else {
            const uint8_t value[] = {
                static_cast<uint8_t>(startAddress >> 24), static_cast<uint8_t>(startAddress >> 16),
                static_cast<uint8_t>(startAddress >> 8), static_cast<uint8_t>(startAddress & 0xFF)};
            getStringRepresentationFor(text, 0, enumRecordType::recordStartLinearAddress, value,
                                       sizeof value);
        }
    }
    text += ":00000001FF\n";
    file.commit();
}

}  // namespace Io::Export
