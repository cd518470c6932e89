#pragma once
// Fixture and helpers of the hex-file library tests: a scratch folder per test, files written
// and read back as they are on disk, what a reader prints, and images turned into bytes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "hexfile/MemoryBuffer.h"
#include "hexfile/MorvaneImportApi.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/shared_names.h"

namespace Io::Import {

inline void PrintTo(const BlockStartLengthPair& block, std::ostream* out) {
    *out << std::hex << "{0x" << block.start << ", 0x" << block.length << "}" << std::dec;
}

}  // namespace Io::Import

namespace hexfile_test {

using Blocks = std::deque<Io::Import::BlockStartLengthPair>;
using testing_support::CoutCapture;

// Each test has a scratch folder of its own (path(), writeText(), readText(), entries()).
class HexfileTest : public ::testing::Test, protected testing_support::ScratchDir {
  protected:
    // The library leaves standard output in hexadecimal; every test starts from decimal.
    void SetUp() override { std::cout.flags(std::ios::dec); }
    void TearDown() override { std::cout.flags(std::ios::dec); }
};

// The byte of every cell: the value of a set cell, the fill value of an unset one.
inline std::vector<uint8_t> bytesOf(const Buffer::MemoryBuffer& image) {
    std::vector<uint8_t> bytes;
    for (const Buffer::MemoryBufferElement& cell : image.getElements()) {
        bytes.push_back(cell.isSet ? cell.value : cell.fillValue);
    }
    return bytes;
}

// Which cells are set, as a string of 1 and 0.
inline std::string setFlagsOf(const Buffer::MemoryBuffer& image) {
    std::string flags;
    for (const Buffer::MemoryBufferElement& cell : image.getElements()) {
        flags += cell.isSet ? '1' : '0';
    }
    return flags;
}

// An image of set cells holding the bytes.
inline Buffer::MemoryBuffer imageOf(uint64_t start, const std::vector<uint8_t>& bytes) {
    Buffer::MemoryBuffer image(start, bytes.size());
    std::vector<Buffer::MemoryBufferElement> pattern;
    for (const uint8_t byte : bytes) {
        pattern.emplace_back(byte);
    }
    if (!pattern.empty()) {
        image.fillMemory(pattern, start);
    }
    return image;
}

// Bytes 0, 1, 2, ... wrapping at 256, from the seed on.
inline std::vector<uint8_t> counting(std::size_t count, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i);
    }
    return bytes;
}

}  // namespace hexfile_test

namespace hexfile_test {

inline std::string hexBytes(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

// An Intel HEX record line (without line end) with the right count and checksum.
inline std::string ihex(uint16_t address, uint8_t type, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (const uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    std::string line(1, ':');
    line += hexBytes(bytes);
    return line;
}

// An S-record line (without line end) of the type digit with the right count and checksum.
inline std::string srec(char type, const std::vector<uint8_t>& address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(address.size() + data.size() + 1)};
    bytes.insert(bytes.end(), address.begin(), address.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (const uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<uint8_t>(~sum));
    std::string line{'S', type};
    line += hexBytes(bytes);
    return line;
}

// Replaces every "%F" in the text with the file name.
inline std::string withFile(std::string text, const std::string& file) {
    for (std::size_t at = text.find("%F"); at != std::string::npos; at = text.find("%F", at + file.size())) {
        text.replace(at, 2, file);
    }
    return text;
}

// A stretch of set bytes that a reader is to give back.
struct Span {
    uint64_t start;
    std::vector<uint8_t> bytes;
};

// Checks that the importer gives the blocks, and the bytes of each span set.
inline void expectContent(const Io::Import::MorvaneImportApi& importer, const Blocks& blocks,
                          const std::vector<Span>& spans) {
    EXPECT_EQ(importer.getBlockList(), blocks);
    for (const Span& span : spans) {
        const Buffer::MemoryBuffer image = importer.getMemory(span.start, span.bytes.size());
        EXPECT_EQ(bytesOf(image), span.bytes) << "span at 0x" << std::hex << span.start;
        EXPECT_EQ(setFlagsOf(image), std::string(span.bytes.size(), '1'))
            << "span at 0x" << std::hex << span.start;
    }
    if (blocks.empty()) {
        EXPECT_EQ(importer.getDataLength(), 0u);
        EXPECT_EQ(importer.getMinAddress(), 0u);
    }
}

// The end of the message of both text readers for a record that is damaged or does not fit.
inline const std::string logicalError =
    " contains logical error. Please check line for Crc or Address/Type conflicts. Execution aboarded. The "
    "file was not parsed.\n";

// A file for a reader and what the reader is to make of it.
struct ReadCase {
    const char* name;
    std::string content;
    Blocks blocks;
    std::vector<Span> spans;
    std::string output;  // %F stands for the file name
    bool hasStart = false;
    uint64_t start = 0;
};

inline void PrintTo(const ReadCase& c, std::ostream* out) {
    *out << c.name;
}

template <class Reader>
class ReadTest : public HexfileTest, public ::testing::WithParamInterface<ReadCase> {
  protected:
    // Reads the case's content from a file of that name and checks what the reader prints and gives.
    void check(const std::string& name) {
        const ReadCase& c = GetParam();
        const std::string file = writeText(name, c.content);
        CoutCapture out;
        const Reader reader(file.c_str());
        EXPECT_EQ(out.take(), withFile(c.output, file));
        expectContent(reader, c.blocks, c.spans);
        EXPECT_EQ(reader.hasStartAddress(), c.hasStart);
        EXPECT_EQ(reader.getStartAddress(), c.start);
    }
};

}  // namespace hexfile_test
