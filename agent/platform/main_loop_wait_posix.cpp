#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "agent/platform/main_loop_wait.h"
#include "agent/platform/parent_process.h"

namespace tunelight {

namespace {

// A pipe: writing to it is async-signal-safe, and a wake that comes before the wait stays in it.
int wakeRead = -1;
int wakeWrite = -1;

}  // namespace

void initMainLoopWake() {
  int fds[2];
  if (wakeRead >= 0 || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  wakeRead = fds[0];
  wakeWrite = fds[1];
}

void wakeMainLoop() {
  if (wakeWrite < 0) return;
  const char byte = 1;
  // A full pipe already holds a wake.
  [[maybe_unused]] ssize_t n = write(wakeWrite, &byte, 1);
}

void waitMainLoop(const ParentProcess* parent, int timeoutMs) {
  pollfd fds[2] = {{wakeRead, POLLIN, 0}, {-1, POLLIN, 0}};
  nfds_t n = 1;
  if (parent && parent->endSignal() >= 0) {
    fds[1].fd = static_cast<int>(parent->endSignal());
    n = 2;
  }
  // An interrupted poll just returns: the caller looks at its flags either way.
  if (poll(fds, n, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
    char drain[64];
    while (read(wakeRead, drain, sizeof drain) > 0) {
    }
  }
}

}  // namespace tunelight
