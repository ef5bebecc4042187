#pragma once

// Waiting in tests: poll a condition until it holds or a time limit passes. Header-only and
// portable, so the Windows-built test programs use it too.

#include <chrono>
#include <thread>

namespace tunelight::test {

// Checks pred every step until it holds (true) or timeout has passed (false). pred is always
// checked once more after the last sleep, so a condition that came true at the deadline counts.
template <typename Pred>
bool waitUntil(Pred pred, std::chrono::steady_clock::duration timeout,
               std::chrono::steady_clock::duration step = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

// The same with plain milliseconds, as most tests count.
template <typename Pred>
bool waitUntil(Pred pred, int timeoutMs, int stepMs = 10) {
  return waitUntil(pred, std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(stepMs));
}

}  // namespace tunelight::test
