#pragma once
// The memory image: one contiguous address range with one cell per address. A cell holds a data byte
// ("set") or nothing, in which case its fill value stands in for it. Refused requests are reported on
// standard output; nothing is thrown.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace Buffer {

struct MemoryBufferElement {
    uint8_t value = 0;
    uint8_t fillValue = 0;
    bool isSet = false;

    MemoryBufferElement() = default;
    explicit MemoryBufferElement(uint8_t byte) : value(byte), isSet(true) {}
};

static_assert(sizeof(MemoryBufferElement) == 3);

class MemoryBuffer {
  public:
    // The largest image has MAX_ALLOWED_MEMORY_BUFFER_SIZE - 1 cells.
    static constexpr uint64_t MAX_ALLOWED_MEMORY_BUFFER_SIZE = 0xFFFFFFFFu;

    MemoryBuffer(uint64_t startAddress, uint64_t dataLength);
    MemoryBuffer(const MemoryBuffer& other);
    MemoryBuffer(MemoryBuffer&& other) noexcept;
    MemoryBuffer& operator=(const MemoryBuffer& other);
    MemoryBuffer& operator=(MemoryBuffer&& other) noexcept;
    virtual ~MemoryBuffer();

    uint64_t getLength() const { return cellCount; }
    std::vector<MemoryBufferElement> getElements() const;
    uint64_t getStartAddress() const { return startAddress; }
    void setStartingAddress(uint64_t newStartAddress);
    bool isAddressInRange(uint64_t address) const;

    void fillMemory(const std::vector<MemoryBufferElement>& dataPattern, uint64_t startAddress,
                    uint64_t numberOfElements);
    void fillMemory(const std::vector<MemoryBufferElement>& dataPattern, uint64_t startAddress);
    MemoryBuffer extractMemory(uint64_t startAddress, uint64_t dataLength) const;
    void appendBytes(std::vector<uint8_t>& bytes, uint64_t address, uint64_t length) const;
    void merge(const MemoryBuffer& other);

    // The cells in address order, without a copy.
    std::span<const MemoryBufferElement> cells() const { return {cellData, cellCount}; }

    // Sets the count cells from address on to the given data bytes (value and isSet; the fill values
    // stay), as fillMemory does with a pattern of set cells. Returns false and changes nothing when the
    // range is not inside the image.
    bool writeBytes(uint64_t address, const uint8_t* bytes, uint64_t count);

  private:
    // Takes zeroed storage for count cells (all-zero bytes are the cell {0, 0, false}); false when it
    // cannot be had. Large images are mapped from the system, so a new image costs no pass over its
    // cells and pages that no data reaches are never touched.
    bool allocate(uint64_t count);
    void release() noexcept;
    // Takes a copy of the other image's cells into this empty one; false when it cannot be had.
    bool copyCellsOf(const MemoryBuffer& other);
    // The refusal of an operation whose memory could not be had.
    static void reportAllocationFailure(const char* operation, uint64_t count, const char* outcome);

    uint64_t startAddress;
    // The cells: cell i stands for address startAddress + i.
    MemoryBufferElement* cellData = nullptr;
    uint64_t cellCount = 0;
};

}  // namespace Buffer
