#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <string>
#include <vector>

#include "agent/platform/utf16_windows.h"
#include "plugin/agent_process.h"

namespace tunelight::plugin {

namespace {

// One job for every agent this module starts. Its handle stays open until this process ends, so
// when OBS ends in any way — a crash included — the system closes it and kill-on-close ends an
// agent that is stuck and no longer watches its parent. Null when it could not be made.
HANDLE agent_job(DWORD* error) {
  static DWORD failure = 0;
  static HANDLE job = [] {
    HANDLE h = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (h &&
        !SetInformationJobObject(h, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
      failure = GetLastError();
      CloseHandle(h);
      h = nullptr;
    } else if (!h) {
      failure = GetLastError();
    }
    return h;
  }();
  *error = failure;
  return job;
}

class WindowsAgentProcess : public AgentProcess {
 public:
  WindowsAgentProcess(HANDLE process, HANDLE thread, DWORD pid, DWORD untied_error)
      : process_(process), thread_(thread), pid_(pid), untied_error_(untied_error) {}
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

  unsigned long untied_error() const override { return untied_error_; }

  void terminate() override {
    if (wait_exit(0)) return;
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, 5000);
  }

 private:
  HANDLE process_;
  HANDLE thread_;
  DWORD pid_;
  DWORD untied_error_;
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
  // No critical-error or fault dialog for the agent: one would block it with nobody to click it.
  // A child inherits the process error mode of its parent (GetErrorMode's documentation; KB 105304
  // sets it around CreateProcess), so it is set for the call and OBS's own mode restored at once.
  // The supervisor's lock keeps launches from overlapping.
  UINT error_mode = GetErrorMode();
  SetErrorMode(error_mode | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  // Suspended until it is in the job, so nothing it starts can escape the job.
  BOOL created =
      CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE,
                     CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
  DWORD create_error = GetLastError();
  SetErrorMode(error_mode);
  if (!created) {
    if (error) *error = create_error;
    return nullptr;
  }
  // Fails when OBS itself runs in a job that allows no nested one (any job before Windows 8): the
  // agent then runs without it and still ends through its parent watch.
  DWORD untied = 0;
  HANDLE job = agent_job(&untied);
  if (job && !AssignProcessToJobObject(job, info.hProcess)) untied = GetLastError();
  if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
    if (error) *error = GetLastError();
    TerminateProcess(info.hProcess, 0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return nullptr;
  }
  return std::make_unique<WindowsAgentProcess>(info.hProcess, info.hThread, info.dwProcessId,
                                               untied);
}

uint32_t current_process_id() {
  return GetCurrentProcessId();
}

void open_folder(const std::string& utf8_path) {
  std::wstring path = toUtf16(utf8_path);
  ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace tunelight::plugin
