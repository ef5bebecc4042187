#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace tunelight::test {

// Wall clock and sleep for a DemoSource under test. Sleeps advance the fake clock; they run
// freely up to a limit the test sets and block there, so the test sees a settled state.
class DemoFakeTime {
 public:
  static constexpr int64_t kStart = 1700000000000;

  int64_t now() {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
  }

  // Called at the start of every sleep step with the time it began at.
  std::function<void(int64_t)> onSleep;

  void sleep(int64_t ms) {
    if (onSleep) onSleep(now());
    std::unique_lock<std::mutex> lock(mu_);
    blocked_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return free_ || now_ + ms <= until_; });
    blocked_ = false;
    now_ += ms;
  }

  // Lets the sleeper run until the fake clock reaches t, then waits until it blocks there.
  void runUntil(int64_t t) {
    std::unique_lock<std::mutex> lock(mu_);
    until_ = t;
    cv_.notify_all();
    cv_.wait(lock, [&] { return blocked_ && now_ + 50 > until_; });
  }

  // Unblocks every sleep for good (before stopping the demo).
  void release() {
    std::lock_guard<std::mutex> lock(mu_);
    free_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int64_t now_ = kStart;
  int64_t until_ = kStart;
  bool blocked_ = false;
  bool free_ = false;
};

}  // namespace tunelight::test
