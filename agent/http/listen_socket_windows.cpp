#include "agent/http/listen_socket.h"

namespace tunelight {

// Exclusive address use: with plain SO_REUSEADDR, Windows would let this socket share a port
// that another program already listens on. Here a held port makes the bind fail, so the next
// candidate port is tried.
void configureListenSocket(socket_t sock) {
  BOOL yes = TRUE;
  setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
             sizeof(yes));
}

// Here the library waits in select() between accepts, by default in 10 ms slices (100 wake-ups a
// second). Closing the socket at stop ends a select() that waits on it; the one-second slice is
// only a backstop for a readiness select() missed, as WSAPoll does now and then.
void configureAcceptLoop(httplib::Server& server) {
  server.set_idle_interval(1, 0);
}

}  // namespace tunelight
