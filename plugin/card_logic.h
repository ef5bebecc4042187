#pragma once

// The module's rules that need no libobs: the card's look and address, the body of the settings
// push, the texts of the status report and the recent tracks, placement targets and the restart
// limit. The libobs glue (card_source.cpp, agent_client.cpp, ...) calls these.

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <utility>
#include <vector>

#include "agent/services.h"

namespace tunelight::plugin {

inline constexpr const char* kPluginVersion = "0.2.0";

// The card's look, as the card page reads it from its query string.
struct CardConfig {
  std::string theme = "compact";
  std::string layout = "horizontal";
  std::string background = "dark";
  std::string font = "system";
  std::string accent;  // six lower-case hex digits, or empty
  std::string time_format = "off";
  int32_t scale = 200;   // percent; the page is always rendered at twice the card size
  int32_t show_for = 0;  // seconds; 0 = always shown
  bool hide_on_pause = false;
  bool show_progress = true;
};

// The agent's settings as the card sources set them: the service switches (agent/services.h)
// and the rest.
struct AgentConfig : ServiceSwitches {
  bool demo = false;
  std::vector<std::string> blocklist;
  std::string outputDir;
};

// Browser child size in pixels (before the card draws it at half size).
std::pair<int32_t, int32_t> card_size(const CardConfig& c);

// Percent-encoding that keeps only A-Z a-z 0-9 - . _ ~
std::string url_encode(const std::string& s);

// The page shown while no agent port is known.
extern const char kFallbackPage[];
std::string fallback_url();

// The card page address for base_url ("http://127.0.0.1:PORT"), or the fallback page when
// base_url is empty.
std::string build_widget_url(const CardConfig& c, const std::string& base_url);

// libobs colour 0xAABBGGRR → "rrggbb".
std::string accent_hex(int64_t obs_color);

// One entry per line; trailing blanks and CRs stripped, leading blanks kept, empty lines dropped.
std::vector<std::string> parse_blocklist_text(const std::string& text);

std::string json_quote(const std::string& s);
std::string agent_config_json(const AgentConfig& c);

// Text for HTML element content: escapes & < > (quotes stay).
std::string html_escape(const std::string& s);

// The string member key of obj; empty when obj is no object or the member no string.
std::string str_member(const nlohmann::json& obj, const char* key);

// Decimal number after the last ':' of a base URL; 0 when there is none.
int port_of(const std::string& base_url);

// 32 lower-case hex digits from the system random device.
std::string make_token();

// ---- Status report and recent tracks ----

struct StatusReport {
  int32_t level = 2;  // 0 = a track is playing, 1 = nothing playing, 2 = agent not reachable
  std::string now;
  std::string sources;
};

using Translate = std::function<std::string(const char* key)>;

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

// ---- Placement ----

struct PlacementPreset {
  const char* name;
  uint32_t alignment;  // libobs OBS_ALIGN_* bits
  int horizontal;      // -1 near edge, 0 centre, +1 far edge
  int vertical;
};

// Null when name is not a preset ("manual" included).
const PlacementPreset* find_placement_preset(const std::string& name);

struct PlacementTarget {
  float x;
  float y;
};

// Where an item of horizontal scale scale_x goes on a canvas_w × canvas_h canvas.
PlacementTarget placement_target(const PlacementPreset& p, float canvas_w, float canvas_h,
                                 int32_t margin, float scale_x);

// An item within half a pixel of its target is left alone.
bool placement_needs_move(float cur_x, float cur_y, const PlacementTarget& t);

// ---- Restart limit ----

// At most 5 restarts within 60 s of the window start; the window is not moved by the restarts.
class RestartWindow {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kMaxRestarts = 5;
  static constexpr std::chrono::nanoseconds kWindow = std::chrono::seconds(60);

  explicit RestartWindow(Clock::time_point start) : start_(start) {}
  // True when a restart may happen now; counts it. count() then gives its number (1..5).
  bool allow(Clock::time_point now);
  int count() const { return count_; }

 private:
  Clock::time_point start_;
  int count_ = 0;
};

}  // namespace tunelight::plugin
