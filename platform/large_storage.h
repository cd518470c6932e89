#pragma once
// Storage for large buffers that are filled once and freed whole (file text, data bytes, memory
// images). From kMappedFrom bytes on it is mapped from the system: it costs no pass to zero it, pages
// that are never written are never taken, and it goes back to the system as soon as it is given
// back. Mappings up to kHugePagesUpTo are asked for huge pages, so that filling them costs a few
// hundred page faults instead of one per 4 KiB; larger ones keep small pages, so that a buffer
// written only here and there takes memory near what is written. Smaller storage comes from the heap.

#include <cstddef>

namespace platform {

inline constexpr std::size_t kMappedFrom = std::size_t{2} << 20;
inline constexpr std::size_t kHugePagesUpTo = std::size_t{256} << 20;

// Zeroed storage of that many bytes (0 gives a valid block of its own); null when it cannot be had.
void* takeLargeStorage(std::size_t bytes);
// Gives back storage of takeLargeStorage with the size it was taken with; null is ignored.
void giveBackLargeStorage(void* storage, std::size_t bytes) noexcept;

}  // namespace platform
