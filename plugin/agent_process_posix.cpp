#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "plugin/agent_process.h"

extern char** environ;

namespace tunelight::plugin {

namespace {

// Spawns argv[0] with stdin/stdout/stderr on /dev/null, so the child holds none of OBS's
// descriptors except those marked close-on-exec by their owners. Returns the errno on failure.
int spawn(const std::vector<std::string>& args, pid_t* pid, bool search_path = false) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  // The child starts with default signal handling whatever OBS installed.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  int rc = search_path ? posix_spawnp(pid, argv[0], &fa, &attr, argv.data(), environ)
                       : posix_spawn(pid, argv[0], &fa, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  return rc;
}

class PosixAgentProcess : public AgentProcess {
 public:
  explicit PosixAgentProcess(pid_t pid) : pid_(pid) {}

  uint32_t pid() const override { return static_cast<uint32_t>(pid_); }

  bool wait_exit(int timeout_ms) override {
    if (reaped_) return true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        if (WIFEXITED(status)) exit_code_ = WEXITSTATUS(status);
        return true;
      }
      if (r < 0 && errno == EINTR) continue;
      // ECHILD: someone else reaped it (or it is not our child): it is gone for us.
      if (r < 0) {
        reaped_ = true;
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  int exit_code() const override { return exit_code_; }

  void terminate() override {
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    for (;;) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, 0);
      if (r < 0 && errno == EINTR) continue;
      break;
    }
    reaped_ = true;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
  int exit_code_ = -1;
};

}  // namespace

const char* agent_executable_name() {
  return "tunelight-agent";
}

std::unique_ptr<AgentProcess> launch_agent_process(const AgentLaunchArgs& args,
                                                   unsigned long* error) {
  pid_t pid = -1;
  int rc = spawn({args.executable, "--token", args.token, "--port-file", args.port_file,
                  "--parent-pid", std::to_string(args.parent_pid), "--log-file", args.log_file},
                 &pid);
  if (rc != 0) {
    if (error) *error = static_cast<unsigned long>(rc);
    return nullptr;
  }
  return std::make_unique<PosixAgentProcess>(pid);
}

uint32_t current_process_id() {
  return static_cast<uint32_t>(getpid());
}

void open_folder(const std::string& utf8_path) {
  pid_t pid = -1;
  if (spawn({"xdg-open", utf8_path}, &pid, true) != 0) return;
  // Reap the opener in the background so it never lingers as a zombie of OBS.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

}  // namespace tunelight::plugin
