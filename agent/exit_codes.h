#pragma once

// Exit codes of tunelight-agent that its supervisor (the plugin) tells apart.

namespace tunelight {

constexpr int kExitOk = 0;
// None of the port candidates could be bound.
constexpr int kExitNoFreePort = 2;
// A processor fault was caught inside the platform's media-session code; the process makes no
// further call into it, so a fresh agent has to take over.
constexpr int kExitMediaFault = 3;

}  // namespace tunelight
