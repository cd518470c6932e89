#pragma once
// The importer for any input file: recognises Intel HEX, S-record or raw binary from the file's lines
// and forwards every import operation to the matching reader. A text file with record lines among its
// lines is read as records (the last record line tells Intel HEX from S-records); a file with bytes
// that text does not hold, or without a record line, is raw binary.

#include <cstdint>
#include <deque>
#include <memory>

#include "hexfile/File.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MorvaneImportApi.h"

namespace Io::Import {

class GenericInFile : public MorvaneImportApi {
  public:
    explicit GenericInFile(const char* fileName);
    ~GenericInFile() override;

    // The file types getFileType gives.
    static constexpr uint32_t kIntelHex = 0;
    static constexpr uint32_t kSRecords = 1;
    static constexpr uint32_t kRawBinary = 2;

    uint32_t getFileType() const { return fileType; }
    bool isRawBinary() const { return fileType == kRawBinary; }

    uint64_t getMinAddress() const override;
    uint64_t getDataLength() const override;
    Buffer::MemoryBuffer getWholeMemory() const override;
    Buffer::MemoryBuffer getMemory(uint64_t startAddress, uint64_t dataLength) const override;
    bool hasStartAddress() const override;
    uint64_t getStartAddress() const override;
    std::deque<BlockStartLengthPair> getBlockList() const override;
    void fillMemoryBuffer(Buffer::MemoryBuffer& buffer) const override;

  private:
    std::unique_ptr<MorvaneImportApi> createImporter(FileBytes&& file) const;

    const char* fileName;
    uint32_t fileType;
    std::unique_ptr<MorvaneImportApi> importer;
};

}  // namespace Io::Import
