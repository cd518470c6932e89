#pragma once
// Writes memory images as an Intel HEX file: each image is cut into pieces that fit one 64 KiB
// address window, each piece gets an extended address record before its data records, then come an
// optional start address record and the end-of-file record.

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "checksum/UtilChecksum.h"
#include "hexfile/File.h"
#include "hexfile/IntelHexInFile.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MorvaneExportApi.h"

namespace Io::Export {

class IntelHexOutFile : public TextOutFile, public MorvaneExportApi {
  public:
    // The record kinds, with the reader's values.
    using enumRecordType = Io::Import::IntelHexInFile::enumRecordType;

    struct OutputStyle {
        // false: extended linear addressing (04 and 05 records); true: extended segment addressing
        // (02 and 03 records).
        bool segmentAddressing = false;
        // Data bytes per data record, 1 to 255.
        uint32_t dataRecordLength = 16;
    };

    struct OffsetInformation {
        uint64_t address = 0;  // the piece's start
        uint64_t base = 0;     // the value of the extended address record
        uint64_t offset = 0;   // the start's offset inside its window
        enumRecordType recordType = enumRecordType::recordExtendedLinearAddress;
        bool valid = false;
    };

    IntelHexOutFile(const char* fileName, OutputStyle outputStyle);
    ~IntelHexOutFile() override;

    void insertMemoryBuffer(const Buffer::MemoryBuffer& memoryBuffer) override;
    // Writes the file; Io::out_of_memory, with the file left as it was, when an image was left out
    // for lack of memory.
    void writeFile() override;
    void setStartAddress(uint64_t startAddress) override;

  private:
    void writeRecords();
    OffsetInformation setOffsetInformation(uint64_t address) const;
    bool isStartAddressWritable() const;
    // Whether the addressing of the file reaches the address; prints the refusal of the operation when
    // it does not.
    bool isAddressable(uint64_t address, const char* operation, const char* what) const;
    // Appends one record line (':', the bytes in hexadecimal, the checksum, a line feed) to text.
    void getStringRepresentationFor(std::string& text, uint16_t address, enumRecordType recordType,
                                    const uint8_t* data, std::size_t length);

    std::map<enumRecordType, std::pair<uint8_t, std::string>> recordCodes;
    bool hasStartAddress = false;
    bool imageLeftOut = false;  // an image could not be held
    uint64_t startAddress = 0;
    OutputStyle outputStyle;
    // A piece of a queued image: its bytes from first on, count of them, starting at address.
    struct Piece {
        std::size_t image;
        uint64_t address;
        uint64_t first;
        uint64_t count;
    };
    // The queued images are kept whole, once; the pieces name their parts in insertion order.
    std::deque<QueuedImage> images;
    std::vector<Piece> pieces;
    ByteVector recordBytes;  // scratch room for the record being written
};

}  // namespace Io::Export
