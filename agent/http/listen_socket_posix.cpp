#include "agent/http/listen_socket.h"

#include <sys/socket.h>

namespace tunelight {

// SO_REUSEADDR only lets a listener take over connections left in TIME_WAIT by an earlier run;
// Linux still refuses a second listener on the same port. SO_REUSEPORT, which would let two
// processes share the port, is never set.
void configureListenSocket(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

// Here the loop blocks in accept(), which closing the socket at stop interrupts.
void configureAcceptLoop(httplib::Server&) {}

}  // namespace tunelight
