#include "heap.hpp"

#include <cstdlib>  // with glibc, this defines __GLIBC__

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace mellix {

void release_free_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace mellix
