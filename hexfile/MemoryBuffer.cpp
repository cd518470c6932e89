#include "hexfile/MemoryBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>

#include "platform/large_storage.h"

namespace Buffer {

namespace {

constexpr uint64_t addressLimit = std::numeric_limits<uint64_t>::max();

}  // namespace

MemoryBuffer::MemoryBuffer(uint64_t startAddress, uint64_t dataLength) : startAddress(startAddress) {
    if (dataLength > addressLimit - startAddress) {
        std::cout << "MemoryBuffer(Constructor-Operation). The sum of startAddress + dataLength are not "
                     "addressable."
                  << std::endl;
        std::cout << "  Nothing was filled!" << std::endl;
        return;
    }
    if (dataLength >= MAX_ALLOWED_MEMORY_BUFFER_SIZE) {
        std::cout << "MemoryBuffer(Constructor-Operation). The dataLength was bigger than "
                     "MAX_ALLOWED_MEMORY_BUFFER_SIZE int(0x"
                  << std::hex << MAX_ALLOWED_MEMORY_BUFFER_SIZE << ")." << std::endl;
        std::cout << "  An empty Memorybuffer was created!" << std::endl;
        return;
    }
    if (!allocate(dataLength)) {
        reportAllocationFailure("Constructor", dataLength, "  An empty Memorybuffer was created!");
    }
}

bool MemoryBuffer::allocate(uint64_t count) {
    if (count == 0) {
        return true;
    }
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(MemoryBufferElement)) {
        return false;
    }
    void* storage = platform::takeLargeStorage(count * sizeof(MemoryBufferElement));
    if (storage == nullptr) {
        return false;
    }
    cellData = static_cast<MemoryBufferElement*>(storage);
    cellCount = count;
    return true;
}

void MemoryBuffer::release() noexcept {
    platform::giveBackLargeStorage(cellData, cellCount * sizeof(MemoryBufferElement));
    cellData = nullptr;
    cellCount = 0;
}

void MemoryBuffer::reportAllocationFailure(const char* operation, uint64_t count, const char* outcome) {
    std::cout << "MemoryBuffer(" << operation << "-Operation). The memory for dataLength int(0x" << std::hex
              << count << ") could not be allocated." << std::endl;
    std::cout << outcome << std::endl;
}

bool MemoryBuffer::copyCellsOf(const MemoryBuffer& other) {
    if (!allocate(other.cellCount)) {
        return false;
    }
    if (cellCount != 0) {
        std::memcpy(cellData, other.cellData, cellCount * sizeof(MemoryBufferElement));
    }
    return true;
}

MemoryBuffer::MemoryBuffer(const MemoryBuffer& other) : startAddress(other.startAddress) {
    if (!copyCellsOf(other)) {
        reportAllocationFailure("CopyConstructor", other.cellCount, "  An empty Memorybuffer was created!");
    }
}

MemoryBuffer::MemoryBuffer(MemoryBuffer&& other) noexcept
    : startAddress(other.startAddress), cellData(other.cellData), cellCount(other.cellCount) {
    other.cellData = nullptr;
    other.cellCount = 0;
}

MemoryBuffer& MemoryBuffer::operator=(const MemoryBuffer& other) {
    if (this == &other) {
        return *this;
    }
    MemoryBuffer copy(other.startAddress, 0);
    if (!copy.copyCellsOf(other)) {
        reportAllocationFailure("operator=", other.cellCount, "  The MemoryBuffer has not been changed!");
        return *this;
    }
    return *this = std::move(copy);
}

MemoryBuffer& MemoryBuffer::operator=(MemoryBuffer&& other) noexcept {
    if (this != &other) {
        release();
        startAddress = other.startAddress;
        cellData = other.cellData;
        cellCount = other.cellCount;
        other.cellData = nullptr;
        other.cellCount = 0;
    }
    return *this;
}

MemoryBuffer::~MemoryBuffer() {
    release();
}

std::vector<MemoryBufferElement> MemoryBuffer::getElements() const {
    try {
        return std::vector<MemoryBufferElement>(cellData, cellData + cellCount);
    } catch (const std::bad_alloc&) {
        reportAllocationFailure("getElements", cellCount, "  An empty vector was returned!");
        return {};
    }
}

void MemoryBuffer::setStartingAddress(uint64_t newStartAddress) {
    const uint64_t maxStart = addressLimit - cellCount;
    if (newStartAddress > maxStart) {
        std::cout << "MemoryBuffer(setStartingAddress-Operation). StartAddress (0x" << std::hex
                  << newStartAddress << ") is to big." << std::endl;
        std::cout << "  Possible max startAddress for this object is (0x" << std::hex << maxStart << ")."
                  << std::endl;
        std::cout << "  StartAddress has not been changed!" << std::endl;
        return;
    }
    startAddress = newStartAddress;
}

bool MemoryBuffer::isAddressInRange(uint64_t address) const {
    return address >= startAddress && address - startAddress <= cellCount;
}

