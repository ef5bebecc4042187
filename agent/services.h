#pragma once

// The switches that decide which players the card may show, in one table: the agent's filter,
// its configuration, the plugin's settings, panel and push, and the README all read it, so a new
// service is one member and one row here (plus its locale texts).

#include <cstddef>
#include <cstring>

namespace tunelight {

// One value per switch; every member has its row in kServiceSwitches.
struct ServiceSwitches {
  ServiceSwitches();  // each switch at its default

  bool yandex;
  bool vk;
  bool spotify;
  bool appleMusic;
  bool youtubeMusic;
  bool soundcloud;
  bool deezer;
  bool tidal;
  bool amazonMusic;
  bool youtube;
  bool otherPlayers;
  bool videoPlayers;
  bool browserWithoutExtension;
};

// Where the panel shows a switch.
enum class SwitchGroup { kServices, kOther };

struct ServiceSwitch {
  bool ServiceSwitches::*on;
  const char* configKey;       // member of the agent's configuration; the "switch" it reports
  const char* settingsKey;     // the card source's setting
  const char* labelKey;        // locale key of the switch in the panel
  const char* descriptionKey;  // locale key of its tooltip; null for none
  // The published "service" the switch covers and its locale key in status texts; null for
  // switches over kinds of player (decided by the agent's rules, not by a service).
  const char* service;
  const char* serviceLabelKey;
  const char* displayName;  // the service's name in the README
  bool defaultOn;
  SwitchGroup group;
  int panelOrder;  // position within its panel group
};

// In the order of the configuration document the plugin sends.
inline constexpr ServiceSwitch kServiceSwitches[] = {
    {&ServiceSwitches::yandex, "yandex", "svc_yandex", "Service.Yandex", nullptr, "yandex",
     "Service.Yandex", "Yandex Music", true, SwitchGroup::kServices, 0},
    {&ServiceSwitches::vk, "vk", "svc_vk", "Service.Vk", nullptr, "vk", "Service.Vk", "VK Music",
     true, SwitchGroup::kServices, 1},
    {&ServiceSwitches::spotify, "spotify", "svc_spotify", "Service.Spotify", nullptr, "spotify",
     "Service.Spotify", "Spotify", true, SwitchGroup::kServices, 2},
    {&ServiceSwitches::appleMusic, "appleMusic", "svc_apple_music", "Service.AppleMusic", nullptr,
     "apple-music", "Service.AppleMusic", "Apple Music", true, SwitchGroup::kServices, 4},
    {&ServiceSwitches::youtubeMusic, "youtubeMusic", "svc_youtube_music", "Service.YouTubeMusic",
     nullptr, "youtube-music", "Service.YouTubeMusic", "YouTube Music", true,
     SwitchGroup::kServices, 3},
    {&ServiceSwitches::soundcloud, "soundcloud", "svc_soundcloud", "Service.SoundCloud", nullptr,
     "soundcloud", "Service.SoundCloud", "SoundCloud", true, SwitchGroup::kServices, 5},
    {&ServiceSwitches::deezer, "deezer", "svc_deezer", "Service.Deezer", nullptr, "deezer",
     "Service.Deezer", "Deezer", true, SwitchGroup::kServices, 6},
    {&ServiceSwitches::tidal, "tidal", "svc_tidal", "Service.Tidal", nullptr, "tidal",
     "Service.Tidal", "Tidal", true, SwitchGroup::kServices, 7},
    {&ServiceSwitches::amazonMusic, "amazonMusic", "svc_amazon_music", "Service.AmazonMusic",
     nullptr, "amazon-music", "Service.AmazonMusic", "Amazon Music", true, SwitchGroup::kServices,
     8},
    // YouTube is mostly video: off by default and shown with the kinds of player.
    {&ServiceSwitches::youtube, "youtube", "svc_youtube", "Service.YouTubeVideos", nullptr,
     "youtube", "Service.YouTube", "YouTube", false, SwitchGroup::kOther, 2},
    {&ServiceSwitches::otherPlayers, "otherPlayers", "other_players", "OtherPlayers", nullptr,
     nullptr, nullptr, "Other music players", true, SwitchGroup::kOther, 0},
    {&ServiceSwitches::videoPlayers, "videoPlayers", "video_players", "VideoPlayers", nullptr,
     nullptr, nullptr, "Video players", false, SwitchGroup::kOther, 1},
    {&ServiceSwitches::browserWithoutExtension, "browserWithoutExtension", "browser_smtc",
     "BrowserSmtc", "BrowserSmtc.Description", nullptr, nullptr, "Browsers without the extension",
     true, SwitchGroup::kOther, 3},
};

inline constexpr size_t kServiceSwitchCount = sizeof kServiceSwitches / sizeof kServiceSwitches[0];
// A member without a row (or a row too many) fails here.
static_assert(sizeof(ServiceSwitches) == kServiceSwitchCount * sizeof(bool),
              "every member of ServiceSwitches needs its row in kServiceSwitches");

inline ServiceSwitches::ServiceSwitches() {
  for (const ServiceSwitch& sw : kServiceSwitches) this->*(sw.on) = sw.defaultOn;
}

// The row of a configuration key; null for none.
inline const ServiceSwitch* findSwitchByKey(const char* configKey) {
  for (const ServiceSwitch& sw : kServiceSwitches)
    if (std::strcmp(sw.configKey, configKey) == 0) return &sw;
  return nullptr;
}

// The row that covers a published service name; null for none.
inline const ServiceSwitch* findSwitchByService(const char* service) {
  for (const ServiceSwitch& sw : kServiceSwitches)
    if (sw.service && std::strcmp(sw.service, service) == 0) return &sw;
  return nullptr;
}

}  // namespace tunelight
