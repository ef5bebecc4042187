#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>

#include "agent/log.h"
#include "agent/thread_annotations.h"

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
  // Ends the worker at once and joins it. start and stop are called by the owner's thread.
  void stop();
  // UTF-8 directory; empty turns the output off. Files already written stay. The worker writes
  // into a new directory at once.
  void setDir(const std::string& dir);

  // One writing pass, as the worker runs it. Only for callers that did not start the worker.
  void writePass();

 private:
  void run();
  void warn(const std::string& message);

  Hub& hub_;
  const int recheckMs_;
  const MonotonicClock clock_;
  // Taken inside the Hub's listener call; never held while calling the Hub.
  Mutex mu_;
  CondVar wake_;  // signalled on a change of the Hub's document and on stop
  std::string outputDir_ GUARDED_BY(mu_);
  bool changed_ GUARDED_BY(mu_) = false;  // the document changed since the pass began
  bool stopping_ GUARDED_BY(mu_) = false;
  // Worker state (touched only by the writing pass):
  std::string lastDir_;  // directory the files were last written to; empty = none yet
  std::array<std::string, kFileCount> written_;  // signature of each file's last good write
  RepeatLimiter warnings_{1};
  // The owner's state (start and stop):
  std::optional<size_t> listener_;  // the Hub listener that wakes the worker
  std::thread worker_;
};

}  // namespace tunelight
