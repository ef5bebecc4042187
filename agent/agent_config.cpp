#include "agent/agent_config.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "agent/demo_source.h"
#include "agent/hub.h"
#include "agent/text_output.h"

namespace tunelight {

namespace {

using nlohmann::json;

// A present member must be a boolean; an absent one leaves the value as it was.
void readSwitch(const json& body, const char* key, bool& value) {
  auto it = body.find(key);
  if (it == body.end()) return;
  if (!it->is_boolean())
    throw std::invalid_argument(std::string("configuration: \"") + key + "\" is not a boolean");
  value = it->get<bool>();
}

}  // namespace

void applyConfig(ConfigTargets& t, const std::string& body) {
  const json j = json::parse(body, nullptr, false);
  if (j.is_discarded()) return;  // not JSON: ignored without a word

  MutexLock lock(t.configLock);
  if (!j.is_object()) throw std::invalid_argument("configuration: body is not a JSON object");

  FilterSettings s = t.hub.settings();
  readSwitch(j, "yandex", s.yandex);
  readSwitch(j, "vk", s.vk);
  readSwitch(j, "spotify", s.spotify);
  readSwitch(j, "appleMusic", s.appleMusic);
  readSwitch(j, "youtubeMusic", s.youtubeMusic);
  readSwitch(j, "soundcloud", s.soundcloud);
  readSwitch(j, "deezer", s.deezer);
  readSwitch(j, "tidal", s.tidal);
  readSwitch(j, "amazonMusic", s.amazonMusic);
  readSwitch(j, "youtube", s.youtube);
  readSwitch(j, "otherPlayers", s.otherPlayers);
  readSwitch(j, "videoPlayers", s.videoPlayers);
  readSwitch(j, "browserWithoutExtension", s.browserWithoutExtension);

  auto list = j.find("blocklist");
  if (list != j.end() && list->is_array()) {
    s.blocklist.clear();
    for (const auto& entry : *list)
      if (entry.is_string()) s.blocklist.push_back(entry.get<std::string>());
  }
  t.hub.setSettings(s);

  auto dir = j.find("outputDir");
  if (dir != j.end() && dir->is_string()) t.textOutput.setDir(dir->get<std::string>());

  // Applied last: a mistyped "demo" fails after the filter and directory took effect.
  bool demo = t.demoEnabled;
  readSwitch(j, "demo", demo);
  setDemo(t, demo);
}

void setDemo(ConfigTargets& t, bool on) {
  if (t.closed) return;
  if (on && !t.demoEnabled) t.demo.start();
  if (!on && t.demoEnabled) t.demo.stop();
  t.demoEnabled = on;
}

void closeDemo(ConfigTargets& t) {
  MutexLock lock(t.configLock);
  t.closed = true;
  t.demo.stop();
  t.demoEnabled = false;
}

}  // namespace tunelight
