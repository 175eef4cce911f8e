// Replaces the global allocator of the test executable whose one source file
// includes this: allocations can be counted and made to fail on demand.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace replaced_allocator {
inline long allocations_left = -1;  // before the next one fails; negative: never fail
inline bool counting = false;
inline std::size_t count = 0;
inline std::size_t last_size = 0;

inline void* allocate(std::size_t size) {
  if (allocations_left == 0) throw std::bad_alloc();
  if (allocations_left > 0) --allocations_left;
  if (counting) {
    ++count;
    last_size = size;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace replaced_allocator

// The array and nothrow forms too: simdjson allocates with the nothrow ones,
// and a sanitizer runtime would otherwise supply them, bypassing the count and
// pairing its own allocation with the free below.
void* operator new(std::size_t size) {
  return replaced_allocator::allocate(size);
}
void* operator new[](std::size_t size) {
  return replaced_allocator::allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return replaced_allocator::allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
