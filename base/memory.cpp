#include "base/memory.h"

#include <cstdlib>  // defines __GLIBC__ where it applies

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace korza {

void keepLargeBlocksMapped() {
#if defined(__GLIBC__)
  // The allocator's own starting value; setting it stops the threshold from
  // rising to the size of the largest block freed so far.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

void returnFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace korza
