#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tunelight {

enum SourceKind : int32_t {
  kKindExtension = 0,
  kKindMediaApp = 1,      // a media session of a player app (Windows SMTC, MPRIS)
  kKindMediaBrowser = 2,  // a media session of a browser
  kKindMock = 3,
};

enum ServiceId : int32_t {
  kServiceUnknown = 0,
  kServiceYandex = 1,
  kServiceVk = 2,
  kServiceSpotify = 3,
  kServiceAppleMusic = 4,
  kServiceYoutubeMusic = 5,
  kServiceYoutube = 6,
  kServiceSoundcloud = 7,
  kServiceDeezer = 8,
  kServiceTidal = 9,
  kServiceAmazonMusic = 10,
  kServiceOther = 11,
};

enum PlaybackStatus : int32_t { kStatusStopped = 0, kStatusPaused = 1, kStatusPlaying = 2 };

// Player actions a source can take, as bits of SourceRecord::controls.
enum ControlAction : uint32_t {
  kControlPlayPause = 1u << 0,
  kControlPlay = 1u << 1,
  kControlPause = 1u << 2,
  kControlNext = 1u << 3,
  kControlPrevious = 1u << 4,
};
constexpr uint32_t kControlAll = (1u << 5) - 1;

// One source's view of what plays. Plain value; copied into and out of the Hub.
struct SourceRecord {
  std::string sourceKey;
  SourceKind kind = kKindMock;
  ServiceId service = kServiceUnknown;
  std::string app;
  std::string player;
  bool isVideo = false;
  std::string title;
  std::string artist;
  std::optional<std::string> album;
  std::optional<int64_t> durationMs;
  std::optional<int64_t> positionMs;
  int64_t positionAt = 0;
  PlaybackStatus status = kStatusStopped;
  std::string coverId;
  bool local = true;
  int64_t playingSince = 0;
  int64_t stateSince = 0;
  int64_t updatedAt = 0;
  uint32_t controls = 0;  // ControlAction bits the source's player takes
};

const char* kindName(int32_t kind);
const char* serviceName(int32_t service);
const char* statusName(int32_t status);
// API name of one ControlAction bit ("playPause", "next", ...); null for anything else.
const char* controlName(uint32_t action);
// The ControlAction bit of an API name; 0 for an unknown name.
uint32_t controlFromName(const std::string& name);

// Normalised form for every title/artist comparison: trimmed, single blanks, ASCII and Russian
// letters lower-cased.
std::string matchKey(const std::string& s);
// matchKey(artist) + "|" + matchKey(title).
std::string trackKey(const SourceRecord& r);
// First 12 hex digits of fnv1a64(trackKey).
std::string trackId(const SourceRecord& r);

uint64_t fnv1a64(const std::string& bytes);
// 16 lower-case hex digits with leading zeros.
std::string hex16(uint64_t v);

// The now-playing document: {"active":false} without a record. Compact, keys in byte order,
// non-ASCII unescaped; bytes that are not valid UTF-8 are written as U+FFFD. "controls" lists the
// record's actions in a fixed order; "showAt" is the wall-clock ms of the latest request to show
// the card again (null before the first).
std::string nowPlayingJson(const std::optional<SourceRecord>& r, int64_t showAt = 0);

// Compact JSON text in the agent's one style: keys in byte order, no spaces, non-ASCII as is,
// invalid UTF-8 written as U+FFFD.
std::string dumpJson(const nlohmann::json& j);

// Cuts s to at most maxBytes without splitting a UTF-8 sequence.
std::string cutUtf8(const std::string& s, size_t maxBytes);

}  // namespace tunelight
