#include "agent/platform/parent_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace tunelight {

namespace {

// A pidfd keeps referring to the process it was opened for, so a recycled pid is never mistaken
// for the parent. It polls readable once that process has exited.
class PidfdParent : public ParentProcess {
 public:
  explicit PidfdParent(int fd) : fd_(fd) {}
  ~PidfdParent() override { close(fd_); }
  bool running() override {
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
      r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r == 0;
  }
  intptr_t endSignal() const override { return fd_; }

 private:
  int fd_;
};

// For kernels without pidfds: only asks whether the pid still exists.
class PidParent : public ParentProcess {
 public:
  explicit PidParent(pid_t pid) : pid_(pid) {}
  bool running() override { return kill(pid_, 0) == 0 || errno == EPERM; }

 private:
  pid_t pid_;
};

class GoneParent : public ParentProcess {
 public:
  bool running() override { return false; }
};

}  // namespace

std::unique_ptr<ParentProcess> openParentProcess(int32_t pid) {
  if (pid <= 0) return std::make_unique<GoneParent>();
#ifdef SYS_pidfd_open
  long fd = syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd >= 0) return std::make_unique<PidfdParent>(static_cast<int>(fd));
  // A sandbox may refuse the call with EPERM instead of reporting it as unknown.
  if (errno != ENOSYS && errno != EPERM) return std::make_unique<GoneParent>();
#endif
  auto parent = std::make_unique<PidParent>(static_cast<pid_t>(pid));
  if (!parent->running()) return std::make_unique<GoneParent>();
  return parent;
}

}  // namespace tunelight
