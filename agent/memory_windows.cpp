#include <malloc.h>

#include "agent/memory.h"

namespace tunelight {

void releaseFreeMemory() {
  _heapmin();
}

}  // namespace tunelight
