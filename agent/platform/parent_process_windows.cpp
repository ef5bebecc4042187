#include <windows.h>

#include "agent/platform/parent_process.h"

namespace tunelight {

namespace {

// Keeps the handle for the life of the check, so a recycled process id never stands in for the
// process that started us.
class WindowsParentProcess : public ParentProcess {
 public:
  explicit WindowsParentProcess(HANDLE handle) : handle_(handle) {}
  ~WindowsParentProcess() override {
    if (handle_) CloseHandle(handle_);
  }
  WindowsParentProcess(const WindowsParentProcess&) = delete;
  WindowsParentProcess& operator=(const WindowsParentProcess&) = delete;

  bool running() override { return handle_ && WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT; }
  intptr_t endSignal() const override { return handle_ ? reinterpret_cast<intptr_t>(handle_) : -1; }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<ParentProcess> openParentProcess(int32_t pid) {
  HANDLE handle = pid > 0 ? OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)) : nullptr;
  return std::make_unique<WindowsParentProcess>(handle);
}

}  // namespace tunelight
