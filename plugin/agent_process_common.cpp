#include "plugin/agent_process.h"

#include <filesystem>
#include <fstream>

namespace tunelight::plugin {

std::string agent_executable_path(const std::string& module_path) {
  size_t sep = module_path.find_last_of("/\\");
  if (sep == std::string::npos) return agent_executable_name();
  return module_path.substr(0, sep + 1) + agent_executable_name();
}

std::string agent_command_line(const AgentLaunchArgs& args) {
  std::string cmd;
  cmd += '"';
  cmd += args.executable;
  cmd += "\" --token ";
  cmd += args.token;
  cmd += " --port-file \"";
  cmd += args.port_file;
  cmd += "\" --parent-pid ";
  cmd += std::to_string(args.parent_pid);
  cmd += " --log-file \"";
  cmd += args.log_file;
  cmd += '"';
  return cmd;
}

int read_port_file(const std::string& path) {
  // Paths are UTF-8; on Windows a plain string would be read in the ANSI code page.
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  if (!in) return 0;
  long port = 0;
  if (!(in >> port) || port <= 0 || port > 65535) return 0;
  return static_cast<int>(port);
}

AgentWatch::Event AgentWatch::check(Clock::time_point now) {
  if (port_ == 0) {
    port_ = read_port_file(port_path_);
    if (port_ > 0) return Event::PortKnown;
  }
  if (!process_.alive()) return Event::Ended;
  if (port_ == 0 && !slow_told_ && now - launched_ >= kLaunchWait) {
    slow_told_ = true;
    return Event::Slow;
  }
  return Event::None;
}

}  // namespace tunelight::plugin
