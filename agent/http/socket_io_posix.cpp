#include "agent/http/socket_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tunelight::net {

namespace {

// Never blocking, whatever the socket's own mode; never raising SIGPIPE.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
constexpr int kSendFlags = MSG_DONTWAIT;
#endif

bool wouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

void prepareSocket(socket_t sock) {
  const int flags = fcntl(sock, F_GETFL);
  if (flags >= 0) fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
  // Where send() has no flag against SIGPIPE, the socket is told instead.
  setsockopt(sock, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof(one));
#endif
}

long sendSome(socket_t sock, const char* data, size_t size) {
  for (;;) {
    const ssize_t n = ::send(sock, data, size, kSendFlags);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return wouldBlock() ? kWouldBlock : kFailed;
  }
}

long recvSome(socket_t sock, char* data, size_t size) {
  for (;;) {
    const ssize_t n = ::recv(sock, data, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return wouldBlock() ? kWouldBlock : kFailed;
  }
}

int pollSockets(pollfd* fds, size_t count, int timeoutMs) {
  const int n = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
  return n < 0 && errno == EINTR ? 0 : n;
}

void shutdownSend(socket_t sock) {
  ::shutdown(sock, SHUT_WR);
}

void shutdownBoth(socket_t sock) {
  ::shutdown(sock, SHUT_RDWR);
}

void closeSocket(socket_t sock) {
  ::close(sock);
}

void raiseOpenFileLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= lim.rlim_max) return;
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
}

// A pipe: the read end is polled, one byte in it means "look again".
WakeSignal::WakeSignal() : read_(INVALID_SOCKET), write_(INVALID_SOCKET) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  read_ = fds[0];
  write_ = fds[1];
}

WakeSignal::~WakeSignal() {
  if (read_ != INVALID_SOCKET) ::close(read_);
  if (write_ != INVALID_SOCKET) ::close(write_);
}

bool WakeSignal::ok() const {
  return read_ != INVALID_SOCKET;
}

void WakeSignal::signal() {
  const char byte = 1;
  // A full pipe already wakes the reader; nothing is lost when this write fails.
  while (::write(write_, &byte, 1) < 0 && errno == EINTR) {
  }
}

void WakeSignal::drain() {
  char buf[64];
  while (::read(read_, buf, sizeof(buf)) > 0) {
  }
}

}  // namespace tunelight::net
