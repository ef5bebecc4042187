#pragma once

// The few socket operations the server's own connection handling needs, one file per platform.
// Only the library's socket type comes from its header.
// Sockets handed to these functions are non-blocking; waiting is done with pollSockets only.

#include <httplib.h>

#include <cstddef>
#include <string>

#ifndef _WIN32
#include <poll.h>
#endif

namespace tunelight::net {

// Results of sendSome / recvSome besides a positive byte count.
constexpr long kWouldBlock = -2;
constexpr long kFailed = -1;
constexpr long kPeerClosed = 0;  // recvSome only

// Non-blocking, no delayed small segments.
void prepareSocket(socket_t sock);
// Bytes sent, kWouldBlock or kFailed. Never raises a signal.
long sendSome(socket_t sock, const char* data, size_t size);
// Bytes read, kPeerClosed, kWouldBlock or kFailed.
long recvSome(socket_t sock, char* data, size_t size);
// poll() over sockets (pollfd and the POLL* flags exist on both platforms); timeoutMs < 0 waits
// without limit. Returns the number of ready entries, 0 on timeout, < 0 on error. On Windows no
// wait lasts more than a second: a return of 0 may come early, and callers look again.
int pollSockets(pollfd* fds, size_t count, int timeoutMs);
// No more sends: the peer reads the end of the stream after what was sent.
void shutdownSend(socket_t sock);
// Ends both directions; a thread blocked in poll on this socket returns.
void shutdownBoth(socket_t sock);
void closeSocket(socket_t sock);
// Lets the process hold as many sockets as the system allows it (the soft limit of open files
// raised to the hard limit where there is one).
void raiseOpenFileLimit();

// A wake-up that a poll loop can wait on next to its sockets: signal() from any thread makes
// handle() readable until drain() is called.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  bool ok() const;
  socket_t handle() const { return read_; }
  void signal();
  void drain();

 private:
  socket_t read_;
  socket_t write_;
};

}  // namespace tunelight::net
