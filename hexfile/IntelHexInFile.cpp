#include "hexfile/IntelHexInFile.h"

#include <boost/spirit/include/classic_core.hpp>
#include <boost/spirit/include/classic_loops.hpp>
#include <iostream>
#include <utility>

#include "hexfile/HexByteParser.h"

namespace Io::Import {

namespace classic = boost::spirit::classic;

IntelHexInFile::IntelHexInFile(const char* fileName) : IntelHexInFile(fileName, readFile(fileName)) {}

IntelHexInFile::IntelHexInFile(const char* fileName, FileBytes&& file)
    : TextInFile(fileName, std::move(file)),
      TextImporter("IntelHexInFile"),
      recordCodes{{0x00, recordData},
                  {0x01, recordEndOfFile},
                  {0x02, recordExtendedSegmentAddress},
                  {0x03, recordStartSegmentAddress},
                  {0x04, recordExtendedLinearAddress},
                  {0x05, recordStartLinearAddress}} {
    current.rawBytes.reserve(4 + 255);
    parse();
    releaseLines();
    state.finishParsing();
}

IntelHexInFile::~IntelHexInFile() = default;

void IntelHexInFile::storeParsedCount(unsigned value) {
    current.count = value;
    current.rawBytes.push_back(static_cast<uint8_t>(value));
}

void IntelHexInFile::storeParsedAddressByte(unsigned value) {
    current.address = current.address << 8 | value;
    current.rawBytes.push_back(static_cast<uint8_t>(value));
}

void IntelHexInFile::storeParsedRecordCode(unsigned value) {
    const auto code = recordCodes.find(value);
    current.recordType = code == recordCodes.end() ? recordOther : code->second;
    current.rawBytes.push_back(static_cast<uint8_t>(value));
}

void IntelHexInFile::storeParsedDataBytes(const char* first, const char* last) {
    HexByteParser::appendBytes(first, last, current.rawBytes);
}

void IntelHexInFile::storeParsedChecksum(unsigned value) {
    current.checksum = value;
}

void IntelHexInFile::parse() {
    const std::string_view text = withoutTextMarks(content());
    if (text.empty()) {
        std::cout << "file: " << fileName << " was empty. Execution aboarded. The file was not parsed."
                  << std::endl;
        return;
    }

    // The end-of-file record is the last record; only blank and comment lines may follow it. It is a
    // line of text.
    const classic::rule<> endOfFileLine = classic::ch_p(':') >> classic::repeat_p(6)[classic::anychar_p] >>
                                          classic::str_p("01") >> *classic::anychar_p;
    const LastContentLine end = lastContentLine(text, LineEnds::anyBreak);
    const std::string_view endRecord = withoutLeadingBlanks(end.line);
    if (!end.found ||
        !classic::parse(endRecord.data(), endRecord.data() + endRecord.size(), endOfFileLine).full ||
        !holdsOnlyText(endRecord)) {
        std::cout
            << "file: " << fileName
            << " has no intel format (last line mismatched). Execution aboarded. The file was not parsed."
            << std::endl;
        return;
    }
    parseRecords(end.before);
}

void IntelHexInFile::parseRecords(std::string_view records) {
    const HexByteParser hexByte;
    const auto recordLine =
        classic::ch_p(':') >> hexByte[([this](unsigned v) { storeParsedCount(v); })] >>
        classic::repeat_p(2)[hexByte[([this](unsigned v) { storeParsedAddressByte(v); })]] >>
        hexByte[([this](unsigned v) { storeParsedRecordCode(v); })] >>
        classic::repeat_p(boost::ref(current.count))[hexByte][(
            [this](const char* first, const char* last) { storeParsedDataBytes(first, last); })] >>
        hexByte[([this](unsigned v) { storeParsedChecksum(v); })];

    state.reserveFor(textSize());
    LineCursor cursor(records, LineEnds::anyBreak);
    std::string_view line;
    while (cursor.next(line)) {
        // Blank and comment lines are passed over. Any other line must be a record: a line that is
        // none (a record that lost its colon, a line of other text) refuses the file, as does a line
        // that begins as a record and is not one. Blanks around a record are no part of it.
        const std::string_view record = withoutTrailingBlanks(withoutLeadingBlanks(line));
        if (record.empty() || (record.front() != ':' && isCommentLine(record))) {
            continue;
        }
        if (record.front() != ':') {
            refuseLine(line, noRecordPattern);
            return;
        }
        current.count = 0;
        current.address = 0;
        current.recordType = recordOther;
        current.checksum = 0;
        current.rawBytes.clear();
        if (!classic::parse(record.data(), record.data() + record.size(), recordLine).full ||
            !isValidRecord()) {
            refuseLine(line, recordLogicalError);
            return;
        }
        storeRecord();
    }
}

bool IntelHexInFile::isValidRecord() const {
    bool consistent = false;
    switch (current.recordType) {
        case recordData:
            consistent = true;
            break;
        case recordExtendedSegmentAddress:
        case recordExtendedLinearAddress:
            consistent = current.count == 2 && current.address == 0;
            break;
        case recordStartSegmentAddress:
        case recordStartLinearAddress:
            consistent = current.count == 4 && current.address == 0;
            break;
        case recordEndOfFile:
        case recordOther:
            consistent = false;
            break;
    }
    return consistent && calcTwosComplementSum8(current.rawBytes, 0) == current.checksum;
}

void IntelHexInFile::storeRecord() {
    const uint8_t* data = current.rawBytes.data() + 4;
    uint64_t value = 0;
    for (uint32_t i = 0; i < current.count && i < 8; ++i) {
        value = value << 8 | data[i];
    }
    switch (current.recordType) {
        case recordData:
            state.storeData(baseAddress + current.address, data, current.count);
            break;
        case recordExtendedSegmentAddress:
            baseAddress = value * 16;
            break;
        case recordExtendedLinearAddress:
            baseAddress = value * 65536;
            break;
        case recordStartSegmentAddress:
            state.hasStartAddress = true;
            state.startAddress = (value >> 16) * 16 + (value & 0xFFFF);
            break;
        case recordStartLinearAddress:
            state.hasStartAddress = true;
            state.startAddress = value;
            break;
        case recordEndOfFile:
        case recordOther:
            break;
    }
}

void IntelHexInFile::refuseLine(std::string_view line, std::string_view reason) {
    state.refuseLine(fileName, line, reason);
    baseAddress = 0;
}

}  // namespace Io::Import
