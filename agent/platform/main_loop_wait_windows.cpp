#include <windows.h>

#include "agent/platform/main_loop_wait.h"
#include "agent/platform/parent_process.h"

namespace tunelight {

namespace {

// Auto-reset: a wake that comes before the wait stays set until the wait takes it.
HANDLE wakeEvent = nullptr;

}  // namespace

void initMainLoopWake() {
  if (!wakeEvent) wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

void wakeMainLoop() {
  if (wakeEvent) SetEvent(wakeEvent);
}

void waitMainLoop(const ParentProcess* parent, int timeoutMs) {
  HANDLE handles[2];
  DWORD n = 0;
  if (wakeEvent) handles[n++] = wakeEvent;
  if (parent && parent->endSignal() >= 0) {
    handles[n++] = reinterpret_cast<HANDLE>(parent->endSignal());
  }
  const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (n == 0) {
    Sleep(timeout == INFINITE ? 250 : timeout);
    return;
  }
  WaitForMultipleObjects(n, handles, FALSE, timeout);
}

}  // namespace tunelight
