#pragma once

#include <cstddef>
#include <vector>

#include "agent/http/socket_io.h"

namespace tunelight::net {

// The sockets one thread waits on, each with a key of the caller's that comes back when it is
// ready. Every socket is watched for input (and hang-ups and errors); for room to write only
// while asked. One file per platform: on Linux an epoll set, so the wait itself costs the same
// with 1 or 256 sockets; on Windows WSAPoll() over an array kept between waits.
class PollSet {
 public:
  struct Event {
    void* key = nullptr;
    bool input = false;    // readable, closed by the peer, or failed: the next read tells which
    bool output = false;   // room to write
    bool invalid = false;  // not a socket (any more)
  };

  PollSet();
  ~PollSet();
  PollSet(const PollSet&) = delete;
  PollSet& operator=(const PollSet&) = delete;

  bool ok() const;
  // False when the socket cannot be watched (no memory).
  bool add(socket_t sock, void* key, bool output);
  void setOutput(socket_t sock, void* key, bool output);
  // Before a socket is closed or handed to another thread. A socket not in the set is ignored.
  void remove(socket_t sock);
  // Waits up to timeoutMs (< 0: without limit) and replaces `ready` with the ready sockets.
  // Returns their number, 0 on timeout, < 0 on error. On Windows no wait lasts more than the
  // backstop of pollSockets.
  int wait(std::vector<Event>& ready, int timeoutMs);

 private:
  struct State;
  State* state_;
};

}  // namespace tunelight::net
