#pragma once

#include <cstdint>
#include <string>

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

// The file sink installed by main: one line per message appended to the log file (opened and
// closed for every line), or "[<level>] <message>" on standard error when no file is set.
void fileSink(int32_t level, const std::string& message);

// Path used by fileSink (UTF-8). Set once from --log-file before the sink is installed.
void setLogFilePath(const std::string& path);

}  // namespace tunelight
