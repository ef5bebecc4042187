#pragma once

// What the module needs to reach and keep its agent: the port of its address, the token of a
// launch and the restart limit.

#include <chrono>
#include <string>

namespace tunelight::plugin {

// Decimal number after the last ':' of a base URL; 0 when there is none.
int port_of(const std::string& base_url);

// 32 lower-case hex digits from the system random device.
std::string make_token();

// At most 5 restarts within 60 s of the window start; the window is not moved by the restarts.
class RestartWindow {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kMaxRestarts = 5;
  static constexpr std::chrono::nanoseconds kWindow = std::chrono::seconds(60);

  explicit RestartWindow(Clock::time_point start) : start_(start) {}
  // True when a restart may happen now; counts it. count() then gives its number (1..5).
  bool allow(Clock::time_point now);
  int count() const { return count_; }

 private:
  Clock::time_point start_;
  int count_ = 0;
};

}  // namespace tunelight::plugin
