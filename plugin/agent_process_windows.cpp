#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <string>
#include <vector>

#include "agent/utf16_windows.h"
#include "plugin/agent_process.h"

namespace tunelight::plugin {

namespace {

class WindowsAgentProcess : public AgentProcess {
 public:
  WindowsAgentProcess(HANDLE process, HANDLE thread, DWORD pid)
      : process_(process), thread_(thread), pid_(pid) {}
  ~WindowsAgentProcess() override {
    CloseHandle(thread_);
    CloseHandle(process_);
  }
  WindowsAgentProcess(const WindowsAgentProcess&) = delete;
  WindowsAgentProcess& operator=(const WindowsAgentProcess&) = delete;

  uint32_t pid() const override { return pid_; }

  bool wait_exit(int timeout_ms) override {
    DWORD ms = timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms);
    return WaitForSingleObject(process_, ms) == WAIT_OBJECT_0;
  }

  int exit_code() const override {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_, &code) || code == STILL_ACTIVE) return -1;
    return static_cast<int>(code);
  }

  void terminate() override {
    if (wait_exit(0)) return;
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, 5000);
  }

 private:
  HANDLE process_;
  HANDLE thread_;
  DWORD pid_;
};

}  // namespace

const char* agent_executable_name() {
  return "tunelight-agent.exe";
}

std::unique_ptr<AgentProcess> launch_agent_process(const AgentLaunchArgs& args,
                                                   unsigned long* error) {
  std::wstring command = toUtf16(agent_command_line(args));
  // CreateProcessW may write into the command line, so it gets a private, terminated copy.
  std::vector<wchar_t> buffer(command.begin(), command.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &info)) {
    if (error) *error = GetLastError();
    return nullptr;
  }
  return std::make_unique<WindowsAgentProcess>(info.hProcess, info.hThread, info.dwProcessId);
}

uint32_t current_process_id() {
  return GetCurrentProcessId();
}

void open_folder(const std::string& utf8_path) {
  std::wstring path = toUtf16(utf8_path);
  ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace tunelight::plugin
