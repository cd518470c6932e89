#pragma once
// How the rest of the system writes an output file: memory images are queued, then written at once.

#include <cstdint>

#include "hexfile/MemoryBuffer.h"

namespace Io::Export {

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
