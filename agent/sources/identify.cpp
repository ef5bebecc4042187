#include "agent/sources/identify.h"

#include <cstddef>
#include <regex>

namespace tunelight {

namespace {

enum MatchMode { kExact, kPrefix };

struct KnownApp {
  MatchMode mode;
  const char* key;  // lower case
  int32_t service;
  const char* app;
  const char* player;
  bool isVideo;
};

// Searched in order; the first match wins. Store keys end at the package family's "_" so that
// any publisher hash matches.
const KnownApp kKnownApps[] = {
    {kExact, "ru.yandex.desktop.music", kServiceYandex, "desktop", "Яндекс Музыка", false},
    {kPrefix, "a025c540.yandex.music_", kServiceYandex, "store", "Яндекс Музыка", false},
    {kExact, "spotify.exe", kServiceSpotify, "desktop", "Spotify", false},
    {kPrefix, "spotifyab.spotifymusic_", kServiceSpotify, "store", "Spotify", false},
    {kPrefix, "appleinc.applemusicwin_", kServiceAppleMusic, "store", "Apple Music", false},
    {kExact, "applemusic.exe", kServiceAppleMusic, "desktop", "Apple Music", false},
    {kExact, "cider.exe", kServiceAppleMusic, "desktop", "Cider", false},
    {kPrefix, "cidercollective.cider", kServiceAppleMusic, "store", "Cider", false},
    {kExact, "itunes.smtc.exe", kServiceAppleMusic, "desktop", "iTunes", false},
    // "Media Controller for iTunes", the Store build of the iTunes media-control bridge.
    {kPrefix, "49586daveantoine.mediacontrollerforitunes_", kServiceAppleMusic, "store", "iTunes",
     false},
    // Application id of the independent YouTube Music desktop client.
    {kExact, "com.github.th-ch.youtube-music", kServiceYoutubeMusic, "desktop", "YouTube Music",
     false},
    {kExact, "youtube music.exe", kServiceYoutubeMusic, "desktop", "YouTube Music", false},
    {kExact, "com.squirrel.youtube_music_desktop_app.youtube-music-desktop-app",
     kServiceYoutubeMusic, "desktop", "YouTube Music Desktop", false},
    {kExact, "youtube-music-desktop-app.exe", kServiceYoutubeMusic, "desktop",
     "YouTube Music Desktop", false},
    {kPrefix, "soundcloudltd.soundcloud", kServiceSoundcloud, "store", "SoundCloud", false},
    {kExact, "deezer.exe", kServiceDeezer, "desktop", "Deezer", false},
    {kExact, "com.deezer.deezer-desktop", kServiceDeezer, "desktop", "Deezer", false},
    {kPrefix, "deezer.62021768415af_", kServiceDeezer, "store", "Deezer", false},
    {kExact, "tidal.exe", kServiceTidal, "desktop", "TIDAL", false},
    {kExact, "com.squirrel.tidal.tidal", kServiceTidal, "desktop", "TIDAL", false},
    {kPrefix, "wimpmusic.27241e05630ea_", kServiceTidal, "store", "TIDAL", false},
    {kExact, "amazon music.exe", kServiceAmazonMusic, "desktop", "Amazon Music", false},
    {kPrefix, "amazonmobilellc.amazonmusic_", kServiceAmazonMusic, "store", "Amazon Music", false},
    {kExact, "aimp.exe", kServiceOther, "desktop", "AIMP", false},
    {kExact, "aimpsmtc.exe", kServiceOther, "desktop", "AIMP", false},
    // The AIMP bridge registers this id for itself; its package family starts with it too.
    {kPrefix, "nimigames68.aimpsmtc", kServiceOther, "store", "AIMP", false},
    {kExact, "musicbee.exe", kServiceOther, "desktop", "MusicBee", false},
    {kPrefix, "50072stevenmayall.musicbee_", kServiceOther, "store", "MusicBee", false},
    {kExact, "foobar2000.exe", kServiceOther, "desktop", "foobar2000", false},
    {kPrefix, "resolute.foobar2000modern_", kServiceOther, "store", "foobar2000", false},
    {kPrefix, "microsoft.zunemusic_", kServiceOther, "store", "Media Player", false},
    {kExact, "wacup.exe", kServiceOther, "desktop", "WACUP", false},
    {kExact, "wacup", kServiceOther, "desktop", "WACUP", false},
    {kExact, "winamp.exe", kServiceOther, "desktop", "Winamp", false},
    {kExact, "dopamine.exe", kServiceOther, "desktop", "Dopamine", false},
    {kExact, "com.digimezzo.dopamine", kServiceOther, "desktop", "Dopamine", false},
    {kExact, "strawberry.exe", kServiceOther, "desktop", "Strawberry", false},
    {kExact, "feishin.exe", kServiceOther, "desktop", "Feishin", false},
    {kExact, "org.jeffvli.feishin", kServiceOther, "desktop", "Feishin", false},
    {kExact, "tv.plex.plexamp", kServiceOther, "desktop", "Plexamp", false},
    {kExact, "plexamp.exe", kServiceOther, "desktop", "Plexamp", false},
    {kExact, "qobuz.exe", kServiceOther, "desktop", "Qobuz", false},
    {kExact, "com.squirrel.qobuz.qobuz", kServiceOther, "desktop", "Qobuz", false},
    {kExact, "audiomack.exe", kServiceOther, "desktop", "Audiomack", false},
    {kExact, "jellyfinmediaplayer.exe", kServiceOther, "desktop", "Jellyfin", false},
    {kExact, "finamp.exe", kServiceOther, "desktop", "Finamp", false},
    {kPrefix, "pandoramediainc.29680b314efc2_", kServiceOther, "store", "Pandora", false},
    {kExact, "vlc.exe", kServiceOther, "desktop", "VLC", true},
    {kPrefix, "videolan.vlc_", kServiceOther, "store", "VLC", true},
    {kExact, "mpv.exe", kServiceOther, "desktop", "mpv", true},
    {kExact, "potplayermini64.exe", kServiceOther, "desktop", "PotPlayer", true},
    {kExact, "potplayer64.exe", kServiceOther, "desktop", "PotPlayer", true},
    {kExact, "potplayermini.exe", kServiceOther, "desktop", "PotPlayer", true},
    {kExact, "mpc-hc64.exe", kServiceOther, "desktop", "MPC-HC", true},
    {kExact, "mpc-hc.exe", kServiceOther, "desktop", "MPC-HC", true},
    {kExact, "mpc-be64.exe", kServiceOther, "desktop", "MPC-BE", true},
    {kPrefix, "18496starpine.screenbox_", kServiceOther, "store", "Screenbox", true},
};

struct WebApp {
  const char* host;
  int32_t service;
  const char* player;
};

// Installed web apps carry the host they were installed from.
const WebApp kWebApps[] = {
    {"music.youtube.com", kServiceYoutubeMusic, "YouTube Music"},
    {"www.youtube.com", kServiceYoutube, "YouTube"},
    {"music.apple.com", kServiceAppleMusic, "Apple Music"},
    {"soundcloud.com", kServiceSoundcloud, "SoundCloud"},
    {"open.spotify.com", kServiceSpotify, "Spotify"},
    {"music.yandex.ru", kServiceYandex, "Яндекс Музыка"},
    {"vk.com", kServiceVk, "VK Музыка"},
    {"music.amazon.com", kServiceAmazonMusic, "Amazon Music"},
    {"listen.tidal.com", kServiceTidal, "TIDAL"},
    {"www.deezer.com", kServiceDeezer, "Deezer"},
};

struct KnownBrowser {
  MatchMode mode;
  const char* key;  // lower case
  const char* app;
  const char* player;
};

// Browsers whose tabs have media sessions of their own.
const KnownBrowser kBrowsers[] = {
    {kExact, "chrome", "chrome", "Chrome"},
    {kExact, "msedge", "edge", "Edge"},
    {kPrefix, "operasoftware.opera", "opera", "Opera"},
};

// Firefox's sessions carry 16 hexadecimal digits instead of a name.
const KnownBrowser kFirefox = {kExact, "", "firefox", "Firefox"};

std::string lowerAscii(const std::string& s) {
  std::string r = s;
  for (char& c : r) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return r;
}

bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool findKnown(const std::string& lowered, AppIdentity& out) {
  for (const KnownApp& row : kKnownApps) {
    bool hit = row.mode == kExact ? lowered == row.key : startsWith(lowered, row.key);
    if (!hit) continue;
    out.handled = true;
    out.kind = kKindMediaApp;
    out.service = row.service;
    out.app = row.app;
    out.player = row.player;
    out.isVideo = row.isVideo;
    return true;
  }
  return false;
}

const std::regex& webAppPattern() {
  // Built once; function-local statics are initialised thread-safely.
  static const std::regex pattern("^([a-z0-9.-]+)-[0-9a-f]{6,8}_[a-z0-9]+!app$",
                                  std::regex::ECMAScript);
  return pattern;
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

AppIdentity browser(const char* app, const char* player) {
  AppIdentity id;
  id.handled = true;
  id.kind = kKindMediaBrowser;
  id.service = kServiceUnknown;
  id.app = app;
  id.player = player;
  return id;
}

}  // namespace

AppIdentity identifyApp(const std::string& aumid) {
  const std::string lowered = lowerAscii(aumid);
  AppIdentity id;
  if (findKnown(lowered, id)) return id;

  // A path-like id: its last part is the executable's file name.
  size_t sep = lowered.find_last_of("\\/");
  if (!lowered.empty() && sep != std::string::npos && findKnown(lowered.substr(sep + 1), id)) {
    return id;
  }

  std::smatch m;
  if (std::regex_match(lowered, m, webAppPattern())) {
    const std::string host = m[1].str();
    for (const WebApp& row : kWebApps) {
      if (host != row.host) continue;
      id.handled = true;
      id.kind = kKindMediaApp;
      id.service = row.service;
      id.app = "pwa";
      id.player = row.player;
      id.isVideo = row.service == kServiceYoutube;
      return id;
    }
  }

  for (const KnownBrowser& row : kBrowsers) {
    if (row.mode == kExact ? lowered == row.key : startsWith(lowered, row.key)) {
      return browser(row.app, row.player);
    }
  }
  if (aumid.size() == 16) {
    bool allHex = true;
    for (char c : aumid) allHex = allHex && isHexDigit(c);
    if (allHex) return browser(kFirefox.app, kFirefox.player);
  }
  return AppIdentity{};
}

std::vector<KnownPlayer> knownWindowsPlayers() {
  std::vector<KnownPlayer> out;
  for (const KnownApp& r : kKnownApps) {
    out.push_back({kKindMediaApp, r.service, r.app, r.player, r.isVideo});
  }
  for (const WebApp& r : kWebApps) {
    out.push_back({kKindMediaApp, r.service, "pwa", r.player, r.service == kServiceYoutube});
  }
  for (const KnownBrowser& r : kBrowsers) {
    out.push_back({kKindMediaBrowser, kServiceUnknown, r.app, r.player, false});
  }
  out.push_back({kKindMediaBrowser, kServiceUnknown, kFirefox.app, kFirefox.player, false});
  return out;
}

int32_t serviceFromName(const std::string& name) {
  for (int32_t id = kServiceYandex; id <= kServiceOther; ++id) {
    if (name == serviceName(id)) return id;
  }
  return kServiceUnknown;
}

}  // namespace tunelight
