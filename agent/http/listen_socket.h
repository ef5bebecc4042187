#pragma once

#include <httplib.h>

namespace tunelight {

// Options for the agent's listening socket, set before bind: a port that another process holds
// is never shared, and a restarted agent gets its own port back at once. One file per platform.
void configureListenSocket(socket_t sock);

// How the library's accept loop waits for connections. It must not wake on a timer: an idle
// agent stays asleep.
void configureAcceptLoop(httplib::Server& server);

}  // namespace tunelight
