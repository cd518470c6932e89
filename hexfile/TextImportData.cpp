#include "hexfile/TextImportData.h"

#include <algorithm>
#include <iostream>
#include <new>
#include <sstream>

namespace Io::Import {

void TextImportData::reserveFor(std::size_t textLength) {
    try {
        bytes.reserve(textLength / 2);
    } catch (const std::bad_alloc&) {
        // Only a head start; the bytes grow as they come.
    }
}

void TextImportData::storeData(uint64_t address, const uint8_t* data, std::size_t count) {
    if (count == 0) {
        return;
    }
    if (runs.empty() || address < minAddress) {
        minAddress = address;
    }
    maxAddress = std::max(maxAddress, address + count - 1);
    if (!runs.empty() && runs.back().address + runs.back().length == address) {
        runs.back().length += count;
    } else {
        runs.push_back({address, count});
    }
    bytes.insert(bytes.end(), data, data + count);
}

void TextImportData::discardData() {
    minAddress = 0;
    maxAddress = 0;
    decltype(bytes)().swap(bytes);
    std::vector<Run>().swap(runs);
}

void TextImportData::refuseLine(const std::string& fileName, std::string_view line, std::string_view reason) {
    discardData();
    std::cout << "file: " << fileName << " line: " << printableLine(line) << reason << std::endl;
}

void TextImportData::finishParsing() {
    dataLength = runs.empty() ? 0 : maxAddress - minAddress + 1;
    bytes.shrink_to_fit();
    runs.shrink_to_fit();
}

void TextImportData::writeRuns(Buffer::MemoryBuffer& image, uint64_t first, uint64_t count) const {
    const uint64_t last = first + count;  // the image holds the range, so this does not wrap
    std::size_t offset = 0;
    for (const Run& run : runs) {
        const uint64_t begin = std::max(run.address, first);
        const uint64_t end = std::min(run.address + run.length, last);
        if (begin < end) {
            image.writeBytes(begin, bytes.data() + offset + (begin - run.address), end - begin);
        }
        offset += run.length;
    }
}

Buffer::MemoryBuffer TextImportData::getMemory(uint64_t first, uint64_t count) const {
    if (count == 0) {
        return Buffer::MemoryBuffer(first, 0);
    }
    if (first < minAddress) {
        std::cout << className << "(getMemory-Operation). The requested extraction range from int address ["
                  << first << " to " << first + count << "] was out of range. Empty buffer was returned."
                  << std::endl;
        std::cout << "  Possible max range could be from int [" << minAddress << " to " << maxAddress + 1
                  << "]." << std::endl;
        printInformation();
        return Buffer::MemoryBuffer(0, 0);
    }
    Buffer::MemoryBuffer image(first, count);
    if (image.getLength() != count) {
        // The image was refused; the fill reports that it cannot take the range.
        image.fillMemory(std::vector<Buffer::MemoryBufferElement>(1), first, count);
        return image;
    }
    writeRuns(image, first, count);
    return image;
}

std::deque<BlockStartLengthPair> TextImportData::getBlockList() const {
    // The blocks of the sorted addresses, repeats included, found from the places where the number
    // of runs covering an address changes: one address covered c times gives c - 1 blocks that end
    // there, only the last one goes on to the next address.
    std::vector<std::pair<uint64_t, int>> edges;
    edges.reserve(runs.size() * 2);
    for (const Run& run : runs) {
        edges.emplace_back(run.address, 1);
        edges.emplace_back(run.address + run.length, -1);
    }
    std::sort(edges.begin(), edges.end());

    std::deque<BlockStartLengthPair> blocks;
    BlockStartLengthPair current;
    const auto closeAndOpen = [&](uint64_t address, uint64_t length) {
        if (current.length != 0) {
            blocks.push_back(current);
        }
        current = {address, length};
    };
    int coverage = 0;
    for (std::size_t i = 0; i < edges.size();) {
        const uint64_t from = edges[i].first;
        while (i < edges.size() && edges[i].first == from) {
            coverage += edges[i].second;
            ++i;
        }
        if (i == edges.size() || coverage == 0) {
            continue;
        }
        const uint64_t to = edges[i].first;
        if (coverage == 1) {
            if (from == current.start + current.length) {
                current.length += to - from;
            } else {
                closeAndOpen(from, to - from);
            }
            continue;
        }
        for (uint64_t address = from; address < to; ++address) {
            if (address == current.start + current.length) {
                ++current.length;
            } else {
                closeAndOpen(address, 1);
            }
            for (int repeat = 1; repeat < coverage; ++repeat) {
                closeAndOpen(address, 1);
            }
        }
    }
    if (current.length != 0) {
        blocks.push_back(current);
    }
    return blocks;
}

void TextImportData::fillMemoryBuffer(Buffer::MemoryBuffer& buffer) const {
    const uint64_t first = buffer.getStartAddress();
    const uint64_t count = buffer.getLength();
    if (first < minAddress || first + count > maxAddress + 1) {
        std::cout << className
                  << "(fillMemoryBuffer-Operation). The requested extraction range from int address ["
                  << first << " to " << first + count << "] was out of range. Nothing was filled"
                  << std::endl;
        std::cout << "  Possible max range could be from int [" << minAddress << " to " << maxAddress << "]."
                  << std::endl;
        printInformation();
        return;
    }
    // A cell without data takes the fill value 0 (as from an unset pattern cell), a cell with data its
    // byte; the covered stretches come from the runs merged in address order.
    std::vector<std::pair<uint64_t, uint64_t>> covered;
    covered.reserve(runs.size());
    for (const Run& run : runs) {
        covered.emplace_back(run.address, run.address + run.length);
    }
    std::sort(covered.begin(), covered.end());
    const std::vector<Buffer::MemoryBufferElement> unset(1);
    const uint64_t last = first + count;
    uint64_t gapStart = first;
    for (const auto& [begin, end] : covered) {
        if (begin >= last) {
            break;
        }
        if (begin > gapStart) {
            buffer.fillMemory(unset, gapStart, begin - gapStart);
        }
        gapStart = std::max(gapStart, end);
    }
    if (gapStart < last) {
        buffer.fillMemory(unset, gapStart, last - gapStart);
    }
    writeRuns(buffer, first, count);
}

void TextImportData::printInformation() const {
    std::ostringstream information;
    information << "Information about current " << className << " Object\n"
                << "dataLength: (int)" << dataLength << "\n"
                << "minAddress: (int)" << minAddress << "\n"
                << "maxAddress: (int)" << maxAddress << "\n";
    std::cout << information.str();
}

std::string printableLine(std::string_view line) {
    static const char digits[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(line.size());
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 0xF];
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace Io::Import
