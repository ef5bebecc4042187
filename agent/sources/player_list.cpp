#include "agent/sources/player_list.h"

#include <algorithm>
#include <vector>

#include "agent/services.h"
#include "agent/sources/identify.h"
#include "agent/sources/mpris_identify.h"

namespace tunelight {

namespace {

struct Group {
  const char* label;
  bool (*member)(const KnownPlayer&);
};

const char* serviceLabel(int32_t service) {
  const ServiceSwitch* sw = findSwitchByService(serviceName(service));
  return sw ? sw->displayName : "";
}

// Players of one group, each name once, in table order; installed web apps are one entry.
std::string names(const std::vector<KnownPlayer>& rows, bool (*member)(const KnownPlayer&)) {
  std::vector<std::string> seen;
  bool webApp = false;
  for (const KnownPlayer& r : rows) {
    if (!member(r)) continue;
    if (r.app == "pwa") {
      webApp = true;
    } else if (std::find(seen.begin(), seen.end(), r.player) == seen.end()) {
      seen.push_back(r.player);
    }
  }
  if (webApp) seen.push_back("the site installed as an app");
  std::string out;
  for (const std::string& n : seen) out += (out.empty() ? "" : ", ") + n;
  return out;
}

std::string table(const std::vector<KnownPlayer>& rows) {
  std::string out = "| Service | Recognised players |\n|---|---|\n";
  for (int32_t s = kServiceYandex; s <= kServiceAmazonMusic; ++s) {
    std::vector<KnownPlayer> of;
    for (const KnownPlayer& r : rows) {
      if (r.kind == kKindMediaApp && r.service == s) of.push_back(r);
    }
    if (of.empty()) continue;
    const std::string label =
        s == kServiceYoutube ? "YouTube (hidden unless “YouTube videos” is on)" : serviceLabel(s);
    out += "| " + label + " | " + names(of, [](const KnownPlayer&) { return true; }) + " |\n";
  }
  const Group groups[] = {
      {"Other music players",
       [](const KnownPlayer& r) {
         return r.kind == kKindMediaApp && r.service == kServiceOther && !r.isVideo;
       }},
      {"Video players (hidden unless “Video players” is on)",
       [](const KnownPlayer& r) {
         return r.kind == kKindMediaApp && r.service == kServiceOther && r.isVideo;
       }},
      {"Browsers (any tab that plays; the service is unknown without the extension)",
       [](const KnownPlayer& r) { return r.kind == kKindMediaBrowser; }},
  };
  for (const Group& g : groups) {
    const std::string n = names(rows, g.member);
    if (!n.empty()) out += std::string("| ") + g.label + " | " + n + " |\n";
  }
  return out;
}

}  // namespace

std::string supportedPlayersMarkdown() {
  return "Windows (media sessions of desktop and store apps, installed web apps and "
         "browsers):\n\n" +
         table(knownWindowsPlayers()) + "\nLinux (MPRIS players on the session bus):\n\n" +
         table(knownMprisPlayers());
}

}  // namespace tunelight
