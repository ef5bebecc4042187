#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "agent/thread_annotations.h"

namespace tunelight {

enum LogLevel : int32_t { kLogDebug = 0, kLogInfo = 1, kLogWarning = 2, kLogError = 3 };

using LogSink = void (*)(int32_t level, const std::string& message);

// "debug", "info", "warning", "error"; unknown levels are named "info".
const char* logLevelName(int32_t level);

// Passes the message to the current sink. Never fails.
void log(int32_t level, const std::string& message);

// Atomically replaces the sink and returns the previous one; nullptr installs the default sink.
LogSink setSink(LogSink sink);

// The default sink: "[tunelight <level>] <message>" on standard error.
void defaultSink(int32_t level, const std::string& message);

// The file sink installed by main: a LogFile for the path set with setLogFilePath.
void fileSink(int32_t level, const std::string& message);

// Path used by fileSink (UTF-8). Set once from --log-file before the sink is installed.
void setLogFilePath(const std::string& path);

// Milliseconds of a monotonic clock (injected by tests).
using MonotonicClock = std::function<int64_t()>;
int64_t monotonicNowMs();

// Lets an identical message through at most `burst` times per minute. Repeats beyond that are
// left out and counted; the count goes with the next copy let through. Not thread-safe.
class RepeatLimiter {
 public:
  static constexpr int64_t kWindowMs = 60000;

  explicit RepeatLimiter(int burst) : burst_(burst) {}
  // True when the message may be logged now; then text is the message, followed by the number
  // of copies left out since the last one let through, if any.
  bool admit(const std::string& message, int64_t nowMs, std::string& text);

 private:
  struct Seen {
    int64_t windowStart = 0;
    int inWindow = 0;
    uint64_t leftOut = 0;
  };
  const int burst_;
  std::map<std::string, Seen> seen_;
};

// One line per message, "[<level>] <message>", appended to a file that is opened and closed for
// every line (so it can be read, moved or deleted while the agent runs), or written to standard
// error when the path is empty. Two rules keep the file small:
// - a line that would take the file past capBytes first renames it to "<path>.1" (replacing an
//   older one), and a new file is started;
// - an identical warning or error is written at most three times a minute (the watcher's own
//   rule allows three in a row); further copies are counted (RepeatLimiter).
// Thread-safe; lines never interleave.
class LogFile {
 public:
  static constexpr uint64_t kDefaultCapBytes = 1024 * 1024;
  static constexpr int kRepeatBurst = 3;

  explicit LogFile(std::string path, uint64_t capBytes = kDefaultCapBytes,
                   MonotonicClock clock = monotonicNowMs);
  void write(int32_t level, const std::string& message);

 private:
  void append(const std::string& line) REQUIRES(mu_);

  Mutex mu_;
  const std::string path_;
  const uint64_t capBytes_;
  const MonotonicClock clock_;
  RepeatLimiter repeats_ GUARDED_BY(mu_) = RepeatLimiter(kRepeatBurst);
};

}  // namespace tunelight
