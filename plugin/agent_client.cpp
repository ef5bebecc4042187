#include <httplib.h>

#include <algorithm>

#include "plugin/native/native_logic.h"
#include "plugin/plugin.h"
#include "plugin/supervisor.h"

namespace tunelight::plugin {

// Runs on OBS's UI thread (properties panel): reads the published address, never the one behind
// a launch in progress. During a relaunch that is the old agent's, which fails within the connect
// limit.
std::string agent_get(const std::string& path) {
  std::string base = supervisor().published_base_url();
  if (base.empty()) return "";
  httplib::Client client("127.0.0.1", port_of(base));
  client.set_connection_timeout(0, 300000);
  client.set_read_timeout(0, 500000);
  auto res = client.Get(path.c_str());
  if (!res || res->status != 200) return "";
  return res->body;
}

bool agent_post(const std::string& base_url, const std::string& token, const std::string& path,
                const std::string& body) {
  if (base_url.empty()) return false;
  httplib::Client client("127.0.0.1", port_of(base_url));
  client.set_connection_timeout(1, 0);
  client.set_read_timeout(2, 0);
  httplib::Headers headers = {{"X-Tunelight-Token", token}};
  auto res = client.Post(path.c_str(), headers, body, "application/json");
  return res && res->status == 200;
}

void push_config(const AgentConfig& c) {
  supervisor().push_config(c);
}

StatusReport build_status(std::string* now_playing_out) {
  std::string health = agent_get("/api/health");
  std::string now_playing = health.empty() ? "" : agent_get("/api/now-playing");
  if (now_playing_out) *now_playing_out = now_playing;
  return build_status_from(health, now_playing, [](const char* key) { return T(key); });
}

namespace {

// The player buttons take what the card's source takes; with nothing on the card the status
// line above them says so, otherwise a line below tells why they are greyed.
void refresh_controls(obs_properties_t* props, const std::string& now_playing) {
  const auto state = parse_now_playing(now_playing);
  const bool active = state && state->active;
  auto takes = [&](const char* action) {
    return active && std::find(state->controls.begin(), state->controls.end(), action) !=
                         state->controls.end();
  };
  bool all = true;
  for (const auto& [key, action] :
       {std::pair{"control_play_pause", "playPause"}, std::pair{"control_previous", "previous"},
        std::pair{"control_next", "next"}}) {
    const bool on = takes(action);
    all = all && on;
    if (obs_property_t* p = obs_properties_get(props, key)) obs_property_set_enabled(p, on);
  }
  if (obs_property_t* p = obs_properties_get(props, "controls_info"))
    obs_property_set_visible(p, active && !all);
}

}  // namespace

void refresh_status(obs_source_t* source, obs_properties_t* props) {
  std::string now_playing;
  StatusReport r = build_status(&now_playing);
  obs_data_t* settings = obs_source_get_settings(source);
  obs_data_set_string(settings, "status_now", r.now.c_str());
  obs_data_set_string(settings, "status_sources", r.sources.c_str());
  obs_data_release(settings);
  if (!props) return;
  obs_property_text_set_info_type(obs_properties_get(props, "status_now"),
                                  r.level == 2   ? OBS_TEXT_INFO_ERROR
                                  : r.level == 1 ? OBS_TEXT_INFO_WARNING
                                                 : OBS_TEXT_INFO_NORMAL);
  obs_property_text_set_info_type(obs_properties_get(props, "status_sources"),
                                  r.level == 2 ? OBS_TEXT_INFO_ERROR : OBS_TEXT_INFO_NORMAL);
  refresh_controls(props, now_playing);
}

std::string build_history_html() {
  return build_history_html_from(agent_get("/api/history"), format_local_hhmm);
}

}  // namespace tunelight::plugin
