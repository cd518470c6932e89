#pragma once
// Writes memory images as a Motorola S-record file: an S0 header, the data of every queued image in
// S1, S2 or S3 records of one address size for the whole file, one count record of the total in a
// file of 65535 data records or more (S5, or S6 above 65535) and one termination record (S9, S8 or
// S7). A file is written only with every image it was given.

#include <cstdint>
#include <deque>
#include <string>

#include "checksum/UtilChecksum.h"
#include "hexfile/File.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MorvaneExportApi.h"
#include "hexfile/MotorolaS_InFile.h"

namespace Io::Export {

class MotorolaS_OutFile : public TextOutFile, public MorvaneExportApi {
  public:
    struct OutputStyle {
        std::string moduleName;
        std::string description = "Created By Morvane 2008";
        uint8_t version = 0;
        uint8_t revision = 0;
        // Data bytes per data record, 21 to 119.
        uint32_t maximumRecordSize = 36;
    };

    struct RecordInformation {
        Io::Import::MotorolaS_InFile::enumRecordType recordType;
        ByteVector addressBytes;  // most significant first
        ByteVector data;
    };

    MotorolaS_OutFile(const char* fileName, const OutputStyle& outputStyle);
    ~MotorolaS_OutFile() override;

    void insertMemoryBuffer(const Buffer::MemoryBuffer& memoryBuffer) override;
    // Writes the file; Io::out_of_memory, with the file left as it was, when an image was left out
    // for lack of memory. After a refused image nothing is written and the file is left as it was.
    void writeFile() override;
    void setStartAddress(uint64_t startAddress) override;

  private:
    void writeRecords();
    enum class Role { header, data, count, termination };

    // The kind and the address bytes of a record of that role for the value.
    RecordInformation setRecordInformation(Role role, uint64_t value) const;
    // Appends the record's line ('S', the type digit, the bytes in hexadecimal, a line feed) to text.
    void getStringRepresentationFor(std::string& text, const RecordInformation& record);

    bool hasStartAddress = false;
    bool imageLeftOut = false;  // an image could not be held
    bool imageRefused = false;  // an image lay beyond the addresses of the format
    uint32_t addressSize = 2;
    uint64_t startAddress = 0;
    OutputStyle outputStyle;
    std::deque<QueuedImage> pieces;
    ByteVector recordBytes;  // scratch room for the record being written
};

}  // namespace Io::Export
