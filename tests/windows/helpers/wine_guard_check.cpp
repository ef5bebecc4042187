// Drives the media backend's fault guard: prints one line per case with what guard returned.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

#include "agent/sources/media_backend.h"

namespace {

volatile int* volatile gNull = nullptr;
volatile int gZero = 0;

}  // namespace

int main() {
  std::unique_ptr<tunelight::MediaBackend> backend = tunelight::makePlatformMediaBackend();
  auto runWithFaultGuard = [&](const std::function<void()>& body) { return backend->guard(body); };
  std::printf("clean=%08X\n", runWithFaultGuard([] {}));
  std::printf("write=%08X\n", runWithFaultGuard([] { *gNull = 1; }));
  std::printf("divide=%08X\n", runWithFaultGuard([] { gZero = 10 / gZero; }));
  // A language exception passes through the guard untouched.
  try {
    runWithFaultGuard([] { throw std::runtime_error("passed"); });
    std::printf("throw=none\n");
  } catch (const std::exception& e) {
    std::printf("throw=%s\n", e.what());
  }
  // Faults keep being caught after the first one, and locals around the guard survive.
  int survived = 0;
  for (int i = 0; i < 3; ++i) {
    if (runWithFaultGuard([] { *gNull = 2; }) == 0xC0000005) ++survived;
  }
  std::printf("repeat=%d\n", survived);
  std::fflush(stdout);
  return 0;
}
