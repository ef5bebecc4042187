#include "plugin/card_logic.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>

namespace tunelight::plugin {

using nlohmann::json;

std::pair<int32_t, int32_t> card_size(const CardConfig& c) {
  bool vinyl = c.theme == "vinyl";
  bool vertical = c.layout == "vertical";
  int32_t w, h;
  if (vinyl) {
    w = vertical ? 312 : 600;
    h = vertical ? 408 : 200;
  } else {
    w = vertical ? 256 : 500;
    h = vertical ? 336 : 140;
  }
  if (vertical && c.time_format != "off") h += 20;
  return {(w * c.scale + 50) / 100, (h * c.scale + 50) / 100};
}

std::string url_encode(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size() * 3);
  for (unsigned char ch : s) {
    if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
        ch == '-' || ch == '.' || ch == '_' || ch == '~') {
      out += static_cast<char>(ch);
    } else {
      out += '%';
      out += hex[ch >> 4];
      out += hex[ch & 15];
    }
  }
  return out;
}

const char kFallbackPage[] =
    "<!doctype html><meta charset=utf-8><style>html,body{margin:0;background:transparent;"
    "font:600 18px 'Segoe UI',sans-serif;color:#fff}div{margin:12px;padding:18px 22px;"
    "border-radius:16px;background:rgba(150,30,30,.85)}</style><div>Tunelight: the background "
    "program did not start (agent is not running). See OBS log.</div>";

std::string fallback_url() {
  return "data:text/html;charset=utf-8," + url_encode(kFallbackPage);
}

std::string build_widget_url(const CardConfig& c, const std::string& base_url) {
  if (base_url.empty()) return fallback_url();
  std::string url = base_url + "/widget?theme=" + c.theme;
  if (c.layout != "horizontal") url += "&layout=" + c.layout;
  if (c.background != "dark") url += "&bg=" + c.background;
  if (c.font != "system") url += "&font=" + c.font;
  if (!c.accent.empty()) url += "&accent=" + c.accent;
  if (c.scale != 100) {
    char frac[16];
    std::snprintf(frac, sizeof frac, "%02d", static_cast<int>(c.scale % 100));
    url += "&scale=" + std::to_string(c.scale / 100) + "." + frac;
  }
  if (c.time_format != "off") url += "&time=" + c.time_format;
  if (c.show_for > 0) url += "&showFor=" + std::to_string(c.show_for);
  if (c.hide_on_pause) url += "&hideOnPause=1";
  if (!c.show_progress) url += "&progress=0";
  return url;
}

std::string accent_hex(int64_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02x%02x%02x", static_cast<unsigned>(v & 0xFF),
                static_cast<unsigned>((v >> 8) & 0xFF), static_cast<unsigned>((v >> 16) & 0xFF));
  return buf;
}

std::vector<std::string> parse_blocklist_text(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string piece = text.substr(pos, nl - pos);
    while (!piece.empty() && (piece.back() == '\r' || piece.back() == ' ')) piece.pop_back();
    if (!piece.empty()) out.push_back(piece);
    pos = nl + 1;
  }
  return out;
}

std::string json_quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char ch : s) {
    if (ch < 0x20) continue;
    if (ch == '"' || ch == '\\') out += '\\';
    out += static_cast<char>(ch);
  }
  out += '"';
  return out;
}

std::string agent_config_json(const AgentConfig& c) {
  auto flag = [](const char* key, bool v) {
    return std::string("\"") + key + "\":" + (v ? "true" : "false") + ",";
  };
  std::string out = "{";
  for (const ServiceSwitch& sw : kServiceSwitches) out += flag(sw.configKey, c.*(sw.on));
  out += flag("demo", c.demo);
  out += "\"blocklist\":[";
  for (size_t i = 0; i < c.blocklist.size(); ++i) {
    if (i) out += ",";
    out += json_quote(c.blocklist[i]);
  }
  out += "],\"outputDir\":" + json_quote(c.outputDir) + "}";
  return out;
}

std::string html_escape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    if (ch == '<')
      out += "&lt;";
    else if (ch == '>')
      out += "&gt;";
    else if (ch == '&')
      out += "&amp;";
    else
      out += ch;
  }
  return out;
}

int port_of(const std::string& base_url) {
  size_t colon = base_url.rfind(':');
  if (colon == std::string::npos) return 0;
  return std::atoi(base_url.c_str() + colon + 1);
}

std::string make_token() {
  std::random_device rd;
  std::string out;
  for (int i = 0; i < 4; ++i) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(rd()));
    out += buf;
  }
  return out;
}

// ---- Status report and recent tracks ----

const char* service_label_key(const std::string& id) {
  const ServiceSwitch* sw = findSwitchByService(id.c_str());
  return sw ? sw->serviceLabelKey : "Service.Unknown";
}

std::string browser_display_name(const std::string& app) {
  if (app == "chrome") return "Chrome";
  if (app == "edge") return "Edge";
  if (app == "firefox") return "Firefox";
  if (app == "opera") return "Opera";
  if (app == "yandex-browser") return "Yandex Browser";
  return app;
}

std::string str_member(const json& obj, const char* key) {
  if (!obj.is_object()) return "";
  auto it = obj.find(key);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : "";
}

