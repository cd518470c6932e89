#include "hexfile/GenericInFile.h"

#include <string_view>

#include "hexfile/File.h"
#include "hexfile/IntelHexInFile.h"
#include "hexfile/MotorolaS_InFile.h"
#include "hexfile/RawBinaryInFile.h"

namespace Io::Import {

GenericInFile::GenericInFile(const char* fileName)
    : fileName(fileName), fileType(detectFileFormat()), importer(createImporter()) {}

GenericInFile::~GenericInFile() = default;

uint32_t GenericInFile::detectFileFormat() const {
    const TextInFile file(fileName);
    uint32_t type = 2;
    LineCursor cursor(withoutTextMarks(file.content()));
    std::string_view line;
    while (cursor.next(line)) {
        const char first = isBlankLine(line) ? '\0' : line.front();
        if (first == ':') {
            type = 0;
        } else if (first == 'S') {
            type = 1;
        } else if (first != '\0' && first != '/') {
            return 2;
        }
    }
    return type;
}

std::unique_ptr<MorvaneImportApi> GenericInFile::createImporter() const {
    switch (fileType) {
        case 0:
            return std::make_unique<IntelHexInFile>(fileName);
        case 1:
            return std::make_unique<MotorolaS_InFile>(fileName);
        default:
            return std::make_unique<RawBinaryInFile>(fileName);
    }
}

uint64_t GenericInFile::getMinAddress() const {
    return importer->getMinAddress();
}

uint64_t GenericInFile::getDataLength() const {
    return importer->getDataLength();
}

Buffer::MemoryBuffer GenericInFile::getWholeMemory() const {
    const uint64_t minAddress = importer->getMinAddress();
    const uint64_t dataLength = importer->getDataLength();
    return getMemory(minAddress, dataLength);
}

Buffer::MemoryBuffer GenericInFile::getMemory(uint64_t startAddress, uint64_t dataLength) const {
    return importer->getMemory(startAddress, dataLength);
}

bool GenericInFile::hasStartAddress() const {
    return importer->hasStartAddress();
}

uint64_t GenericInFile::getStartAddress() const {
    return importer->getStartAddress();
}

std::deque<BlockStartLengthPair> GenericInFile::getBlockList() const {
    return importer->getBlockList();
}

void GenericInFile::fillMemoryBuffer(Buffer::MemoryBuffer& buffer) const {
    importer->fillMemoryBuffer(buffer);
}

}  // namespace Io::Import
