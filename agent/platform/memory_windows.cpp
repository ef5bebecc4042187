#include <malloc.h>

#include "agent/platform/memory.h"

namespace tunelight {

void releaseFreeMemory() {
  _heapmin();
}

}  // namespace tunelight
