#pragma once

// The panel's texts from the agent's answers: the status report and the recent tracks.

#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace tunelight::plugin {

struct StatusReport {
  int32_t level = 2;  // 0 = a track is playing, 1 = nothing playing, 2 = agent not reachable
  std::string now;
  std::string sources;
};

using Translate = std::function<std::string(const char* key)>;

// Locale key of a published service name; "Service.Unknown" for any other.
const char* service_label_key(const std::string& service_id);
std::string browser_display_name(const std::string& app_id);

// From the bodies of /api/health and /api/now-playing; an empty health body means the agent
// could not be reached.
StatusReport build_status_from(const std::string& health, const std::string& now_playing,
                               const Translate& tr);

// "HH:MM" of a Unix time in seconds in local time; empty when the conversion fails.
std::string format_local_hhmm(int64_t seconds);

// From the body of /api/history: at most 10 lines of HTML, empty for no items.
std::string build_history_html_from(const std::string& body,
                                    const std::function<std::string(int64_t)>& format_time);

// Text for HTML element content: escapes & < > (quotes stay).
std::string html_escape(const std::string& s);

// The string member key of obj; empty when obj is no object or the member no string.
std::string str_member(const nlohmann::json& obj, const char* key);

}  // namespace tunelight::plugin
