#include "agent/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

#include "agent/platform/fs.h"

namespace tunelight {

namespace {

// Remembered messages beyond this are forgotten once their minute is over, so that a stream of
// distinct warnings (one per failed URL) cannot grow the table without bound.
constexpr size_t kMaxRemembered = 256;

std::atomic<LogSink> gSink{&defaultSink};
Mutex gFileMutex;
// Replaced by setLogFilePath; the lock guards the pointer, not the file.
std::shared_ptr<LogFile> gLogFile GUARDED_BY(gFileMutex);

std::shared_ptr<LogFile> currentLogFile() {
  MutexLock lock(gFileMutex);
  if (!gLogFile) gLogFile = std::make_shared<LogFile>("");
  return gLogFile;
}

}  // namespace

const char* logLevelName(int32_t level) {
  switch (level) {
    case kLogDebug:
      return "debug";
    case kLogWarning:
      return "warning";
    case kLogError:
      return "error";
    default:
      return "info";
  }
}

void log(int32_t level, const std::string& message) {
  gSink.load()(level, message);
}

LogSink setSink(LogSink sink) {
  return gSink.exchange(sink ? sink : &defaultSink);
}

void defaultSink(int32_t level, const std::string& message) {
  std::fprintf(stderr, "[tunelight %s] %s\n", logLevelName(level), message.c_str());
}

void setLogFilePath(const std::string& path) {
  auto file = std::make_shared<LogFile>(path);
  MutexLock lock(gFileMutex);
  gLogFile = std::move(file);
}

void fileSink(int32_t level, const std::string& message) {
  try {
    currentLogFile()->write(level, message);
  } catch (...) {
    // Logging never fails its caller; a line that cannot be written is lost.
  }
}

int64_t monotonicNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

LogFile::LogFile(std::string path, uint64_t capBytes, MonotonicClock clock)
    : path_(std::move(path)), capBytes_(capBytes), clock_(std::move(clock)) {}

void LogFile::write(int32_t level, const std::string& message) {
  MutexLock lock(mu_);
  const std::string line = std::string("[") + logLevelName(level) + "] " + message;
  if (level < kLogWarning) {
    append(line);
    return;
  }
  std::string text;
  if (repeats_.admit(line, clock_(), text)) append(text);
}

bool RepeatLimiter::admit(const std::string& message, int64_t nowMs, std::string& text) {
  auto it = seen_.find(message);
  if (it != seen_.end() && nowMs - it->second.windowStart < kWindowMs) {
    if (it->second.inWindow >= burst_) {
      ++it->second.leftOut;
      return false;
    }
    ++it->second.inWindow;
  } else {
    if (it == seen_.end()) {
      if (seen_.size() >= kMaxRemembered) {
        for (auto s = seen_.begin(); s != seen_.end();)
          s = nowMs - s->second.windowStart >= kWindowMs ? seen_.erase(s) : std::next(s);
        if (seen_.size() >= kMaxRemembered) seen_.clear();
      }
      it = seen_.emplace(message, Seen{}).first;
    }
    it->second.windowStart = nowMs;
    it->second.inWindow = 1;
  }
  text = message;
  if (it->second.leftOut > 0) {
    text += " (" + std::to_string(it->second.leftOut) + " more since the last such line)";
    it->second.leftOut = 0;
  }
  return true;
}

void LogFile::append(const std::string& line) {
  if (path_.empty()) {
    std::fprintf(stderr, "%s\n", line.c_str());
    return;
  }
  const std::filesystem::path path = pathFromUtf8(path_);
  const uint64_t size = fileSize(path);
  if (size > 0 && size + line.size() + 1 > capBytes_) {
    std::filesystem::path older = path;
    older += ".1";
    // Where the rename is refused, starting afresh still keeps the file bounded.
    if (!moveFile(path, older)) removeFile(path);
  }
  // Binary: the same "\n" line ends on every platform. A file that cannot be opened loses the
  // line silently.
  std::ofstream out(path, std::ios::app | std::ios::binary);
  if (!out) return;
  out << line << '\n';
}

}  // namespace tunelight
