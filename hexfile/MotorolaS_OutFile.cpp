#include "hexfile/MotorolaS_OutFile.h"

#include <algorithm>
#include <iostream>

#include "hexfile/HexText.h"

namespace Io::Export {

namespace {

using RecordType = Io::Import::MotorolaS_InFile::enumRecordType;

constexpr uint32_t minimumRecordSize = 21;
constexpr uint32_t maximumRecordSize = 119;
constexpr uint64_t addressLimit = 0x100000000;  // an image must start below it and end at or below it
constexpr std::size_t moduleNameLength = 10;
// The number of data records from which a file has a count record.
constexpr uint64_t countedFrom = 65535;
// The count byte covers 2 address bytes, the data and the checksum.
constexpr std::size_t maximumHeaderData = 255 - 2 - 1;

// Number of bytes the value needs, at least one.
uint32_t bytesNeeded(uint64_t value) {
    uint32_t bytes = 1;
    while (bytes < 8 && (value >> (8 * bytes)) != 0) {
        ++bytes;
    }
    return bytes;
}

char typeDigit(RecordType recordType) {
    switch (recordType) {
        case RecordType::recordS0:
            return '0';
        case RecordType::recordS1:
            return '1';
        case RecordType::recordS2:
            return '2';
        case RecordType::recordS3:
            return '3';
        case RecordType::recordS5:
            return '5';
        case RecordType::recordS6:
            return '6';
        case RecordType::recordS7:
            return '7';
        case RecordType::recordS8:
            return '8';
        case RecordType::recordS9:
            return '9';
        case RecordType::recordOther:
            break;
    }
    return '4';
}

}  // namespace

MotorolaS_OutFile::MotorolaS_OutFile(const char* fileName, const OutputStyle& outputStyle)
    : TextOutFile(fileName), outputStyle(outputStyle) {
    OutputStyle& style = this->outputStyle;
    if (style.maximumRecordSize < minimumRecordSize || style.maximumRecordSize > maximumRecordSize) {
        const bool tooSmall = style.maximumRecordSize < minimumRecordSize;
        const uint32_t limit = tooSmall ? minimumRecordSize : maximumRecordSize;
        std::cout << "MotorolaS_OutFile(Constructor-Operation). outputStyle.maximumRecordSize was :"
                  << style.maximumRecordSize << std::endl;
        std::cout << (tooSmall ? "The allowed minimum have to be (int)"
                               : "The allowed maximum have to be (int)")
                  << limit << ", so the value was reset to (int) " << limit << std::endl;
        style.maximumRecordSize = limit;
    }
    if (style.moduleName.size() < moduleNameLength) {
        style.moduleName.insert(0, moduleNameLength - style.moduleName.size(), ' ');
    }
    // The header's count byte must hold name, version, revision and description: the description is
    // cut first, then the name.
    if (style.moduleName.size() + 2 + style.description.size() > maximumHeaderData) {
        style.moduleName.resize(std::min(style.moduleName.size(), maximumHeaderData - 2));
        style.description.resize(maximumHeaderData - 2 - style.moduleName.size());
    }
    recordBytes.reserve(1 + 8 + 255);
}

MotorolaS_OutFile::~MotorolaS_OutFile() = default;

void MotorolaS_OutFile::insertMemoryBuffer(const Buffer::MemoryBuffer& memoryBuffer) {
    // Start and end must both fit four address bytes: an empty image at 0x100000000 would otherwise
    // need a fifth one.
    const uint64_t start = memoryBuffer.getStartAddress();
    const uint64_t end = start + memoryBuffer.getLength();
    if (start >= addressLimit || end > addressLimit) {
        std::cout << "MotorolaS_OutFile(insertMemoryBuffer-Operation). The inserted MemoryBuffer has a to "
                     "big Offset for Motorola Format."
                  << std::endl;
        std::cout << "The MemoryBuffer will not be inserted." << std::endl;
        std::cout << "The allowed maximum Offset have to be (int)" << addressLimit - 1 << std::endl;
        imageRefused = true;
        return;
    }
    try {
        pieces.emplace_back(memoryBuffer);
    } catch (const std::bad_alloc&) {
        reportUnheldImage("MotorolaS_OutFile");
        imageLeftOut = true;
        return;
    }
    addressSize = std::max(addressSize, std::min<uint32_t>(bytesNeeded(end), 4));
}

void MotorolaS_OutFile::setStartAddress(uint64_t value) {
    hasStartAddress = true;
    startAddress = value;
}

MotorolaS_OutFile::RecordInformation MotorolaS_OutFile::setRecordInformation(Role role,
                                                                             uint64_t value) const {
    uint32_t size = std::max(bytesNeeded(value), addressSize);
    RecordInformation record{RecordType::recordOther, {}, {}};
    switch (role) {
        case Role::header:
            size = 2;
            record.recordType = RecordType::recordS0;
            break;
        case Role::data:
            record.recordType = size == 2   ? RecordType::recordS1
                                : size == 3 ? RecordType::recordS2
                                            : RecordType::recordS3;
            break;
        case Role::count:
            size = value <= 0xFFFF ? 2 : 3;
            record.recordType = size == 2 ? RecordType::recordS5 : RecordType::recordS6;
            break;
        case Role::termination:
            record.recordType = size == 2   ? RecordType::recordS9
                                : size == 3 ? RecordType::recordS8
                                            : RecordType::recordS7;
            break;
    }
    for (uint32_t i = size; i-- > 0;) {
        record.addressBytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return record;
}

void MotorolaS_OutFile::getStringRepresentationFor(std::string& text, const RecordInformation& record) {
    recordBytes.clear();
    recordBytes.push_back(static_cast<uint8_t>(record.addressBytes.size() + record.data.size() + 1));
    recordBytes.insert(recordBytes.end(), record.addressBytes.begin(), record.addressBytes.end());
    recordBytes.insert(recordBytes.end(), record.data.begin(), record.data.end());
    const uint8_t checksum = calcOnesComplementSum8(recordBytes, 0xFF);
    text += 'S';
    text += typeDigit(record.recordType);
    for (const uint8_t byte : recordBytes) {
        toHexByteString(text, byte);
    }
    toHexByteString(text, checksum);
    text += '\n';
}

void MotorolaS_OutFile::writeFile() {
    writeHeld(!imageLeftOut, [this] { writeRecords(); });
}

void MotorolaS_OutFile::writeRecords() {
    // A file without an image it was given is no file of that image: the file is not touched, as the
    // Intel HEX writer leaves it for a piece it cannot address.
    if (imageRefused || startAddress >= addressLimit) {
        std::cout << "MotorolaS_OutFile(writeFile-Operation). ";
        if (imageRefused) {
            std::cout << "A MemoryBuffer was not inserted." << std::endl;
        } else {
            std::cout << "The execution start address int (" << startAddress
                      << ") is not addressable with Motorola Format." << std::endl;
        }
        std::cout << "Nothing was written in file (" << fileName << ")!" << std::endl;
        return;
    }

    Replacement file(fileName);
    std::string& text = file.buffer();

    RecordInformation header = setRecordInformation(Role::header, 0);
    const OutputStyle& style = outputStyle;
    header.data.assign(style.moduleName.begin(), style.moduleName.end());
    header.data.push_back(style.version);
    header.data.push_back(style.revision);
    header.data.insert(header.data.end(), style.description.begin(), style.description.end());
    getStringRepresentationFor(text, header);

    uint64_t dataRecords = 0;
    for (const QueuedImage& piece : pieces) {
        const std::vector<uint8_t>& bytes = piece.bytes;
        std::size_t k = 0;
        do {
            RecordInformation record = setRecordInformation(Role::data, piece.startAddress + k);
            const std::size_t length = std::min<std::size_t>(style.maximumRecordSize, bytes.size() - k);
            record.data.assign(bytes.begin() + k, bytes.begin() + k + length);
            getStringRepresentationFor(text, record);
            ++dataRecords;
            k += length;
            file.flushIfFull();
        } while (k < bytes.size());
    }
    // A file of 65535 data records or more has one count record, after the last data record, holding
    // the total (S6 above 65535) where its field can hold it; a smaller file has none.
    if (dataRecords >= countedFrom && dataRecords <= 0xFFFFFF) {
        getStringRepresentationFor(text, setRecordInformation(Role::count, dataRecords));
    }
    getStringRepresentationFor(text, setRecordInformation(Role::termination, startAddress));
    file.commit();
}

}  // namespace Io::Export
