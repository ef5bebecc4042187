#include "tests/support/agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tunelight::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "tunelight-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool fileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string agentPath() {
  const char* env = std::getenv("TUNELIGHT_AGENT");
  return env && *env ? env : TUNELIGHT_AGENT_PATH;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& outPath) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  const char* out = outPath.empty() ? "/dev/null" : outPath.c_str();
  posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  pid_ = pid;
}

ChildProcess::~ChildProcess() {
  if (!exit_) {
    kill();
    waitExit(5000);
  }
}

bool ChildProcess::running() {
  if (exit_) return false;
  return !waitExit(0).has_value();
}

std::optional<int> ChildProcess::waitExit(int timeoutMs) {
  if (exit_) return exit_;
  bool failed = false;
  waitUntil(
      [&] {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
        failed = r < 0 && errno != EINTR;
        return exit_.has_value() || failed;
      },
      timeoutMs, 5);
  return exit_;
}

void ChildProcess::kill() {
  if (!exit_ && pid_ > 0) ::kill(pid_, SIGKILL);
}

int waitForPortFile(const std::string& path, int timeoutMs) {
  int port = 0;
  waitUntil([&] { return (port = std::atoi(readFile(path).c_str())) > 0; }, timeoutMs);
  return port > 0 ? port : 0;
}

std::unique_ptr<RunningAgent> startAgent(const std::vector<std::string>& extraArgs, int timeoutMs) {
  auto a = std::make_unique<RunningAgent>();
  std::vector<std::string> args = {"--token",     a->token,     "--port-file",
                                   a->portFile(), "--log-file", a->logFile()};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  // A runner such as Wine's loader goes first, with the agent as its first argument.
  std::string program = agentPath();
  if (const char* runner = std::getenv("TUNELIGHT_AGENT_RUNNER"); runner && *runner) {
    args.insert(args.begin(), program);
    program = runner;
  }
  a->process = std::make_unique<ChildProcess>(program, args, a->dir.file("stderr.txt"));
  a->port = waitForPortFile(a->portFile(), timeoutMs);
  return a;
}

}  // namespace tunelight::test
