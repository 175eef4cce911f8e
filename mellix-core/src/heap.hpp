// Giving the heap's free memory back to the system.
//
// A large request leaves its records freed but, with glibc, still resident:
// the allocator keeps freed chunks for reuse, most of them in the arenas of
// the pool's workers, which never shrink below a chunk still in use.
// release_free_heap() hands every free page back (glibc's malloc_trim);
// where the C library has no such call it does nothing. Safe from any
// thread; costs a walk of the allocator's free lists.
#pragma once

namespace mellix {

void release_free_heap();

}  // namespace mellix
