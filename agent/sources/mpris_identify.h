#pragma once

// Identification and value mapping of MPRIS players (Linux media sessions). Pure functions, safe
// on any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent/sources/identify.h"
#include "agent/sources/media_backend.h"

namespace tunelight {

// Labels of a player from its bus name without "org.mpris.MediaPlayer2." ("vlc",
// "firefox.instance_1_24", "chromium.instance575") and its Identity property, which tells apart
// the Electron apps that all register as chromium. Unknown players are not handled.
AppIdentity identifyMprisPlayer(const std::string& busSuffix, const std::string& identity);

// Every player identifyMprisPlayer handles, in table order.
std::vector<KnownPlayer> knownMprisPlayers();

// Timeline from MPRIS values: length and position in microseconds (a negative position counts
// as 0), read at readAtMs (wall-clock ms; MPRIS keeps no update time). lengthUs <= 0 gives an
// empty timeline.
MediaTimeline mprisTimeline(int64_t lengthUs, int64_t positionUs, int64_t readAtMs);

// The local path of a "file://" URL, percent-decoded; nothing for other URLs, relative paths
// or bad escapes.
std::optional<std::string> fileUrlPath(const std::string& url);

// Cover URL that serves the picture a player announces (some players announce a page address
// that does not serve the image itself).
std::string coverDownloadUrl(const std::string& artUrl);

}  // namespace tunelight
