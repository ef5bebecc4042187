#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/wait.h"

namespace tunelight::test {

// Built with a sanitizer, like the agent under test: its allocator keeps freed memory (and
// shadow memory grows with use), so memory figures say nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
#else
constexpr bool kSanitizedBuild = false;
#endif

// A fresh directory under the system temp dir, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// How often what occurs in text (overlapping occurrences count).
size_t countOf(const std::string& text, const std::string& what);

// The agent binary of this build (or $TUNELIGHT_AGENT when set).
std::string agentPath();

// A child process this test started; killed and reaped in the destructor if still running.
class ChildProcess {
 public:
  // Standard output and error go to outPath (or are discarded when empty).
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& outPath = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int pid() const { return pid_; }
  bool running();
  // Exit code once the process ended within timeoutMs; -1000 - signal when killed by a signal.
  std::optional<int> waitExit(int timeoutMs);
  void kill();

 private:
  int pid_ = -1;
  std::optional<int> exit_;
};

// Runs program to its end; true when it exited 0 within timeoutMs (it is killed otherwise).
inline bool runToSuccess(const std::string& program, const std::vector<std::string>& args,
                         int timeoutMs = 20000) {
  ChildProcess p(program, args);
  auto rc = p.waitExit(timeoutMs);
  return rc && *rc == 0;
}

// A running agent with --token, --port-file and --log-file in a temp dir.
struct RunningAgent {
  TempDir dir;
  std::string token = "test-token-0123456789abcdef";
  std::unique_ptr<ChildProcess> process;
  int port = 0;

  std::string portFile() const { return dir.file("agent.port"); }
  std::string logFile() const { return dir.file("agent.log"); }
  std::string log() const { return readFile(logFile()); }
};

// Starts the agent and waits up to timeoutMs for its port file; port stays 0 on failure.
// With $TUNELIGHT_AGENT_RUNNER set, the agent is started through that program (Wine's loader).
std::unique_ptr<RunningAgent> startAgent(const std::vector<std::string>& extraArgs = {},
                                         int timeoutMs = 5000);

// Reads a positive port number from the file, waiting up to timeoutMs; 0 on failure.
int waitForPortFile(const std::string& path, int timeoutMs);

}  // namespace tunelight::test
