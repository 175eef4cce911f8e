#include "system/heap.hpp"

#include <cstdlib>  // with glibc, this defines __GLIBC__

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace mellix {

void release_free_heap(std::size_t keep) {
#if defined(__GLIBC__)
  if (mallinfo2().fordblks > keep) malloc_trim(0);
#else
  (void)keep;
#endif
}

}  // namespace mellix
