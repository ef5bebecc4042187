#pragma once

// Player actions for the media-session sources (source keys "smtc:" + the session's app id),
// through the platform's own media controls. The watcher publishes which actions each session
// takes (SourceRecord::controls); this side only delivers them.

#include <memory>

#include "agent/control.h"

namespace tunelight {

// The platform's control of its media sessions; null where the agent has none yet (its sessions
// then publish no actions either).
std::unique_ptr<PlayerControl> makePlatformMediaControl();

}  // namespace tunelight
