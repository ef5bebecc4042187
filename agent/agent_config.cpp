#include "agent/agent_config.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "agent/demo_source.h"
#include "agent/hub.h"
#include "agent/json_read.h"
#include "agent/text_output.h"

namespace tunelight {

namespace {

using nlohmann::json;

// A present member must be a boolean; an absent one leaves the value as it was.
void readSwitch(const json& body, const char* key, bool& value) {
  if (auto b = json_read::optionalBool(body, key, "configuration")) value = *b;
}

}  // namespace

void applyConfig(ConfigTargets& t, const std::string& body) {
  const json j = json::parse(body, nullptr, false);
  if (j.is_discarded()) return;  // not JSON: ignored without a word

  MutexLock lock(t.configLock);
  if (!j.is_object()) throw std::invalid_argument("configuration: body is not a JSON object");

  FilterSettings s = t.hub.settings();
  for (const ServiceSwitch& sw : kServiceSwitches) readSwitch(j, sw.configKey, s.*(sw.on));

  auto list = j.find("blocklist");
  if (list != j.end() && list->is_array()) {
    s.blocklist.clear();
    for (const auto& entry : *list)
      if (entry.is_string()) s.blocklist.push_back(entry.get<std::string>());
  }
  t.hub.setSettings(s);

  if (auto dir = json_read::memberString(j, "outputDir")) t.textOutput.setDir(*dir);

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
