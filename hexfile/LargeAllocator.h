#pragma once
// The allocator of the large buffers of the hex-file library (file text, data bytes): their storage
// comes from platform::takeLargeStorage, so a large one is mapped from the system and goes back to it
// as soon as it is freed.

#include <cstddef>
#include <new>

#include "platform/large_storage.h"

namespace Io {

template <class T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_alloc();
        }
        void* storage = platform::takeLargeStorage(n * sizeof(T));
        if (storage == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(storage);
    }
    void deallocate(T* p, std::size_t n) noexcept { platform::giveBackLargeStorage(p, n * sizeof(T)); }

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
