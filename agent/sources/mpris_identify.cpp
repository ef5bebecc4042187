#include "agent/sources/mpris_identify.h"

#include <algorithm>
#include <cmath>

#include "agent/model.h"

namespace tunelight {

namespace {

struct PlayerRow {
  const char* key;  // lower case
  int32_t service;
  const char* player;
  bool isVideo;
};

// Desktop players by the first part of their bus name.
constexpr PlayerRow kPlayersByName[] = {
    {"spotify", kServiceSpotify, "Spotify", false},
    {"cider", kServiceAppleMusic, "Cider", false},
    {"youtubemusic", kServiceYoutubeMusic, "YouTube Music", false},
    {"youtube-music", kServiceYoutubeMusic, "YouTube Music", false},
    {"youtube_music", kServiceYoutubeMusic, "YouTube Music", false},
    {"ytmdesktop", kServiceYoutubeMusic, "YouTube Music Desktop", false},
    {"tidal-hifi", kServiceTidal, "TIDAL", false},
    {"rhythmbox", kServiceOther, "Rhythmbox", false},
    {"clementine", kServiceOther, "Clementine", false},
    {"strawberry", kServiceOther, "Strawberry", false},
    {"audacious", kServiceOther, "Audacious", false},
    {"elisa", kServiceOther, "Elisa", false},
    {"lollypop", kServiceOther, "Lollypop", false},
    {"gnomemusic", kServiceOther, "GNOME Music", false},
    {"quodlibet", kServiceOther, "Quod Libet", false},
    {"deadbeef", kServiceOther, "DeaDBeeF", false},
    {"amarok", kServiceOther, "Amarok", false},
    {"tauon", kServiceOther, "Tauon", false},
    {"feishin", kServiceOther, "Feishin", false},
    {"plexamp", kServiceOther, "Plexamp", false},
    {"mpd", kServiceOther, "MPD", false},
    {"vlc", kServiceOther, "VLC", true},
    {"mpv", kServiceOther, "mpv", true},
};

// Electron apps register as chromium; their Identity (lower case) names them.
constexpr PlayerRow kPlayersByIdentity[] = {
    {"spotify", kServiceSpotify, "Spotify", false},
    {"youtube music", kServiceYoutubeMusic, "YouTube Music", false},
    {"youtube music desktop app", kServiceYoutubeMusic, "YouTube Music Desktop", false},
    {"cider", kServiceAppleMusic, "Cider", false},
    {"tidal hi-fi", kServiceTidal, "TIDAL", false},
    {"tidal-hifi", kServiceTidal, "TIDAL", false},
    {"deezer", kServiceDeezer, "Deezer", false},
    {"feishin", kServiceOther, "Feishin", false},
    {"plexamp", kServiceOther, "Plexamp", false},
};

struct BrowserRow {
  const char* key;  // lower case
  const char* app;
  const char* player;
};

// Browsers by the first part of their bus name.
constexpr BrowserRow kBrowsersByName[] = {
    {"firefox", "firefox", "Firefox"}, {"librewolf", "firefox", "LibreWolf"},
    {"chrome", "chrome", "Chrome"},    {"google-chrome", "chrome", "Chrome"},
    {"brave", "chrome", "Brave"},      {"vivaldi", "chrome", "Vivaldi"},
    {"msedge", "edge", "Edge"},        {"opera", "opera", "Opera"},
};

// Chromium-based browsers by Identity; an empty Identity is Chromium itself.
constexpr BrowserRow kBrowsersByIdentity[] = {
    {"", "chrome", "Chromium"},
    {"chromium", "chrome", "Chromium"},
    {"google chrome", "chrome", "Chrome"},
    {"brave", "chrome", "Brave"},
    {"brave browser", "chrome", "Brave"},
    {"vivaldi", "chrome", "Vivaldi"},
    {"microsoft edge", "edge", "Edge"},
    {"opera", "opera", "Opera"},
};

std::string lower(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

AppIdentity fromPlayer(const PlayerRow& row) {
  AppIdentity a;
  a.handled = true;
  a.kind = kKindMediaApp;
  a.service = row.service;
  a.app = "desktop";
  a.player = row.player;
  a.isVideo = row.isVideo;
  return a;
}

AppIdentity fromBrowser(const BrowserRow& row) {
  AppIdentity a;
  a.handled = true;
  a.kind = kKindMediaBrowser;
  a.service = kServiceUnknown;
  a.app = row.app;
  a.player = row.player;
  return a;
}

template <typename Row, size_t N>
const Row* find(const Row (&rows)[N], const std::string& key) {
  for (const Row& r : rows)
    if (key == r.key) return &r;
  return nullptr;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

AppIdentity identifyMprisPlayer(const std::string& busSuffix, const std::string& identity) {
  const std::string name = lower(busSuffix);
  const std::string base = name.substr(0, name.find('.'));
  const std::string id = lower(identity);

  if (base == "chromium") {
    if (const PlayerRow* p = find(kPlayersByIdentity, id)) return fromPlayer(*p);
    if (const BrowserRow* b = find(kBrowsersByIdentity, id)) return fromBrowser(*b);
    return {};  // an Electron app we do not know
  }
  if (const BrowserRow* b = find(kBrowsersByName, base)) return fromBrowser(*b);
  if (const PlayerRow* p = find(kPlayersByName, base)) return fromPlayer(*p);
  if (const PlayerRow* p = find(kPlayersByIdentity, id)) return fromPlayer(*p);
  return {};
}

std::vector<KnownPlayer> knownMprisPlayers() {
  std::vector<KnownPlayer> out;
  for (const PlayerRow& r : kPlayersByName) {
    out.push_back({kKindMediaApp, r.service, "desktop", r.player, r.isVideo});
  }
  for (const PlayerRow& r : kPlayersByIdentity) {
    out.push_back({kKindMediaApp, r.service, "desktop", r.player, r.isVideo});
  }
  for (const BrowserRow& r : kBrowsersByName) {
    out.push_back({kKindMediaBrowser, kServiceUnknown, r.app, r.player, false});
  }
  for (const BrowserRow& r : kBrowsersByIdentity) {
    out.push_back({kKindMediaBrowser, kServiceUnknown, r.app, r.player, false});
  }
  return out;
}

uint32_t mprisControls(const MprisPlayerState& s) {
  if (!s.canControl) return 0;
  uint32_t out = 0;
  if (s.canPause) out |= kControlPlayPause | kControlPause;
  if (s.canPlay) out |= kControlPlay;
  if (s.canGoNext) out |= kControlNext;
  if (s.canGoPrevious) out |= kControlPrevious;
  return out;
}

MediaTimeline mprisTimeline(int64_t lengthUs, int64_t positionUs, int64_t readAtMs) {
  MediaTimeline t;
  if (lengthUs <= 0) return t;
  t.endMs = lengthUs / 1000;
  t.positionMs = std::max<int64_t>(positionUs, 0) / 1000;
  t.updatedAtMs = readAtMs;
  return t;
}

void anchorTimeline(TimelineAnchor& a, const MprisPlayerState& s, int64_t atMs, bool seeked) {
  const int64_t position = std::max<int64_t>(s.positionUs, 0);
  std::string state = s.status + '\x1F' + s.title + '\x1F' + s.artist + '\x1F' + s.album + '\x1F' +
                      std::to_string(s.lengthUs) + '\x1F' + std::to_string(s.rate);
  bool keep = !seeked && state == a.state;
  if (keep) {
    // Rates outside what players offer count as normal speed; the state holds the exact value.
    const double rate = std::isfinite(s.rate) && s.rate >= 0 && s.rate <= 64 ? s.rate : 1.0;
    const double moved =
        s.status == "Playing" ? static_cast<double>(atMs - a.atMs) * 1000 * rate : 0;
    const double expected = static_cast<double>(a.positionUs) + moved;
    keep = std::fabs(static_cast<double>(position) - expected) <= kAnchorToleranceUs;
  }
  if (keep) return;
  a.state = std::move(state);
  a.positionUs = position;
  a.atMs = atMs;
}

std::string imageTypeFromSignature(const std::string& b) {
  if (b.compare(0, 8, "\x89PNG\r\n\x1A\n") == 0) return "image/png";
  if (b.compare(0, 3, "\xFF\xD8\xFF") == 0) return "image/jpeg";
  if (b.compare(0, 6, "GIF87a") == 0 || b.compare(0, 6, "GIF89a") == 0) return "image/gif";
  if (b.size() >= 12 && b.compare(0, 4, "RIFF") == 0 && b.compare(8, 4, "WEBP") == 0)
    return "image/webp";
  return {};
}

std::optional<std::string> fileUrlPath(const std::string& url) {
  static const std::string kScheme = "file://";
  if (url.size() <= kScheme.size() || lower(url.substr(0, kScheme.size())) != kScheme) return {};
  std::string rest = url.substr(kScheme.size());
  // "file://localhost/path" and "file:///path" name a local file; other hosts do not.
  if (rest.compare(0, 9, "localhost") == 0) rest.erase(0, 9);
  if (rest.empty() || rest[0] != '/') return {};
  std::string path;
  for (size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == '?' || c == '#') break;
    if (c == '%') {
      if (i + 2 >= rest.size()) return {};
      int hi = hexValue(rest[i + 1]), lo = hexValue(rest[i + 2]);
      if (hi < 0 || lo < 0) return {};
      c = static_cast<char>(hi * 16 + lo);
      if (c == '\0') return {};
      i += 2;
    }
    path += c;
  }
  return path;
}

std::string coverDownloadUrl(const std::string& artUrl) {
  static const std::string kPage = "https://open.spotify.com/image/";
  if (artUrl.compare(0, kPage.size(), kPage) == 0)
    return "https://i.scdn.co/image/" + artUrl.substr(kPage.size());
  return artUrl;
}

}  // namespace tunelight
