#pragma once

#include <cstdint>
#include <string>

#include "agent/model.h"

namespace tunelight {

// What a media session's application id tells about its player.
struct AppIdentity {
  bool handled = false;
  int32_t kind = kKindSmtcApp;
  int32_t service = kServiceUnknown;
  std::string app;
  std::string player;
  bool isVideo = false;
};

// Application id (UTF-8) of a media session -> labels, or not handled. Thread-safe.
AppIdentity identifyApp(const std::string& aumid);

// Exact, case-sensitive service name -> id; anything else gives kServiceUnknown.
int32_t serviceFromName(const std::string& name);

}  // namespace tunelight
