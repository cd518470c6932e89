#pragma once
// The memory image: one contiguous address range with one cell per address. A cell holds a data byte
// ("set") or nothing, in which case its fill value stands in for it. Refused requests are reported on
// standard output; nothing is thrown.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
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

// Cell storage comes zeroed from calloc: all-zero bytes are the default cell {0, 0, false}, so a new
// image needs no pass that writes every cell, pages of a large sparse image stay untouched until data
// lands in them, and a refused allocation shows up as a null pointer also under the sanitizers.
// Default construction is therefore a no-op; the image never resizes its storage in place.
template <class T>
struct ZeroedCellAllocator {
    using value_type = T;

    ZeroedCellAllocator() = default;
    template <class U>
    ZeroedCellAllocator(const ZeroedCellAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        void* p = std::calloc(n, sizeof(T));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
    }

    template <class U>
    bool operator==(const ZeroedCellAllocator<U>&) const noexcept {
        return true;
    }
};

class MemoryBuffer {
public:
    // The largest image has MAX_ALLOWED_MEMORY_BUFFER_SIZE - 1 cells.
    static constexpr uint64_t MAX_ALLOWED_MEMORY_BUFFER_SIZE = 0xFFFFFFFFu;

    MemoryBuffer(uint64_t startAddress, uint64_t dataLength);
    MemoryBuffer(const MemoryBuffer& other) = default;
    MemoryBuffer(MemoryBuffer&& other) noexcept = default;
    MemoryBuffer& operator=(const MemoryBuffer& other) = default;
    MemoryBuffer& operator=(MemoryBuffer&& other) noexcept = default;
    virtual ~MemoryBuffer();

    uint64_t getLength() const { return elements.size(); }
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
    std::span<const MemoryBufferElement> cells() const { return {elements.data(), elements.size()}; }

    // Sets the count cells from address on to the given data bytes (value and isSet; the fill values
    // stay), as fillMemory does with a pattern of set cells. Returns false and changes nothing when the
    // range is not inside the image.
    bool writeBytes(uint64_t address, const uint8_t* bytes, uint64_t count);

private:
    uint64_t startAddress;
    std::vector<MemoryBufferElement, ZeroedCellAllocator<MemoryBufferElement>> elements;
};

}  // namespace Buffer
