#include "platform/large_storage.h"

#include <sys/mman.h>

#include <cstdlib>

namespace platform {

void* takeLargeStorage(std::size_t bytes) {
    if (bytes < kMappedFrom) {
        return std::calloc(bytes == 0 ? 1 : bytes, 1);
    }
    void* storage = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (storage == MAP_FAILED) {
        return nullptr;
    }
    if (bytes <= kHugePagesUpTo) {
        ::madvise(storage, bytes, MADV_HUGEPAGE);
    }
    return storage;
}

void giveBackLargeStorage(void* storage, std::size_t bytes) noexcept {
    if (storage == nullptr) {
        return;
    }
    if (bytes < kMappedFrom) {
        std::free(storage);
    } else {
        ::munmap(storage, bytes);
    }
}

}  // namespace platform
