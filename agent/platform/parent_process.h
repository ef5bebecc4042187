#pragma once

#include <cstdint>
#include <memory>

namespace tunelight {

// A handle on the process that started the agent, held from the first check on so that a
// recycled pid is never mistaken for it.
class ParentProcess {
 public:
  virtual ~ParentProcess() = default;
  // Zero-timeout check; false once the process has ended.
  virtual bool running() = 0;
  // What a wait can watch for the process's end: a descriptor that polls readable (POSIX) or a
  // handle that becomes signalled (Windows); -1 where only running() can tell.
  virtual intptr_t endSignal() const { return -1; }
};

// Opens pid with the right to wait on it. A pid that cannot be opened gives a handle whose
// running() is false.
std::unique_ptr<ParentProcess> openParentProcess(int32_t pid);

}  // namespace tunelight
