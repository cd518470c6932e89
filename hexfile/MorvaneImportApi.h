#pragma once
// How the rest of the system reads an input file: block list, whole image, image of a range.

#include <cstdint>
#include <deque>

#include "hexfile/MemoryBuffer.h"

namespace Io::Import {

// One contiguous block of file data.
struct BlockStartLengthPair {
    uint64_t start = 0;
    uint64_t length = 0;

    bool operator==(const BlockStartLengthPair&) const = default;
};

// One data byte of a text file.
struct AddrValuePair {
    uint64_t address = 0;
    uint8_t value = 0;

    bool operator==(const AddrValuePair&) const = default;
};

class MorvaneImportApi {
  public:
    // Lowest address that holds data (0 when there is none).
    virtual uint64_t getMinAddress() const = 0;
    // maxAddress - minAddress + 1, or 0 when the file holds no data.
    virtual uint64_t getDataLength() const = 0;
    // getMemory(getMinAddress(), getDataLength()).
    virtual Buffer::MemoryBuffer getWholeMemory() const = 0;
    // Image of the range with the file's bytes set.
    virtual Buffer::MemoryBuffer getMemory(uint64_t startAddress, uint64_t dataLength) const = 0;
    virtual bool hasStartAddress() const = 0;
    virtual uint64_t getStartAddress() const = 0;
    // The runs of consecutive data addresses, ascending; a repeated address opens a new block.
    virtual std::deque<BlockStartLengthPair> getBlockList() const = 0;
    // Sets the cells of the caller's image from the file's bytes.
    virtual void fillMemoryBuffer(Buffer::MemoryBuffer& buffer) const = 0;
    virtual ~MorvaneImportApi() = default;
};

}  // namespace Io::Import
