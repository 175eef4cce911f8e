// Giving the heap's free memory back to the system.
//
// A large request leaves its records freed but, with glibc, still resident:
// the allocator keeps freed chunks for reuse, most of them in the arenas of
// the pool's workers. release_free_heap(keep) hands every free page back
// (glibc's malloc_trim) once more than `keep` bytes lie free, so that the
// free memory of a mid-sized request stays warm for the next one. Where the
// C library has no such calls it does nothing. Safe from any thread; costs a
// walk of the allocator's free lists.
#pragma once

#include <cstddef>

namespace mellix {

void release_free_heap(std::size_t keep);

}  // namespace mellix
