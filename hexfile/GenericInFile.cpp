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
    // A text file whose lines include records is a record file, whatever its other lines are; the
    // last record line tells which kind. Its reader answers for the other lines. Anything else, a
    // file with bytes that text does not hold above all, is raw binary.
    const TextInFile file(fileName);
    const std::string_view text = withoutTextMarks(file.content());
    if (!holdsOnlyText(text)) {
        return 2;
    }
    ReverseLineCursor cursor(text);
    std::string_view line;
    while (cursor.next(line)) {
        const std::string_view start = withoutLeadingBlanks(line);
        if (!start.empty() && start.front() == ':') {
            return 0;
        }
        if (start.size() >= 2 && (start[0] == 'S' || start[0] == 's') && start[1] >= '0' && start[1] <= '9') {
            return 1;
        }
    }
    return 2;
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