void MemoryBuffer::fillMemory(const std::vector<MemoryBufferElement>& dataPattern, uint64_t address,
                              uint64_t numberOfElements) {
    if (dataPattern.empty()) {
        std::cout << "MemoryBuffer(fillMemory-Operation). dataPattern was empty, so nothing is filled"
                  << std::endl;
        std::cout << "  Nothing was filled!" << std::endl;
        return;
    }
    if (!isAddressInRange(address)) {
        std::cout << "MemoryBuffer(fillMemory-Operation). StartAddress int (" << address
                  << ") was not in range of memoryBuffer." << std::endl;
        std::cout << "  Possible max range could be from int [ 0x" << std::hex << startAddress << " to 0x"
                  << startAddress + cellCount << "]." << std::endl;
        std::cout << "  Nothing was filled!" << std::endl;
        return;
    }
    const uint64_t first = address - startAddress;
    if (numberOfElements > cellCount - first) {
        std::cout << "MemoryBuffer(fillMemory - Operation). NumberOfElements int ( 0x" << std::hex
                  << numberOfElements << ") are too many." << std::endl;
        std::cout << "  Nothing was filled!" << std::endl;
        return;
    }
    std::size_t p = 0;
    for (uint64_t k = 0; k < numberOfElements; ++k) {
        const MemoryBufferElement& source = dataPattern[p];
        MemoryBufferElement& cell = cellData[first + k];
        if (source.isSet) {
            cell.value = source.value;
            cell.isSet = true;
        } else {
            cell.fillValue = source.fillValue;
        }
        if (++p == dataPattern.size()) {
            p = 0;
        }
    }
}

void MemoryBuffer::fillMemory(const std::vector<MemoryBufferElement>& dataPattern, uint64_t address) {
    fillMemory(dataPattern, address, dataPattern.size());
}

MemoryBuffer MemoryBuffer::extractMemory(uint64_t address, uint64_t dataLength) const {
    if (!isAddressInRange(address)) {
        std::cout << "MemoryBuffer(extractMemory-Operation). StartAddress (0x" << std::hex << address
                  << ") is not in range." << std::endl;
        std::cout << "  Possible max range could be from [0x" << std::hex << startAddress << " to 0x"
                  << startAddress + cellCount << "]." << std::endl;
        std::cout << "  Nothing has been extracted!" << std::endl;
        return MemoryBuffer(0, 0);
    }
    const uint64_t first = address - startAddress;
    if (dataLength > cellCount - first) {
        std::cout << "MemoryBuffer(extractMemory-Operation). Requested dataLength (0x" << std::hex
                  << dataLength << ") are too large." << std::endl;
        std::cout << "  Nothing has been extracted!" << std::endl;
        return MemoryBuffer(0, 0);
    }
    MemoryBuffer result(address, dataLength);
    if (result.cellCount != dataLength || dataLength == 0) {
        // Refused by the constructor, or nothing to copy: the fill reports it as it would for the
        // copied pattern.
        const std::vector<MemoryBufferElement> pattern(dataLength == 0 ? 0 : 1);
        result.fillMemory(pattern, address, dataLength);
        return result;
    }
    // The copy takes a set cell's value and an unset cell's fill value, as filling a new image with
    // the cells as pattern does.
    for (uint64_t k = 0; k < dataLength; ++k) {
        const MemoryBufferElement& source = cellData[first + k];
        MemoryBufferElement& cell = result.cellData[k];
        if (source.isSet) {
            cell.value = source.value;
            cell.isSet = true;
        } else {
            cell.fillValue = source.fillValue;
        }
    }
    return result;
}

void MemoryBuffer::appendBytes(std::vector<uint8_t>& bytes, uint64_t address, uint64_t length) const {
    if (address < startAddress || address - startAddress > cellCount ||
        length > cellCount - (address - startAddress)) {
        return;
    }
    const uint64_t first = address - startAddress;
    try {
        bytes.reserve(bytes.size() + length);
    } catch (const std::exception&) {
        // bad_alloc, or length_error beyond what a vector can hold
        reportAllocationFailure("appendBytes", length, "  Nothing was appended!");
        return;
    }
    for (uint64_t k = 0; k < length; ++k) {
        const MemoryBufferElement& cell = cellData[first + k];
        bytes.push_back(cell.isSet ? cell.value : cell.fillValue);
    }
}

void MemoryBuffer::merge(const MemoryBuffer& other) {
    const uint64_t begin = std::max(startAddress, other.startAddress);
    const uint64_t end = std::min(startAddress + cellCount, other.startAddress + other.cellCount);
    for (uint64_t address = begin; address < end; ++address) {
        cellData[address - startAddress] = other.cellData[address - other.startAddress];
    }
}

bool MemoryBuffer::writeBytes(uint64_t address, const uint8_t* bytes, uint64_t count) {
    if (address < startAddress || address - startAddress > cellCount ||
        count > cellCount - (address - startAddress)) {
        return false;
    }
    MemoryBufferElement* cell = cellData + (address - startAddress);
    for (uint64_t k = 0; k < count; ++k) {
        cell[k].value = bytes[k];
        cell[k].isSet = true;
    }
    return true;
}

}  // namespace Buffer
