#pragma once

// Player actions for the media-session sources (source keys kMediaSessionKeyPrefix + the app id),
// through the platform's own media controls. The watcher publishes which actions each session
// takes (SourceRecord::controls); this side only delivers them.

#include <memory>

#include "agent/control.h"

namespace tunelight {

class SessionWatcher;

// The platform's control of the sessions that watcher publishes; null where the agent has none
// (its sessions then publish no actions either). The watcher outlives it.
std::unique_ptr<PlayerControl> makePlatformMediaControl(SessionWatcher& watcher);

}  // namespace tunelight
