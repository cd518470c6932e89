#pragma once
// Reads a Motorola S-record file (S0, S1, S2, S3, S5, S6, S7, S8, S9) completely at construction and
// serves it through the import interface. Records may be indented, begin with a lower-case 's' and be
// followed by blanks, lines may end with a carriage return alone; blank and comment lines are passed
// over, any other line refuses the file (no data stays). Problems are printed on standard output;
// only Io::bad_open is thrown.

#include <cstdint>
#include <deque>
#include <string>

#include "checksum/UtilChecksum.h"
#include "hexfile/File.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MorvaneImportApi.h"
#include "hexfile/TextImportData.h"

namespace Io::Import {

class MotorolaS_InFile : public TextInFile, public TextImporter {
  public:
    enum enumRecordType {
        recordS0 = 0,  // header
        recordS1 = 1,  // data, 2 address bytes
        recordS2 = 2,  // data, 3 address bytes
        recordS3 = 3,  // data, 4 address bytes
        recordS5 = 4,  // count of data records, 2 bytes
        recordS7 = 5,  // termination, 4 address bytes
        recordS8 = 6,  // termination, 3 address bytes
        recordS9 = 7,  // termination, 2 address bytes
        recordOther = 8,
        recordS6 = 9,  // count of data records, 3 bytes
    };

    struct Header {
        std::string moduleName;
        std::string description = "Created By Morvane 2008";
        uint32_t version = 0;
        uint32_t revision = 0;
    };

    // Address bytes of the records of a kind (255 for other).
    static uint32_t addressSizeOf(enumRecordType recordType);

    explicit MotorolaS_InFile(const char* fileName);
    // The file as read already.
    MotorolaS_InFile(const char* fileName, FileBytes&& file);
    ~MotorolaS_InFile() override;

    // The content of the last S0 record.
    const Header& getHeader() const { return header; }

  private:
    // The text is given back once it is parsed (getLines reads it again).
    using TextInFile::content;
    using TextInFile::lineCursor;

    // The record being matched; cleared before each line. rawBytes holds the count, the address
    // bytes and the data bytes.
    struct ParseState {
        enumRecordType recordType = recordOther;
        uint32_t addressSize = 0;
        uint64_t address = 0;
        uint32_t dataLength = 0;
        uint32_t checksum = 0;
        ByteVector rawBytes;
    };

    void parse();
    bool isValidRecord() const;
    void storeRecord();
    void capSpan();

    // Grammar actions.
    void storeParsedType(char digit);
    void storeParsedSize(unsigned count);
    void storeParsedAddressByte(unsigned value);
    // The data bytes, as the digits they were matched from.
    void storeParsedDataBytes(const char* first, const char* last);
    void storeParsedChecksum(unsigned value);

    Header header;
    uint32_t recordCount = 0;
    uint32_t expectedRecordCount = 0;
    ParseState current;
};

}  // namespace Io::Import