namespace {

std::string service_label(const json& obj, const Translate& tr) {
  std::string service = str_member(obj, "service");
  std::string player = str_member(obj, "player");
  if (service == "other" && !player.empty()) return player;
  return tr(service_label_key(service));
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// "Hidden: mpv is a video player — turn on “Video players”": what a service switch hides and
// which switch shows it; empty when the agent did not name a switch we know.
std::string filtered_status(const json& f, const Translate& tr) {
  const std::string key = str_member(f, "switch");
  const ServiceSwitch* sw = findSwitchByKey(key.c_str());
  if (!sw) return "";
  std::string who = str_member(f, "player");
  if (who.empty()) who = tr(service_label_key(str_member(f, "service")));
  const char* text = key == "videoPlayers"              ? "Status.HiddenVideo"
                     : key == "browserWithoutExtension" ? "Status.HiddenBrowser"
                                                        : "Status.HiddenSwitch";
  return replace_all(replace_all(tr(text), "%1", who), "%2", tr(sw->labelKey));
}

}  // namespace

StatusReport build_status_from(const std::string& health, const std::string& now_playing,
                               const Translate& tr) {
  StatusReport r;
  if (health.empty()) {
    r.level = 2;
    r.now = tr("Status.AgentDown");
    r.sources = "\xE2\x80\x94";
    return r;
  }
  json np = json::parse(now_playing, nullptr, false);
  auto active = np.is_object() ? np.find("active") : np.end();
  if (np.is_object() && active != np.end() && active->is_boolean() && active->get<bool>()) {
    r.level = 0;
    r.now = str_member(np, "artist") + " \xE2\x80\x94 " + str_member(np, "title") + " \xC2\xB7 " +
            service_label(np, tr);
  } else {
    r.level = 1;
    r.now = tr("Status.Nothing");
  }
  json h = json::parse(health, nullptr, false);
  if (r.level == 1 && h.is_object()) {
    auto hidden = h.find("hidden");
    if (hidden != h.end() && hidden->is_object())
      r.now = tr("Status.Hidden") + ": " + str_member(*hidden, "artist") + " \xE2\x80\x94 " +
              str_member(*hidden, "title");
    auto filtered = h.find("filtered");
    if (filtered != h.end() && filtered->is_object()) {
      std::string text = filtered_status(*filtered, tr);
      if (!text.empty()) r.now = text;
    }
  }
  std::string text;
  if (h.is_object()) {
    auto sources = h.find("sources");
    if (sources != h.end() && sources->is_array()) {
      for (const auto& el : *sources) {
        std::string kind = str_member(el, "kind");
        std::string app = str_member(el, "app");
        std::string entry;
        if (kind == "smtc-app")
          entry = service_label(el, tr) + " (" + tr("Status.App") + ")";
        else if (kind == "extension")
          entry = browser_display_name(app) + " (" + tr("Status.Extension") + ")";
        else if (kind == "smtc-browser")
          entry = browser_display_name(app) + " (" + tr("Status.NoExtension") + ")";
        else
          entry = tr("Status.Demo");
        if (entry.empty() || text.find(entry) != std::string::npos) continue;
        if (!text.empty()) text += ", ";
        text += entry;
      }
    }
  }
  r.sources = text.empty() ? tr("Status.None") : text;
  return r;
}

std::string format_local_hhmm(int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
#ifdef _WIN32
  if (localtime_s(&tm, &t) != 0) return "";
#else
  if (!localtime_r(&t, &tm)) return "";
#endif
  char buf[8];
  if (std::strftime(buf, sizeof buf, "%H:%M", &tm) == 0) return "";
  return buf;
}

std::string build_history_html_from(const std::string& body,
                                    const std::function<std::string(int64_t)>& format_time) {
  if (body.empty() || body == "[]") return "";
  json doc = json::parse("{\"items\":" + body + "}", nullptr, false);
  if (!doc.is_object() || !doc["items"].is_array()) return "";
  const json& items = doc["items"];
  std::string out;
  for (size_t i = 0; i < items.size() && i < 10; ++i) {
    const json& it = items[i];
    int64_t started = 0;
    if (it.is_object()) {
      auto s = it.find("startedAt");
      if (s != it.end() && s->is_number()) started = s->get<int64_t>();
    }
    if (i > 0) out += "<br>";
    out += "<span style='color:#8a8f9c'>" + format_time(started / 1000) + "</span>&nbsp;&nbsp;" +
           html_escape(str_member(it, "artist")) + " \xE2\x80\x94 " +
           html_escape(str_member(it, "title"));
  }
  return out;
}

// ---- Placement ----

namespace {
const PlacementPreset kPresets[] = {
    {"top_left", 5, -1, -1},   {"top_center", 4, 0, -1},   {"top_right", 6, 1, -1},
    {"middle_left", 1, -1, 0}, {"center", 0, 0, 0},        {"middle_right", 2, 1, 0},
    {"bottom_left", 9, -1, 1}, {"bottom_center", 8, 0, 1}, {"bottom_right", 10, 1, 1},
};
}  // namespace

const PlacementPreset* find_placement_preset(const std::string& name) {
  for (const auto& p : kPresets)
    if (name == p.name) return &p;
  return nullptr;
}

PlacementTarget placement_target(const PlacementPreset& p, float w, float h, int32_t margin,
                                 float scale_x) {
  // The page draws the card 12 px inside its edges; take that back so the visible card sits
  // `margin` pixels from the canvas edge.
  float m = static_cast<float>(margin) - 12.0f * scale_x;
  auto place = [m](int mode, float size) {
    return mode < 0 ? m : mode == 0 ? size * 0.5f : size - m;
  };
  return {place(p.horizontal, w), place(p.vertical, h)};
}

bool placement_needs_move(float cur_x, float cur_y, const PlacementTarget& t) {
  return std::fabs(cur_x - t.x) > 0.5f || std::fabs(cur_y - t.y) > 0.5f;
}

// ---- Restart limit ----

bool RestartWindow::allow(Clock::time_point now) {
  if (now - start_ > kWindow) {
    start_ = now;
    count_ = 0;
  } else if (count_ >= kMaxRestarts) {
    return false;
  }
  ++count_;
  return true;
}

}  // namespace tunelight::plugin
