#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "agent/log.h"

namespace tunelight {

class Hub;

// The 67-byte PNG (1 x 1, RGBA, fully transparent) written as "cover.jpg" when there is no cover.
const std::string& blankCoverPng();

// "artist — title"; just the artist without a title, otherwise just the title.
std::string trackLine(const std::string& artist, const std::string& title);

// Keeps the text files of the configured directory in step with the Hub.
class TextOutput {
 public:
  static constexpr int kFileCount = 6;
  static const std::array<const char*, kFileCount> kFileNames;

  // recheckMs: how long the worker waits for a change before comparing again. clock times the
  // warnings: one that persists is logged once a minute, not on every pass.
  explicit TextOutput(Hub& hub, int recheckMs = 1000, MonotonicClock clock = monotonicNowMs);
  ~TextOutput();
  TextOutput(const TextOutput&) = delete;
  TextOutput& operator=(const TextOutput&) = delete;

  void start();
  // Ends the worker at once (it wakes every waiter of the Hub to do so) and joins it.
  void stop();
  // UTF-8 directory; empty turns the output off. Files already written stay.
  void setDir(const std::string& dir);

  // One writing pass, as the worker runs it. Only for callers that did not start the worker.
  void writePass();

 private:
  void run();
  void warn(const std::string& message);

  Hub& hub_;
  const int recheckMs_;
  std::mutex dirLock_;
  std::string outputDir_;  // guarded by dirLock_
  // Worker state (touched only by the writing pass):
  std::string lastDir_;  // directory the files were last written to; empty = none yet
  std::array<std::string, kFileCount> written_;  // signature of each file's last good write
  const MonotonicClock clock_;
  RepeatLimiter warnings_{1};
  std::atomic<bool> stopFlag_{false};
  std::thread worker_;
};

}  // namespace tunelight
