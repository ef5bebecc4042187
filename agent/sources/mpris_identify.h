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

// What one reading of a player's properties gave.
struct MprisPlayerState {
  std::string status;  // PlaybackStatus: "Playing", "Paused", "Stopped" (others count as stopped)
  std::string title;
  std::string artist;  // a list joined with ", "
  std::string album;
  std::string artUrl;
  int64_t lengthUs = 0;
  int64_t positionUs = 0;
  double rate = 1.0;
  // What the player says it takes; an absent property counts as false.
  bool canControl = false;
  bool canPlay = false;
  bool canPause = false;
  bool canGoNext = false;
  bool canGoPrevious = false;
};

// The ControlAction bits of a reading: none without CanControl; PlayPause and Pause need
// CanPause, Play CanPlay, Next CanGoNext, Previous CanGoPrevious.
uint32_t mprisControls(const MprisPlayerState& s);

// Timeline from MPRIS values: length and position in microseconds (a negative position counts
// as 0), read at readAtMs (wall-clock ms; MPRIS keeps no update time). lengthUs <= 0 gives an
// empty timeline.
MediaTimeline mprisTimeline(int64_t lengthUs, int64_t positionUs, int64_t readAtMs);

// The (position, date) pair a player's timeline is reported with. MPRIS gives a bare position;
// the pair is kept while later readings agree with it, so that an unchanged player gives an
// unchanged record.
struct TimelineAnchor {
  std::string state;  // status, track and rate the pair belongs to; empty before the first
  int64_t positionUs = 0;
  int64_t atMs = 0;
};

// Largest difference between a reading and the anchor's extrapolation that keeps the anchor.
constexpr int64_t kAnchorToleranceUs = 1000 * 1000;

// Takes a reading of s made at atMs (wall-clock ms). A new pair replaces the anchor when the
// status, track or rate changed, after a seek, or when the reading is further than the tolerance
// from the old pair moved on at the rate while playing (standing still otherwise).
void anchorTimeline(TimelineAnchor& a, const MprisPlayerState& s, int64_t atMs, bool seeked);

// "image/png", "image/jpeg", "image/gif" or "image/webp" when the bytes begin with that format's
// signature; empty for anything else.
std::string imageTypeFromSignature(const std::string& head);
// Bytes imageTypeFromSignature needs to decide.
constexpr size_t kImageSignatureBytes = 12;

// The local path of a "file://" URL, percent-decoded; nothing for other URLs, relative paths
// or bad escapes.
std::optional<std::string> fileUrlPath(const std::string& url);

// Cover URL that serves the picture a player announces (some players announce a page address
// that does not serve the image itself).
std::string coverDownloadUrl(const std::string& artUrl);

}  // namespace tunelight
