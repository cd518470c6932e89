#pragma once
// Helpers of the bootloader's packet services (BB <sub> address pages ...) shared by the ECU classes:
// request header, address and progress arithmetic, and the range and page-count refusals.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <vector>

namespace ecupacket {

inline constexpr uint64_t kAddressSpace = 0x100000000ull;
// The page count travels in one byte.
inline constexpr uint32_t kMaxPages = 255;

// A byte for a hexadecimal stream (not a character).
inline unsigned int hexByte(uint8_t b) {
    return static_cast<unsigned int>(b);
}

inline uint32_t low32(uint64_t value) {
    return static_cast<uint32_t>(value & 0xFFFFFFFFu);
}

// Percentage of done in total, without overflow for any 64-bit values below 2^57.
inline uint32_t percentOf(uint64_t done, uint64_t total) {
    return static_cast<uint32_t>(done * 100 / total);
}

// The bytes of packetHeader, before the data of a write.
inline constexpr uint64_t kPacketHeaderLength = 7;

// BB <sub> and the address big-endian, then the page byte.
inline std::vector<uint8_t> packetHeader(uint8_t subFunction, uint32_t address, uint32_t pages) {
    return {0xBB,
            subFunction,
            static_cast<uint8_t>(address >> 24),
            static_cast<uint8_t>(address >> 16),
            static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address),
            static_cast<uint8_t>(pages)};
}

// Appends [first, last) to a request. Reserving first keeps GCC 12's optimiser from warning about
// the reallocation path of insert (a false -Warray-bounds).
template <typename It>
inline void appendBytes(std::vector<uint8_t>& request, It first, It last) {
    request.reserve(request.size() + static_cast<std::size_t>(std::distance(first, last)));
    request.insert(request.end(), first, last);
}

// More than kMaxPages is refused on errorOut ("Incorrect number of pages: ").
// Called before a check prints its refusal (for example to close a progress bar first).
using BeforeRefusal = std::function<void()>;

bool checkPageCount(uint32_t pages, const BeforeRefusal& before = {});
// A range must end at or below 2^32, or the request addresses would wrap: a start at or above it is
// refused with startText and the address, a length past it with "Incorrect data length: 0x".
bool checkAddressRange(uint64_t address, uint64_t length, const char* startText = "Incorrect start Addr.: 0x",
                       const BeforeRefusal& before = {});

// Whether a write request of dataBytes bytes after the packet header fits one message of maxRequest
// bytes (0: no limit).
inline bool fitsOneMessage(uint64_t dataBytes, uint64_t maxRequest) {
    return maxRequest == 0 || kPacketHeaderLength + dataBytes <= maxRequest;
}

// A write whose requests carry dataBytes bytes after the packet header must fit one message of
// maxRequest bytes (fitsOneMessage), or the first request could not even be sent: refused on errorOut
// ("Request too long: 0x", the request's length, and the most a message carries).
bool checkRequestLength(uint64_t dataBytes, uint64_t maxRequest, const BeforeRefusal& before = {});

// The checks a write in packets makes before anything is sent: the page count, a length that is a
// non-zero multiple of pages x pageSize, a start aligned to pageSize and to startUnit, a range inside
// the address space and data that covers the length. Each refusal prints its line on errorOut; a
// refused start (misaligned or at or above 2^32) with startText and the address. Without wholePackets
// any non-zero length is taken.
bool checkPacketWrite(const std::vector<uint8_t>& data, uint64_t startAddress, uint64_t length,
                      uint32_t pages, uint32_t pageSize, const char* startText = "Incorrect start Addr.: 0x",
                      uint64_t startUnit = 1, bool wholePackets = true, const BeforeRefusal& before = {});

// The checks a read in packets of pages x pageSize bytes makes before anything is sent: the page
// count, a length that is a non-zero multiple of the packet, a range inside the address space and an
// output buffer of outSize bytes that holds the length. Each refusal prints its line on errorOut.
bool checkPacketRead(std::size_t outSize, uint64_t address, uint64_t length, uint32_t pages,
                     uint32_t pageSize, const BeforeRefusal& before = {});

}  // namespace ecupacket
