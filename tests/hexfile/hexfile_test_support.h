#pragma once
// Fixture and helpers of the hex-file library tests: a scratch directory per test, files written
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
#include "tests/support/shared_names.h"

namespace Io::Import {

inline void PrintTo(const BlockStartLengthPair& block, std::ostream* out) {
    *out << std::hex << "{0x" << block.start << ", 0x" << block.length << "}" << std::dec;
}

}  // namespace Io::Import

namespace hexfile_test {

using Blocks = std::deque<Io::Import::BlockStartLengthPair>;
using testing_support::CoutCapture;

class HexfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The library leaves standard output in hexadecimal; every test starts from decimal.
        std::cout.flags(std::ios::dec);
        std::string pattern = (std::filesystem::temp_directory_path() / "hexfile-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory = pattern;
    }
    void TearDown() override {
        std::cout.flags(std::ios::dec);
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::string path(const std::string& name) const { return (directory / name).string(); }

    std::string write(const std::string& name, const std::string& content) const {
        const std::string file = path(name);
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // The names in the scratch directory, hidden ones included.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    std::filesystem::path directory;
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
