#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/model.h"

namespace tunelight {

// What a media session's application id tells about its player.
struct AppIdentity {
  bool handled = false;
  int32_t kind = kKindMediaApp;
  int32_t service = kServiceUnknown;
  std::string app;
  std::string player;
  bool isVideo = false;
};

// Application id (UTF-8) of a media session -> labels, or not handled. Thread-safe.
AppIdentity identifyApp(const std::string& aumid);

// One player the identification tables know, for the list of supported players.
struct KnownPlayer {
  int32_t kind;     // kKindMediaApp or kKindMediaBrowser
  int32_t service;  // kServiceUnknown for browsers
  std::string app;  // "desktop", "store", "pwa", or the browser word
  std::string player;
  bool isVideo;
};

// Every player identifyApp handles, in table order (one row per table row).
std::vector<KnownPlayer> knownWindowsPlayers();

// Exact, case-sensitive service name -> id; anything else gives kServiceUnknown.
int32_t serviceFromName(const std::string& name);

}  // namespace tunelight
