#pragma once
// Allocations that fail on request, as an exhausted heap fails them: while a RefuseFrom lives, every
// allocation through operator new of its size or more throws std::bad_alloc (the nothrow forms give
// null). This header replaces the global operator new and delete, so exactly one source file of a
// test program includes it.

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

namespace refused_allocations {

inline std::size_t refusedFrom = std::numeric_limits<std::size_t>::max();

// Allocations of that size and more fail while it lives.
class RefuseFrom {
  public:
    explicit RefuseFrom(std::size_t size) { refusedFrom = size; }
    ~RefuseFrom() { refusedFrom = std::numeric_limits<std::size_t>::max(); }
    RefuseFrom(const RefuseFrom&) = delete;
    RefuseFrom& operator=(const RefuseFrom&) = delete;
};

inline void* allocateOrNull(std::size_t size) noexcept {
    return size < refusedFrom ? std::malloc(size == 0 ? 1 : size) : nullptr;
}

inline void* allocate(std::size_t size) {
    if (void* storage = allocateOrNull(size)) {
        return storage;
    }
    throw std::bad_alloc();
}

}  // namespace refused_allocations

void* operator new(std::size_t size) {
    return refused_allocations::allocate(size);
}
void* operator new[](std::size_t size) {
    return refused_allocations::allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return refused_allocations::allocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return refused_allocations::allocateOrNull(size);
}
void operator delete(void* storage) noexcept {
    std::free(storage);
}
void operator delete[](void* storage) noexcept {
    std::free(storage);
}
void operator delete(void* storage, std::size_t) noexcept {
    std::free(storage);
}
void operator delete[](void* storage, std::size_t) noexcept {
    std::free(storage);
}
void operator delete(void* storage, const std::nothrow_t&) noexcept {
    std::free(storage);
}
void operator delete[](void* storage, const std::nothrow_t&) noexcept {
    std::free(storage);
}
