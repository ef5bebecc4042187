// Starts the agent the way the plugin does and reports each step on standard output:
//   wine-launch-check AGENT_EXE DIR
// launches AGENT_EXE with its port file and log in DIR (UTF-8 paths), prints its own error mode
// after the launch, waits for the port, then waits for the file DIR\done (the test talks to the
// agent meanwhile), ends the agent and tries to start a program that does not exist.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "agent/platform/command_line.h"
#include "plugin/agent_process.h"

namespace {

std::wstring widen(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], n);
  w.resize(w.size() - 1);
  return w;
}

std::string readAll(const std::string& path) {
  std::ifstream in(widen(path).c_str(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tunelight::plugin;
  std::vector<std::string> args = tunelight::utf8Arguments(argc, argv);
  if (args.size() < 3) return 1;
  const std::string dir = args[2];
  AgentLaunchArgs launch;
  launch.executable = args[1];
  launch.token = "launch-token-0123456789";
  launch.port_file = dir + "\\agent.port";
  launch.parent_pid = current_process_id();
  launch.log_file = dir + "\\agent.log";

  // The launch switches the error dialogs off for the child only: this process keeps its mode.
  SetErrorMode(SEM_NOOPENFILEERRORBOX);
  unsigned long error = 0;
  std::unique_ptr<AgentProcess> agent = launch_agent_process(launch, &error);
  std::printf("launched=%d pid=%s errormode=%u\n", agent ? 1 : 0,
              agent && agent->pid() > 0 ? "yes" : "no", GetErrorMode());
  std::fflush(stdout);
  if (!agent) return 1;
  std::string port;
  for (int i = 0; i < 200 && port.empty(); ++i) {
    if (agent->wait_exit(50)) break;
    port = readAll(launch.port_file);
  }
  std::printf("port=%s\nalive=%d\n", port.c_str(), agent->alive() ? 1 : 0);
  std::fflush(stdout);
  for (int i = 0;
       i < 300 && GetFileAttributesW(widen(dir + "\\done").c_str()) == INVALID_FILE_ATTRIBUTES;
       ++i) {
    Sleep(50);
  }
  agent->terminate();
  std::printf("ended=%d\n", agent->wait_exit(0) ? 1 : 0);

  launch.executable = dir + "\\missing-agent.exe";
  error = 0;
  std::unique_ptr<AgentProcess> missing = launch_agent_process(launch, &error);
  std::printf("missing=%d error=%lu\n", missing ? 1 : 0, error);
  std::fflush(stdout);
  return 0;
}
