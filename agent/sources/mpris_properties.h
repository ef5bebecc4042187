#pragma once

// MPRIS values out of sd-bus replies (Linux). Pure functions of the message, safe on any thread
// that owns the message.

#include <systemd/sd-bus.h>

#include <string>

#include "agent/sources/mpris_identify.h"

namespace tunelight {

// Reads the a{sv} of a Properties.GetAll reply for the player interface into s: PlaybackStatus,
// Metadata (title, artist, album, length, art URL), Position, Rate and the Can* flags of the player
// actions. Values of other types than
// expected are skipped and leave their field as it was; integer and floating-point numbers are
// taken alike. Negative: an sd-bus error (the body is not such a dictionary).
int readMprisPlayer(sd_bus_message* m, MprisPlayerState& s);

// Reads a Properties.Get reply (one variant) holding a string, such as Identity; other types
// leave out as it was.
int readMprisString(sd_bus_message* m, std::string& out);

}  // namespace tunelight
