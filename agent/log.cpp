#include "agent/log.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace tunelight {

namespace {

std::atomic<LogSink> gSink{&defaultSink};
std::mutex gFileMutex;     // serialises whole lines of the file sink
std::string gLogFilePath;  // guarded by gFileMutex

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
  std::lock_guard<std::mutex> lock(gFileMutex);
  gLogFilePath = path;
}

void fileSink(int32_t level, const std::string& message) {
  std::lock_guard<std::mutex> lock(gFileMutex);
  if (gLogFilePath.empty()) {
    std::fprintf(stderr, "[%s] %s\n", logLevelName(level), message.c_str());
    return;
  }
  // Opened and closed per line so the file can be moved or deleted while the agent runs.
  // Binary: the same "\n" line ends on every platform.
  std::ofstream out(std::filesystem::u8path(gLogFilePath), std::ios::app | std::ios::binary);
  if (!out) return;
  out << '[' << logLevelName(level) << "] " << message << '\n';
}

}  // namespace tunelight
