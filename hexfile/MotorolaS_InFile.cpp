#include "hexfile/MotorolaS_InFile.h"

#include <boost/spirit/include/classic_chset.hpp>
#include <boost/spirit/include/classic_core.hpp>
#include <boost/spirit/include/classic_loops.hpp>
#include <iostream>
#include <utility>

#include "hexfile/HexByteParser.h"

namespace Io::Import {

namespace classic = boost::spirit::classic;

namespace {

constexpr uint64_t maxElements = 0xFFFFFFFFu;

}  // namespace

uint32_t MotorolaS_InFile::addressSizeOf(enumRecordType recordType) {
    switch (recordType) {
        case recordS0:
        case recordS1:
        case recordS5:
        case recordS9:
            return 2;
        case recordS2:
        case recordS6:
        case recordS8:
            return 3;
        case recordS3:
        case recordS7:
            return 4;
        case recordOther:
            break;
    }
    return 255;
}

MotorolaS_InFile::MotorolaS_InFile(const char* fileName) : MotorolaS_InFile(fileName, readFile(fileName)) {}

MotorolaS_InFile::MotorolaS_InFile(const char* fileName, FileBytes&& file)
    : TextInFile(fileName, std::move(file)), TextImporter("MotorolaS_InFile") {
    current.rawBytes.reserve(1 + 255 + 255);
    parse();
    releaseLines();
    capSpan();
    state.finishParsing();
}

MotorolaS_InFile::~MotorolaS_InFile() = default;

void MotorolaS_InFile::storeParsedType(char digit) {
    switch (digit) {
        case '0':
            current.recordType = recordS0;
            break;
        case '1':
        case '2':
        case '3':
            current.recordType = static_cast<enumRecordType>(digit - '0');
            ++recordCount;
            break;
        case '5':
        case '6':
            current.recordType = digit == '5' ? recordS5 : recordS6;
            expectedRecordCount = recordCount;
            recordCount = 0;
            break;
        case '7':
            current.recordType = recordS7;
            break;
        case '8':
            current.recordType = recordS8;
            break;
        case '9':
            current.recordType = recordS9;
            break;
        default:
            current.recordType = recordOther;
            break;
    }
}

void MotorolaS_InFile::storeParsedSize(unsigned count) {
    current.rawBytes.push_back(static_cast<uint8_t>(count));
    current.addressSize = addressSizeOf(current.recordType);
    if (count > current.addressSize) {
        current.dataLength = count - 1 - current.addressSize;
        return;
    }
    std::cout << "MotorolaS_InFile(storeParsedSize-Operation). Logical error" << std::endl;
    std::cout << "The value of counter is : (int)" << count
              << ". This is to low, because the addressSize is already : (int)" << current.addressSize
              << std::endl;
    std::cout
        << "This error could be also generated, if the SRecord Type was unknown or the counter was to less."
        << std::endl;
    current.dataLength = 255;
}

void MotorolaS_InFile::storeParsedAddressByte(unsigned value) {
    current.address = current.address << 8 | value;
    current.rawBytes.push_back(static_cast<uint8_t>(value));
}

void MotorolaS_InFile::storeParsedDataBytes(const char* first, const char* last) {
    HexByteParser::appendBytes(first, last, current.rawBytes);
}

void MotorolaS_InFile::storeParsedChecksum(unsigned value) {
    current.checksum = value;
}

void MotorolaS_InFile::parse() {
    const std::string_view text = withoutTextMarks(content());
    if (text.empty()) {
        std::cout << "file: " << fileName << " was empty. Execution aboarded. The file was not parsed."
                  << std::endl;
        return;
    }

    const HexByteParser hexByte;
    const auto recordLine =
        classic::chset_p("Ss") >> classic::xdigit_p[([this](char c) { storeParsedType(c); })] >>
        hexByte[([this](unsigned v) { storeParsedSize(v); })] >>
        classic::repeat_p(
            boost::ref(current.addressSize))[hexByte[([this](unsigned v) { storeParsedAddressByte(v); })]] >>
        classic::repeat_p(boost::ref(current.dataLength))[hexByte][(
            [this](const char* first, const char* last) { storeParsedDataBytes(first, last); })] >>
        hexByte[([this](unsigned v) { storeParsedChecksum(v); })];

    state.reserveFor(textSize());
    LineCursor cursor(text, LineEnds::anyBreak);
    std::string_view line;
    while (cursor.next(line)) {
        // Blank and comment lines are passed over; any other line must be a record. Blanks around a
        // record are no part of it.
        const std::string_view record = withoutTrailingBlanks(withoutLeadingBlanks(line));
        if (record.empty() || (record.front() != 'S' && record.front() != 's' && isCommentLine(record))) {
            continue;
        }
        current.recordType = recordOther;
        current.addressSize = 0;
        current.address = 0;
        current.dataLength = 0;
        current.checksum = 0;
        current.rawBytes.clear();
        if (!classic::parse(record.data(), record.data() + record.size(), recordLine).full) {
            state.refuseLine(fileName, line, noRecordPattern);
            return;
        }
        if (!isValidRecord()) {
            state.refuseLine(fileName, line, recordLogicalError);
            return;
        }
        storeRecord();
    }
}

bool MotorolaS_InFile::isValidRecord() const {
    bool consistent = false;
    switch (current.recordType) {
        case recordS0:
        case recordS1:
        case recordS2:
        case recordS3:
            consistent = true;
            break;
        case recordS5:
        case recordS6:
            consistent = current.address == expectedRecordCount;
            break;
        case recordS7:
        case recordS8:
        case recordS9:
            consistent = current.dataLength == 0;
            break;
        case recordOther:
            consistent = false;
            break;
    }
    return consistent && calcOnesComplementSum8(current.rawBytes, 0xFF) == current.checksum;
}

void MotorolaS_InFile::storeRecord() {
    const uint8_t* data = current.rawBytes.data() + 1 + current.addressSize;
    const std::size_t length = current.dataLength;
    switch (current.recordType) {
        case recordS0: {
            // Tools put less than the full layout here (GNU objcopy only the file name): whatever the
            // record holds of name, version, revision and description counts, the rest is empty.
            const char* text = reinterpret_cast<const char*>(data);
            header.moduleName.assign(text, std::min<std::size_t>(length, 10));
            header.version = length > 10 ? data[10] : 0;
            header.revision = length > 11 ? data[11] : 0;
            header.description.assign(length > 12 ? text + 12 : text, length > 12 ? length - 12 : 0);
            break;
        }
        case recordS1:
        case recordS2:
        case recordS3:
            state.storeData(current.address, data, length);
            break;
        case recordS7:
        case recordS8:
        case recordS9:
            state.hasStartAddress = true;
            state.startAddress = current.address;
            break;
        case recordS5:
        case recordS6:
        case recordOther:
            break;
    }
}

void MotorolaS_InFile::capSpan() {
    if (!state.hasData() || state.maxAddress - state.minAddress + 1 <= maxElements) {
        return;
    }
    const uint64_t cappedMax = state.minAddress + (maxElements - 1);
    std::cout << "MotorolaS_InFile(constructor-Operation). The information extracted from output file, "
                 "contains too much DataElements."
              << std::endl;
    std::cout << "  The max possible amount of Elements is : (int)" << maxElements << std::endl;
    std::cout << "  The max Address is changed from: (int)" << state.maxAddress << " to: (int)" << cappedMax
              << std::endl;
    state.maxAddress = cappedMax;
}

}  // namespace Io::Import
