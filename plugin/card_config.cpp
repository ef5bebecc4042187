#include "plugin/card_config.h"

#include <cstdio>

#include "plugin/card_metrics.h"

namespace tunelight::plugin {

namespace {

template <typename E, size_t N>
E parse(const Choice<E> (&list)[N], const std::string& name) {
  for (const auto& c : list)
    if (name == c.name) return c.value;
  return list[0].value;
}

template <typename E, size_t N>
const char* name_in(const Choice<E> (&list)[N], E v) {
  for (const auto& c : list)
    if (c.value == v) return c.name;
  return list[0].name;
}

}  // namespace

Theme parse_theme(const std::string& name) {
  return parse(kThemes, name);
}
Layout parse_layout(const std::string& name) {
  return parse(kLayouts, name);
}
Background parse_background(const std::string& name) {
  return parse(kBackgrounds, name);
}

const char* name_of(Theme v) {
  return name_in(kThemes, v);
}
const char* name_of(Layout v) {
  return name_in(kLayouts, v);
}
const char* name_of(Background v) {
  return name_in(kBackgrounds, v);
}

std::pair<int32_t, int32_t> card_size(const CardConfig& c) {
  const CardMetrics& m = card_metrics(c.theme, c.layout);
  // The page holds the card and its shadow: the card's inset on every side. Any time format
  // but "off" sizes the page as with the times.
  auto w = static_cast<int32_t>(m.box_w + 2 * kCardInset);
  auto h =
      static_cast<int32_t>((c.time_format != "off" ? m.box_h_times : m.box_h) + 2 * kCardInset);
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
  std::string url = base_url + "/widget?theme=" + name_of(c.theme);
  if (c.layout != Layout::kHorizontal) url += std::string("&layout=") + name_of(c.layout);
  if (c.background != Background::kDark) url += std::string("&bg=") + name_of(c.background);
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

}  // namespace tunelight::plugin
