#pragma once
// Input files for the KES2 and DRO tests, written as Motorola S3 records by hand (not by the library
// under test), and a scratch directory that goes away with the test.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace kes2dro_test {

using Bytes = std::vector<uint8_t>;
// A block of data at its first address.
using Block = std::pair<uint32_t, Bytes>;

// S3 records of at most 32 data bytes, then an S7 end record.
inline std::string srecordText(const std::vector<Block>& blocks) {
    std::string text;
    auto record = [&text](const char* type, uint32_t address, const uint8_t* data, size_t n) {
        const auto count = static_cast<unsigned>(n + 5);
        unsigned sum = count;
        char field[16];
        std::snprintf(field, sizeof field, "%s%02X%08X", type, count, address);
        text += field;
        for (int shift = 24; shift >= 0; shift -= 8) {
            sum += (address >> shift) & 0xFF;
        }
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(field, sizeof field, "%02X", data[i]);
            text += field;
            sum += data[i];
        }
        std::snprintf(field, sizeof field, "%02X\n", ~sum & 0xFF);
        text += field;
    };
    for (const Block& block : blocks) {
        for (size_t offset = 0; offset < block.second.size(); offset += 32) {
            const size_t n = std::min<size_t>(32, block.second.size() - offset);
            record("S3", block.first + static_cast<uint32_t>(offset), block.second.data() + offset, n);
        }
    }
    record("S7", 0, nullptr, 0);
    return text;
}

// n bytes of a pattern that differs from address to address and from seed to seed, never 0xFF.
inline Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + (i >> 8) + seed) % 0xFF);
    }
    return bytes;
}

class ScratchDirectory {
  public:
    ScratchDirectory() {
        std::string name = (std::filesystem::temp_directory_path() / "kes2dro-test-XXXXXX").string();
        if (::mkdtemp(name.data()) != nullptr) {
            path_ = name;
        }
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    std::string path(const std::string& name) const { return (path_ / name).string(); }

    std::string write(const std::string& name, const std::string& content) const {
        const std::string file = path(name);
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
    std::string writeSrecord(const std::string& name, const std::vector<Block>& blocks) const {
        return write(name, srecordText(blocks));
    }

  private:
    std::filesystem::path path_;
};

}  // namespace kes2dro_test
