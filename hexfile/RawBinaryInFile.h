#pragma once
// Serves a file as a plain memory image: byte i of the file stands at address i.

#include <cstdint>
#include <deque>

#include "hexfile/File.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MorvaneImportApi.h"

namespace Io::Import {

class RawBinaryInFile : public BinaryInFile, public MorvaneImportApi {
  public:
    explicit RawBinaryInFile(const char* fileName);
    // The file as read already.
    RawBinaryInFile(const char* fileName, FileBytes&& file);
    ~RawBinaryInFile() override;

    uint64_t getMinAddress() const override { return minAddress; }
    uint64_t getDataLength() const override { return dataLength; }
    Buffer::MemoryBuffer getWholeMemory() const override;
    Buffer::MemoryBuffer getMemory(uint64_t startAddress, uint64_t dataLength) const override;
    bool hasStartAddress() const override { return false; }
    uint64_t getStartAddress() const override { return 0; }
    std::deque<BlockStartLengthPair> getBlockList() const override;
    void fillMemoryBuffer(Buffer::MemoryBuffer& buffer) const override;

  private:
    // Copies the file's bytes inside [first, first + count) into the image, which holds that range.
    void writeBytes(Buffer::MemoryBuffer& image, uint64_t first, uint64_t count) const;

    uint64_t minAddress = 0;
    uint64_t dataLength = 0;
};

}  // namespace Io::Import
