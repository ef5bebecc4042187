// Drives the fault guard around raw calls and prints one line per case. With the argument
// "other-thread" it instead faults on a second thread while the main thread waits inside a
// guarded call: that fault must reach the process's last-chance filter, not the guard.
#include <malloc.h>  // _resetstkoflw
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "agent/sources/fault_guard_windows.h"

namespace {

using tunelight::guardedCall;

volatile int* volatile gNull = nullptr;
volatile int gZero = 0;
volatile bool gNever = false;

__attribute__((noinline)) int recurse(int depth) {
  volatile char pad[2048];
  pad[0] = static_cast<char>(depth);
  if (gNever) return 0;
  return recurse(depth + 1) + pad[0];
}

LONG WINAPI lastChance(EXCEPTION_POINTERS* info) {
  std::printf("unhandled=%08lX\n", info->ExceptionRecord->ExceptionCode);
  std::fflush(stdout);
  ExitProcess(3);
}

int otherThread() {
  SetUnhandledExceptionFilter(lastChance);
  auto wait = [] {
    for (;;) Sleep(100);
  };
  std::thread faulting([] {
    Sleep(200);
    *gNull = 3;
  });
  guardedCall(wait);
  faulting.join();
  std::printf("unhandled=none\n");
  return 0;
}

DWORD handleCount() {
  DWORD n = 0;
  GetProcessHandleCount(GetCurrentProcess(), &n);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "other-thread") == 0) return otherThread();

  auto clean = [] {};
  std::printf("clean=%08X\n", guardedCall(clean));
  auto divide = [] { gZero = 10 / gZero; };
  std::printf("divide=%08X\n", guardedCall(divide));

  // Three faults in a row, each inside a lock held by the caller: every one is caught, the lock
  // is free afterwards and no handle is left behind.
  std::mutex mu;
  { std::lock_guard<std::mutex> warm(mu); }
  auto write = [] { *gNull = 1; };
  DWORD before = handleCount();
  int caught = 0;
  for (int i = 0; i < 3; ++i) {
    std::lock_guard<std::mutex> lock(mu);
    if (guardedCall(write) == EXCEPTION_ACCESS_VIOLATION) ++caught;
  }
  DWORD after = handleCount();
  bool free = false;
  std::thread([&] {
    free = mu.try_lock();
    if (free) mu.unlock();
  }).join();
  std::printf("write=%d handles=%s lock=%s\n", caught, before == after ? "same" : "leaked",
              free ? "free" : "held");

  // Stack overflows, on a thread of its own as the watcher's calls are: the second and third
  // need the guard page re-armed after the first.
  std::printf("overflow=");
  std::thread([] {
    // Wine commits a thread's whole stack and puts its guard page at the very bottom, where too
    // little room is left to dispatch an overflow. A guard page just below the running frame
    // gives the layout Windows has, with the reserve of SetThreadStackGuarantee beneath it.
    _resetstkoflw();
    for (int i = 0; i < 3; ++i) {
      int depth = 0;
      auto deep = [&depth] { depth = recurse(1); };
      std::printf(i ? ",%08X" : "%08X", guardedCall(deep));
    }
  }).join();
  std::printf("\n");

  // A fault that system code handles itself never reaches the guard.
  BOOL bad = FALSE;
  auto probe = [&bad] { bad = IsBadReadPtr(reinterpret_cast<void*>(16), 4); };
  uint32_t probed = guardedCall(probe);
  std::printf("probe=%08X bad=%d\n", probed, bad ? 1 : 0);

  // A language exception passes through the guarded frame untouched.
  try {
    auto thrower = [] { throw std::runtime_error("passed"); };
    guardedCall(thrower);
    std::printf("throw=none\n");
  } catch (const std::exception& e) {
    std::printf("throw=%s\n", e.what());
  }
  std::fflush(stdout);
  return 0;
}
