#pragma once
// Storage for the large buffers of the hex-file library (file text, data bytes): from 2 MiB on it is
// mapped from the system and asked for huge pages, so that filling it costs a few hundred page faults
// instead of one per 4 KiB, and it goes back to the system as soon as it is freed. These buffers are
// written from end to end, so huge pages cost no extra memory.

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace Io {

// Maps zeroed storage of that many bytes; null when it cannot be had.
inline void* mapStorage(std::size_t bytes, bool hugePages) {
    void* storage = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (storage == MAP_FAILED) {
        return nullptr;
    }
    if (hugePages) {
        ::madvise(storage, bytes, MADV_HUGEPAGE);
    }
    return storage;
}

inline void unmapStorage(void* storage, std::size_t bytes) {
    ::munmap(storage, bytes);
}

template <class T>
struct LargeAllocator {
    using value_type = T;
    static constexpr std::size_t mappedFrom = 2u << 20;

    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_alloc();
        }
        const std::size_t bytes = n * sizeof(T);
        void* storage = bytes >= mappedFrom ? mapStorage(bytes, true) : std::malloc(bytes);
        if (storage == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(storage);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) >= mappedFrom) {
            unmapStorage(p, n * sizeof(T));
        } else {
            std::free(p);
        }
    }

    // A new element is default-initialised: the bytes of a buffer that is resized to be read into are
    // not written twice.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
    }

    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace Io
