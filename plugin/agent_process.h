#pragma once

// The plugin's process and shell seam: starting, watching and ending the agent, and opening a
// folder in the desktop's file browser. One implementation file per platform
// (agent_process_posix.cpp, agent_process_windows.cpp); the platform-neutral helpers below live
// in agent_process_common.cpp.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace tunelight::plugin {

// File name of the agent program, which is delivered beside the module:
// "tunelight-agent" on POSIX systems, "tunelight-agent.exe" on Windows.
const char* agent_executable_name();

// The directory part of module_path (up to and including the last '/' or '\\') followed by
// agent_executable_name(); the bare name when module_path has no separator.
std::string agent_executable_path(const std::string& module_path);

// What the agent is started with. All texts are UTF-8.
struct AgentLaunchArgs {
  std::string executable;
  std::string token;
  std::string port_file;
  uint32_t parent_pid = 0;
  std::string log_file;
};

// The whole command line as one UTF-8 text, for platforms that take a single string:
//   "EXE" --token TOKEN --port-file "PORT_FILE" --parent-pid PID --log-file "LOG_FILE"
// The three paths are quoted and not escaped further.
std::string agent_command_line(const AgentLaunchArgs& args);

// The agent's exit code after a caught fault in the system's media runtime: the runtime may be
// left with its own locks held, so the agent ends instead of calling into it again, and a fresh
// agent is started (within the usual restart limit).
constexpr int kAgentExitRestart = 3;

// A started agent. Destroying the object releases its handles; it does not end the process.
class AgentProcess {
 public:
  virtual ~AgentProcess() = default;
  virtual uint32_t pid() const = 0;
  // True when the process has ended, waiting up to timeout_ms for that (0 only polls).
  // On POSIX an ended child is reaped here.
  virtual bool wait_exit(int timeout_ms) = 0;
  bool alive() { return !wait_exit(0); }
  // The exit code once wait_exit has seen the end; -1 while running or when it is not known
  // (ended by a signal, reaped elsewhere).
  virtual int exit_code() const = 0;
  // 0 when the process cannot outlive this one (on Windows: it is in the kill-on-close job), or
  // when the platform has no such tie; else the platform's error code of the failed attempt.
  virtual unsigned long untied_error() const { return 0; }
  // Ends the process at once (exit code 0 where the platform lets the caller choose) and, on
  // POSIX, reaps it. Does nothing when it has already ended.
  virtual void terminate() = 0;
};

// Starts args.executable with the options --token, --port-file, --parent-pid and --log-file
// (in that order, each followed by its value), without a console window, with the inherited
// environment and working directory and no inherited handles. Returns null on failure and sets
// *error (when not null) to the platform's error code (errno on POSIX, GetLastError on Windows).
std::unique_ptr<AgentProcess> launch_agent_process(const AgentLaunchArgs& args,
                                                   unsigned long* error);

// A positive port read from the file, or 0: one decimal number after optional blanks.
int read_port_file(const std::string& path);

// Follows one started agent until it ends: learns its port from the port file whenever the file
// appears while the process lives (a first start can be slow: a virus scan of a new program, a
// busy disk), and tells when it has ended.
class AgentWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a launch waits for the port before it calls the start slow and goes on without it.
  static constexpr std::chrono::milliseconds kLaunchWait{5000};

  enum class Event {
    None,       // nothing new: still waiting for the port, or running with it
    PortKnown,  // the port has just been read; port() gives it
    Slow,       // kLaunchWait passed without a port while the process lives (reported once)
    Ended,      // the process has ended (reported on every check from then on)
  };

  AgentWatch(AgentProcess& process, std::string port_path, Clock::time_point launched)
      : process_(process), port_path_(std::move(port_path)), launched_(launched) {}
  Event check(Clock::time_point now);
  int port() const { return port_; }

 private:
  AgentProcess& process_;
  std::string port_path_;
  Clock::time_point launched_;
  int port_ = 0;
  bool slow_told_ = false;
};

// This process's id (OBS's own, when running inside OBS).
uint32_t current_process_id();

// Opens a directory in the desktop's file browser without waiting for it. Failures are ignored.
void open_folder(const std::string& utf8_path);

}  // namespace tunelight::plugin
