#pragma once
// How the rest of the system writes an output file: memory images are queued, then written at once.

#include <cstdint>
#include <iostream>
#include <vector>

#include "hexfile/MemoryBuffer.h"

namespace Io::Export {

// A queued image as a writer keeps it: its bytes as they go into the file (the value of a set cell,
// the fill value of an unset one) and the address of the first. Throws std::bad_alloc when the bytes
// cannot be held.
struct QueuedImage {
    explicit QueuedImage(const Buffer::MemoryBuffer& image) : startAddress(image.getStartAddress()) {
        bytes.reserve(image.getLength());
        image.appendBytes(bytes, image.getStartAddress(), image.getLength());
    }

    uint64_t startAddress;
    std::vector<uint8_t> bytes;
};

// The refusal of an image whose bytes the writer of that class cannot hold.
inline void reportUnheldImage(const char* className) {
    std::cout << className
              << "(insertMemoryBuffer-Operation). The memory for the MemoryBuffer could not be allocated."
              << std::endl;
    std::cout << "The MemoryBuffer will not be inserted." << std::endl;
}

class MorvaneExportApi {
  public:
    virtual ~MorvaneExportApi() = default;
    // Queues an image for writing.
    virtual void insertMemoryBuffer(const Buffer::MemoryBuffer& memoryBuffer) = 0;
    // Writes the whole file; Io::bad_open when it cannot be written.
    virtual void writeFile() = 0;
    // The execution start address to write into the file.
    virtual void setStartAddress(uint64_t startAddress) = 0;
};

}  // namespace Io::Export
