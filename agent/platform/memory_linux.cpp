#include "agent/platform/memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tunelight {

void releaseFreeMemory() {
#if defined(__GLIBC__)
  // glibc keeps freed memory in every thread's arena; trimming returns whole free pages of all
  // arenas, not just the top of the main heap.
  malloc_trim(0);
#endif
}

}  // namespace tunelight
