#include "plugin/agent_process.h"

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

}  // namespace tunelight::plugin
