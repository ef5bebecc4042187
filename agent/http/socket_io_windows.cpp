#include "agent/http/socket_io.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>

namespace tunelight::net {

namespace {

bool wouldBlock() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}

void setNonBlocking(SOCKET sock) {
  u_long on = 1;
  ioctlsocket(sock, FIONBIO, &on);
}

int clampSize(size_t size) {
  return size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

}  // namespace

void prepareSocket(socket_t sock) {
  setNonBlocking(sock);
  BOOL one = TRUE;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
}

long sendSome(socket_t sock, const char* data, size_t size) {
  const int n = ::send(sock, data, clampSize(size), 0);
  if (n >= 0) return n;
  return wouldBlock() ? kWouldBlock : kFailed;
}

long recvSome(socket_t sock, char* data, size_t size) {
  const int n = ::recv(sock, data, clampSize(size), 0);
  if (n >= 0) return n;
  return wouldBlock() ? kWouldBlock : kFailed;
}

// WSAPoll now and then misses a socket's readiness (seen under Wine with the wake-up socket, a
// change then waited for the next deadline): no wait lasts longer than this, and callers look
// again after a timed-out wait.
constexpr int kLongestWaitMs = 1000;

int pollSockets(pollfd* fds, size_t count, int timeoutMs) {
  if (timeoutMs < 0 || timeoutMs > kLongestWaitMs) timeoutMs = kLongestWaitMs;
  return WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
}

void shutdownSend(socket_t sock) {
  ::shutdown(sock, SD_SEND);
}

void shutdownBoth(socket_t sock) {
  ::shutdown(sock, SD_BOTH);
}

void closeSocket(socket_t sock) {
  closesocket(sock);
}

// Windows has no per-process limit of open sockets to raise.
void raiseOpenFileLimit() {}

// WSAPoll waits on sockets only: a UDP socket on the loopback address, connected to itself,
// serves as the wake-up. One datagram in its queue means "look again".
WakeSignal::WakeSignal() : read_(INVALID_SOCKET), write_(INVALID_SOCKET) {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof(addr);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    closesocket(s);
    return;
  }
  setNonBlocking(s);
  read_ = s;
  write_ = s;
}

WakeSignal::~WakeSignal() {
  if (read_ != INVALID_SOCKET) closesocket(read_);
}

bool WakeSignal::ok() const {
  return read_ != INVALID_SOCKET;
}

void WakeSignal::signal() {
  const char byte = 1;
  ::send(write_, &byte, 1, 0);
}

void WakeSignal::drain() {
  char buf[64];
  while (::recv(read_, buf, sizeof(buf), 0) > 0) {
  }
}

}  // namespace tunelight::net
