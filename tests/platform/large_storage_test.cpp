#include "platform/large_storage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using platform::giveBackLargeStorage;
using platform::kHugePagesUpTo;
using platform::kMappedFrom;
using platform::takeLargeStorage;

// Whether every byte of the block is 0: each byte of a small block, one a page of a large one (a
// mapped block is zeroed by the page).
bool isZeroed(const unsigned char* block, std::size_t bytes) {
    const std::size_t step = bytes < kMappedFrom ? 1 : 4096;
    for (std::size_t i = 0; i < bytes; i += step) {
        if (block[i] != 0) {
            return false;
        }
    }
    return bytes == 0 || block[bytes - 1] == 0;
}

// Sizes on both sides of where the heap gives way to mappings and mappings lose their huge pages.
const std::size_t kSizes[] = {
    0, 1, 4096, kMappedFrom - 1, kMappedFrom, kMappedFrom + 1, kHugePagesUpTo + 4096};

TEST(LargeStorage, EverySizeComesZeroedAndGoesBackWithItsSize) {
    for (const std::size_t bytes : kSizes) {
        auto* block = static_cast<unsigned char*>(takeLargeStorage(bytes));
        ASSERT_NE(block, nullptr) << bytes;
        EXPECT_TRUE(isZeroed(block, bytes)) << bytes;
        if (bytes != 0) {
            block[0] = 0xA5;
            block[bytes - 1] = 0x5A;
        }
        // Freed the way it was taken: a heap block given to munmap or a mapping given to free would
        // be reported by the address sanitizer or leave the mapping in place.
        giveBackLargeStorage(block, bytes);
    }
    giveBackLargeStorage(nullptr, kMappedFrom);
}

TEST(LargeStorage, HeapStorageTakenAgainAfterUseIsZeroedAgain) {
    // The heap hands the same block back; it must not come with the bytes of its last use.
    for (const std::size_t bytes : {std::size_t{64}, std::size_t{100000}, kMappedFrom - 1}) {
        auto* block = static_cast<unsigned char*>(takeLargeStorage(bytes));
        ASSERT_NE(block, nullptr);
        std::memset(block, 0xFF, bytes);
        giveBackLargeStorage(block, bytes);
        block = static_cast<unsigned char*>(takeLargeStorage(bytes));
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(isZeroed(block, bytes)) << bytes;
        giveBackLargeStorage(block, bytes);
    }
}

// The VmFlags of the mapping that holds address, from /proc/self/smaps; empty when not found.
std::string mappingFlags(const void* address) {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    bool inside = false;
    std::string line;
    while (std::getline(smaps, line)) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> start >> dash >> end && dash == '-') {
            inside = start <= at && at < end;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line + " ";
        }
    }
    return {};
}

TEST(LargeStorage, MappingsUpToTheLimitAskForHugePages) {
    if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled")) {
        GTEST_SKIP() << "no transparent huge pages on this system";
    }
    for (const std::size_t bytes : {kMappedFrom, kHugePagesUpTo}) {
        void* block = takeLargeStorage(bytes);
        ASSERT_NE(block, nullptr);
        EXPECT_NE(mappingFlags(block).find(" hg "), std::string::npos) << bytes << mappingFlags(block);
        giveBackLargeStorage(block, bytes);
    }
    void* block = takeLargeStorage(kHugePagesUpTo + 4096);
    ASSERT_NE(block, nullptr);
    const std::string flags = mappingFlags(block);
    EXPECT_NE(flags, "");
    EXPECT_EQ(flags.find(" hg "), std::string::npos) << flags;
    giveBackLargeStorage(block, kHugePagesUpTo + 4096);
}

}  // namespace
