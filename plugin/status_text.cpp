#include "plugin/status_text.h"

#include <ctime>
#include <nlohmann/json.hpp>

#include "agent/json_read.h"
#include "agent/services.h"

namespace tunelight::plugin {

using nlohmann::json;

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
  return json_read::memberString(obj, key).value_or("");
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

}  // namespace tunelight::plugin
