#include "hexfile/RawBinaryInFile.h"

#include <algorithm>
#include <iostream>
#include <utility>

namespace Io::Import {

namespace {

constexpr uint64_t maxElements = 0xFFFFFFFFu;

}  // namespace

RawBinaryInFile::RawBinaryInFile(const char* fileName) : RawBinaryInFile(fileName, readFile(fileName)) {}

RawBinaryInFile::RawBinaryInFile(const char* fileName, FileBytes&& file)
    : BinaryInFile(fileName, std::move(file)), dataLength(bytes.size()) {
    if (dataLength > maxElements) {
        std::cout << "RawBinaryInFile(constructor-Operation). The information extracted from output file, "
                     "contains too much DataElements."
                  << std::endl;
        std::cout << "  The max possible amount of Elements is : (int)" << maxElements << std::endl;
        std::cout << "  The dataLength is changed from: (int)" << dataLength << " to: (int)" << maxElements
                  << std::endl;
        dataLength = maxElements;
    }
}

RawBinaryInFile::~RawBinaryInFile() = default;

Buffer::MemoryBuffer RawBinaryInFile::getWholeMemory() const {
    return getMemory(getMinAddress(), getDataLength());
}

void RawBinaryInFile::writeBytes(Buffer::MemoryBuffer& image, uint64_t first, uint64_t count) const {
    const uint64_t end = std::min(first + count, dataLength);
    if (first < end) {
        image.writeBytes(first, reinterpret_cast<const uint8_t*>(bytes.data()) + first, end - first);
    }
}

Buffer::MemoryBuffer RawBinaryInFile::getMemory(uint64_t startAddress, uint64_t length) const {
    if (length == 0) {
        return Buffer::MemoryBuffer(startAddress, 0);
    }
    Buffer::MemoryBuffer image(startAddress, length);
    if (image.getLength() != length) {
        // The image was refused; the fill reports that it cannot take the range.
        image.fillMemory(std::vector<Buffer::MemoryBufferElement>(1), startAddress, length);
        return image;
    }
    writeBytes(image, startAddress, length);
    return image;
}

std::deque<BlockStartLengthPair> RawBinaryInFile::getBlockList() const {
    return {{0, dataLength}};
}

void RawBinaryInFile::fillMemoryBuffer(Buffer::MemoryBuffer& buffer) const {
    const uint64_t first = buffer.getStartAddress();
    const uint64_t count = buffer.getLength();
    if (first + count > dataLength) {
        std::cout << "RawBinaryInFile(fillMemoryBuffer-Operation). The requested extraction range from int "
                     "address ["
                  << first << " to " << first + count << "] was out of range. Nothing was filled"
                  << std::endl;
        std::cout << "  Possible max range could be from int [" << minAddress << " to " << dataLength << "]."
                  << std::endl;
        return;
    }
    writeBytes(buffer, first, count);
}

}  // namespace Io::Import
