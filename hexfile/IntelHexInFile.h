#pragma once
// Reads an Intel HEX file (record types 00 to 05) completely at construction and serves it through
// the import interface. Records may be indented and followed by blanks, lines may end with a carriage
// return alone; blank and comment lines are passed over, any other line refuses the file (no data
// stays), so no data is left out without a word. Problems are printed on standard output; only
// Io::bad_open is thrown.

#include <cstdint>
#include <deque>
#include <map>

#include "checksum/UtilChecksum.h"
#include "hexfile/File.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MorvaneImportApi.h"
#include "hexfile/TextImportData.h"

namespace Io::Import {

class IntelHexInFile : public TextInFile, public TextImporter {
  public:
    enum enumRecordType {
        recordOther = 0,
        recordData = 1,
        recordEndOfFile = 2,
        recordExtendedSegmentAddress = 3,
        recordStartSegmentAddress = 4,
        recordExtendedLinearAddress = 5,
        recordStartLinearAddress = 6,
    };

    explicit IntelHexInFile(const char* fileName);
    // The file as read already.
    IntelHexInFile(const char* fileName, FileBytes&& file);
    ~IntelHexInFile() override;

  private:
    // The text is given back once it is parsed (getLines reads it again).
    using TextInFile::content;
    using TextInFile::lineCursor;

    // The record being matched; cleared before each line. The data bytes are rawBytes from index 4.
    struct ParseState {
        uint32_t count = 0;
        uint32_t address = 0;
        enumRecordType recordType = recordOther;
        uint32_t checksum = 0;
        ByteVector rawBytes;
    };

    void parse();
    // The record lines before the end-of-file record.
    void parseRecords(std::string_view records);
    bool isValidRecord() const;
    void storeRecord();
    // Refuses the file for the line: no data stays.
    void refuseLine(std::string_view line, std::string_view reason);

    // Grammar actions.
    void storeParsedCount(unsigned value);
    void storeParsedAddressByte(unsigned value);
    void storeParsedRecordCode(unsigned value);
    // The data bytes, as the digits they were matched from.
    void storeParsedDataBytes(const char* first, const char* last);
    void storeParsedChecksum(unsigned value);

    std::map<uint32_t, enumRecordType> recordCodes;
    uint64_t baseAddress = 0;
    ParseState current;
};

}  // namespace Io::Import
