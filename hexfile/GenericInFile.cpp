#include "hexfile/GenericInFile.h"

#include <string_view>
#include <utility>

#include "hexfile/File.h"
#include "hexfile/HexByteParser.h"
#include "hexfile/IntelHexInFile.h"
#include "hexfile/MotorolaS_InFile.h"
#include "hexfile/RawBinaryInFile.h"

namespace Io::Import {

namespace {

// The bytes of the hexadecimal digit pairs of text, summed; false when text holds anything else.
bool sumOfHexBytes(std::string_view text, std::size_t& count, unsigned& sum, unsigned& first) {
    if (text.size() % 2 != 0) {
        return false;
    }
    count = text.size() / 2;
    sum = 0;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigitValues.values[static_cast<unsigned char>(text[i])];
        const int low = hexDigitValues.values[static_cast<unsigned char>(text[i + 1])];
        if (high < 0 || low < 0) {
            return false;
        }
        const auto byte = static_cast<unsigned>(high * 16 + low);
        first = i == 0 ? byte : first;
        sum += byte;
    }
    return true;
}

// Whether the line, without the blanks around it, is one record of either format whose length and
// checksum are right: what no file holds by chance.
bool isRecordLine(std::string_view line) {
    line = withoutTrailingBlanks(withoutLeadingBlanks(line));
    std::size_t count = 0;
    unsigned sum = 0;
    unsigned first = 0;
    if (!line.empty() && line[0] == ':') {
        // Count, two address bytes, the record code up to 05, the data and the checksum.
        return sumOfHexBytes(line.substr(1), count, sum, first) && count >= 5 && count == first + 5u &&
               hexDigitValues.values[static_cast<unsigned char>(line[7])] == 0 &&
               hexDigitValues.values[static_cast<unsigned char>(line[8])] <= 5 && (sum & 0xFF) == 0;
    }
    if (line.size() < 2 || (line[0] != 'S' && line[0] != 's')) {
        return false;
    }
    std::size_t addressBytes = 0;
    switch (line[1]) {
        case '0':
        case '1':
        case '5':
        case '9':
            addressBytes = 2;
            break;
        case '2':
        case '8':
            addressBytes = 3;
            break;
        case '3':
        case '7':
            addressBytes = 4;
            break;
        default:
            return false;
    }
    // The count covers the address, the data and the checksum.
    return sumOfHexBytes(line.substr(2), count, sum, first) && count >= 2 && count == first + 1u &&
           first >= addressBytes + 1 && (sum & 0xFF) == 0xFF;
}

// A text file whose lines include records is a record file, whatever its other lines are; the last
// record line tells which kind, and its reader answers for the other lines. A file with bytes that
// text does not hold (a control byte among the records, say) is a record file when it holds a record
// whose checksum is right, so that its reader refuses the bytes by name instead of flashing the file
// as its own text. Anything else is raw binary.
uint32_t detectFileFormat(std::string_view content) {
    const std::string_view text = withoutTextMarks(content);
    const bool onlyText = holdsOnlyText(text);
    ReverseLineCursor cursor(text, LineEnds::anyBreak);
    std::string_view line;
    while (cursor.next(line)) {
        const std::string_view start = withoutLeadingBlanks(line);
        const bool intelHexStart = !start.empty() && start.front() == ':';
        const bool sRecordStart =
            start.size() >= 2 && (start[0] == 'S' || start[0] == 's') && start[1] >= '0' && start[1] <= '9';
        if ((!intelHexStart && !sRecordStart) || (!onlyText && !isRecordLine(start))) {
            continue;
        }
        return intelHexStart ? GenericInFile::kIntelHex : GenericInFile::kSRecords;
    }
    return GenericInFile::kRawBinary;
}

std::string_view viewOf(const std::vector<char, LargeAllocator<char>>& bytes) {
    return {bytes.data(), bytes.size()};
}

}  // namespace

GenericInFile::GenericInFile(const char* fileName) : fileName(fileName), fileType(kRawBinary) {
    // The file is read once, so a pipe gives its content to the reader too. A UTF-16 file is looked at
    // as its text, and its text goes to a text reader; a raw binary file keeps its own bytes.
    FileBytes file = readFile(fileName);
    std::vector<char, LargeAllocator<char>> decoded;
    const bool utf16 = decodeUtf16(viewOf(file.bytes), decoded);
    fileType = detectFileFormat(utf16 ? viewOf(decoded) : viewOf(file.bytes));
    if (fileType != kRawBinary && utf16) {
        file.bytes.swap(decoded);
    }
    importer = createImporter(std::move(file));
}

GenericInFile::~GenericInFile() = default;

std::unique_ptr<MorvaneImportApi> GenericInFile::createImporter(FileBytes&& file) const {
    switch (fileType) {
        case kIntelHex:
            return std::make_unique<IntelHexInFile>(fileName, std::move(file));
        case kSRecords:
            return std::make_unique<MotorolaS_InFile>(fileName, std::move(file));
        default:
            return std::make_unique<RawBinaryInFile>(fileName, std::move(file));
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
