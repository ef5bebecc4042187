#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "agent/clock.h"
#include "agent/thread_annotations.h"

namespace tunelight {

class Hub;

// One of the demo's generated covers: a 400 x 400 diagonal gradient with a large letter.
std::string demoCoverSvg(const std::string& topColour, const std::string& bottomColour,
                         const std::string& letter);

// Feeds the Hub a scripted sequence of songs while switched on, repeating every 50 s.
class DemoSource {
 public:
  static constexpr const char* kSourceKey = "mock:demo";
  // Sleeps for the given milliseconds on the monotonic clock.
  using SleepFn = std::function<void(int64_t ms)>;

  // clock gives "now" for positions; sleep is called in steps of 50 ms. Both are injected so
  // tests can run the script without waiting.
  explicit DemoSource(Hub& hub, WallClock clock = wallNowMs, SleepFn sleep = nullptr);
  ~DemoSource();
  DemoSource(const DemoSource&) = delete;
  DemoSource& operator=(const DemoSource&) = delete;

  // Starts the worker unless it runs. start and stop may be called in any order from any
  // thread (not from the worker itself).
  void start();
  // Ends the worker within about 50 ms and removes the demo record from the Hub.
  void stop();

 private:
  void run();
  void script();
  // Sleeps ms in steps of 50 ms; false as soon as a stop was requested.
  bool sleepFor(int64_t ms);

  Hub& hub_;
  const WallClock clock_;
  const SleepFn sleep_;
  Mutex runMu_;  // serialises start and stop; the worker never takes it
  std::atomic<bool> stopFlag_{false};
  std::thread worker_ GUARDED_BY(runMu_);
};

}  // namespace tunelight
