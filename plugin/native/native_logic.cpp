#include "plugin/native/native_logic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "plugin/card_metrics.h"

namespace tunelight::plugin {

using nlohmann::json;

namespace {

std::optional<int64_t> int_of(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return std::nullopt;
  return it->is_number_float() ? static_cast<int64_t>(it->get<double>()) : it->get<int64_t>();
}

}  // namespace

std::optional<NowPlaying> parse_now_playing(const std::string& text) {
  json j = json::parse(text, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  NowPlaying s;
  auto active = j.find("active");
  s.active = active != j.end() && active->is_boolean() && active->get<bool>();
  s.status = str_member(j, "status");
  s.track_id = str_member(j, "trackId");
  s.title = str_member(j, "title");
  s.artist = str_member(j, "artist");
  s.album = str_member(j, "album");
  s.cover_url = str_member(j, "coverUrl");
  s.duration_ms = int_of(j, "durationMs");
  s.position_ms = int_of(j, "positionMs");
  s.position_at = int_of(j, "positionAt").value_or(0);
  s.show_at = int_of(j, "showAt").value_or(0);
  auto controls = j.find("controls");
  if (controls != j.end() && controls->is_array())
    for (const auto& c : *controls)
      if (c.is_string()) s.controls.push_back(c.get<std::string>());
  return s;
}

void EventStreamParser::feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    char ch = data[i];
    if (ch == '\n' && after_cr_) {  // the second half of a CR LF
      after_cr_ = false;
      continue;
    }
    after_cr_ = ch == '\r';
    if (ch == '\r' || ch == '\n') {
      line(partial_);
      partial_.clear();
    } else if (partial_.size() < (1u << 20)) {  // a runaway line is cut, not kept growing
      partial_ += ch;
    }
  }
}

void EventStreamParser::line(std::string_view l) {
  if (l.empty()) {
    if (has_data_) on_message_(data_);
    data_.clear();
    has_data_ = false;
    return;
  }
  if (l.front() == ':') return;  // comment (keep-alive)
  size_t colon = l.find(':');
  std::string_view field = l.substr(0, colon);
  std::string_view value = colon == std::string_view::npos ? "" : l.substr(colon + 1);
  if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  if (field != "data") return;
  if (has_data_) data_ += '\n';
  data_.append(value);
  has_data_ = true;
}

void CardScript::set_options(int32_t show_for_s, bool hide_on_pause) {
  show_for_s_ = std::clamp(show_for_s, 0, 600);
  hide_on_pause_ = hide_on_pause;
}

void CardScript::apply(const NowPlaying& s, int64_t now_ms) {
  state_ = s;
  if (s.active) {
    bool playing = s.playing();
    // A window opens on every new track and on every return to playing.
    if ((s.track_id != track_id_ || (playing && !was_playing_)) && show_for_s_ > 0)
      show_until_ = now_ms + int64_t(show_for_s_) * 1000;
    // A request to show the card opens one from the moment it was made (a card that starts
    // meanwhile gets what is left of it).
    if (s.show_at > 0 && s.show_at != show_at_ && show_for_s_ > 0)
      show_until_ =
          std::max(show_until_, std::min(s.show_at, now_ms) + int64_t(show_for_s_) * 1000);
    show_at_ = s.show_at;
    was_playing_ = playing;
    track_id_ = s.track_id;
  } else {
    track_id_.clear();
    was_playing_ = false;
  }
}

CardScript::View CardScript::view(bool connected, int64_t now_ms) const {
  View v;
  if (!connected || !state_ || !state_->active) return v;
  v.paused = !state_->playing();
  bool expired = show_for_s_ > 0 && now_ms >= show_until_;
  v.hidden = (v.paused && hide_on_pause_) || expired;
  return v;
}

std::optional<int64_t> position_now(const NowPlaying& s, int64_t now_ms) {
  if (!s.active || !s.position_ms) return std::nullopt;
  int64_t p = *s.position_ms;
  if (s.playing()) p += now_ms - s.position_at;
  if (s.duration_ms && *s.duration_ms > 0) return std::clamp<int64_t>(p, 0, *s.duration_ms);
  return std::max<int64_t>(p, 0);
}

std::string format_time(int64_t ms) {
  int64_t t = std::max<int64_t>(ms, 0) / 1000;
  int64_t h = t / 3600, m = (t / 60) % 60, s = t % 60;
  char buf[48];
  if (h > 0)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(h),
                  static_cast<long long>(m), static_cast<long long>(s));
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(m),
                  static_cast<long long>(s));
  return buf;
}

bool time_mode_on(const std::string& mode) {
  return mode == "elapsed" || mode == "remaining" || mode == "elapsed_total" ||
         mode == "elapsed_remaining";
}

TimeTexts time_texts(const std::string& mode, std::optional<int64_t> pos,
                     std::optional<int64_t> duration, bool bar_shown) {
  TimeTexts t;
  if (!time_mode_on(mode)) return t;
  t.no_bar = true;
  if (!pos) return t;
  int64_t dur = duration && *duration > 0 ? *duration : 0;
  std::string el = format_time(*pos);
  if (dur == 0) {  // radio, live streams: the elapsed time alone
    t.start = el;
    return t;
  }
  std::string rem = "\xE2\x88\x92" + format_time(dur - *pos);  // U+2212 minus sign
  std::string total = format_time(dur);
  const std::string dot = " \xC2\xB7 ";
  if (!bar_shown) {
    if (mode == "elapsed") t.start = el;
    if (mode == "remaining") t.start = rem;
    if (mode == "elapsed_total") t.start = el + " / " + total;
    if (mode == "elapsed_remaining") t.start = el + dot + rem;
    return t;
  }
  t.no_bar = false;
  if (mode == "elapsed") t.start = el;
  if (mode == "remaining") t.end = rem;
  if (mode == "elapsed_total") t.start = el, t.end = total;
  if (mode == "elapsed_remaining") t.start = el, t.end = rem;
  return t;
}

Color rgba8(int r, int g, int b, double a) {
  return {r / 255.0f, g / 255.0f, b / 255.0f, static_cast<float>(a)};
}

Color hsl_color(double h, double s, double l, double a) {
  // CSS hsl(): hue in degrees, saturation and lightness 0..1.
  auto f = [&](double n) {
    double k = std::fmod(n + h / 30.0, 12.0);
    if (k < 0) k += 12.0;
    double amp = s * std::min(l, 1.0 - l);
    return static_cast<float>(l - amp * std::max(-1.0, std::min({k - 3.0, 9.0 - k, 1.0})));
  };
  return {f(0), f(8), f(4), static_cast<float>(a)};
}

std::vector<uint8_t> resample_rgba(const std::vector<uint8_t>& rgba, uint32_t width,
                                   uint32_t height, uint32_t to_width, uint32_t to_height) {
  std::vector<uint8_t> out(size_t(to_width) * to_height * 4, 0);
  if (!width || !height || rgba.size() < size_t(width) * height * 4) return out;
  for (uint32_t oy = 0; oy < to_height; ++oy) {
    uint32_t y0 = uint32_t(uint64_t(oy) * height / to_height);
    uint32_t y1 = std::max(y0 + 1, uint32_t(uint64_t(oy + 1) * height / to_height));
    for (uint32_t ox = 0; ox < to_width; ++ox) {
      uint32_t x0 = uint32_t(uint64_t(ox) * width / to_width);
      uint32_t x1 = std::max(x0 + 1, uint32_t(uint64_t(ox + 1) * width / to_width));
      // Colours weighted by alpha, so transparent pixels do not darken the edges.
      uint64_t sum[4] = {0, 0, 0, 0};
      for (uint32_t y = y0; y < y1; ++y) {
        const uint8_t* p = &rgba[(size_t(y) * width + x0) * 4];
        for (uint32_t x = x0; x < x1; ++x, p += 4) {
          for (int c = 0; c < 3; ++c) sum[c] += uint64_t(p[c]) * p[3];
          sum[3] += p[3];
        }
      }
      uint64_t n = uint64_t(y1 - y0) * (x1 - x0);
      uint8_t* q = &out[(size_t(oy) * to_width + ox) * 4];
      for (int c = 0; c < 3; ++c) q[c] = sum[3] ? uint8_t((sum[c] + sum[3] / 2) / sum[3]) : 0;
      q[3] = uint8_t((sum[3] + n / 2) / n);
    }
  }
  return out;
}

std::optional<Hsl> dominant_hsl(const std::vector<uint8_t>& rgba, uint32_t width, uint32_t height) {
  if (!width || !height) return std::nullopt;
  std::vector<uint8_t> small = resample_rgba(rgba, width, height, 24, 24);
  double sr = 0, sg = 0, sb = 0, sk = 0;
  for (size_t i = 0; i < small.size(); i += 4) {
    if (small[i + 3] < 128) continue;
    double r = small[i], g = small[i + 1], b = small[i + 2];
    double mx = std::max({r, g, b}), mn = std::min({r, g, b});
    double sat = mx > 0 ? (mx - mn) / mx : 0;
    double k = sat * sat * (mx / 255.0) + 0.03;
    sr += r * k, sg += g * k, sb += b * k, sk += k;
  }
  if (sk == 0) return std::nullopt;
  double r = sr / (sk * 255), g = sg / (sk * 255), b = sb / (sk * 255);
  double mx = std::max({r, g, b}), mn = std::min({r, g, b});
  Hsl out;
  if (mx == mn) return out;
  double d = mx - mn, l = (mx + mn) / 2;
  out.s = l > 0.5 ? d / (2 - mx - mn) : d / (mx + mn);
  if (mx == r)
    out.h = (g - b) / d + (g < b ? 6 : 0);
  else if (mx == g)
    out.h = (b - r) / d + 2;
  else
    out.h = (r - g) / d + 4;
  out.h *= 60;
  return out;
}

Palette card_palette(Background background, const std::string& accent,
                     const std::optional<Hsl>& cover) {
  Palette p;
  if (background == Background::kLight) {
    p.bg = rgba8(248, 248, 250, 0.94);
    p.fg = rgba8(21, 22, 27);
    p.fg_dim = rgba8(21, 22, 27, 0.62);
    p.track = rgba8(21, 22, 27, 0.14);
    p.accent = rgba8(21, 22, 27);
    p.shadow_alpha = 0.16f;
  } else {
    p.bg = rgba8(16, 16, 20, 0.8);
    p.fg = rgba8(255, 255, 255);
    p.fg_dim = rgba8(255, 255, 255, 0.64);
    p.track = rgba8(255, 255, 255, 0.18);
    p.accent = rgba8(255, 255, 255);
  }
  // A grey cover keeps the dark card.
  if (background == Background::kCover && cover && cover->s >= 0.12) {
    double h = std::round(cover->h);
    double s1 = std::round(std::min(cover->s, 0.6) * 100) / 100;
    double s2 = std::round(std::max(std::min(cover->s, 0.9), 0.55) * 100) / 100;
    p.bg = hsl_color(h, s1, 0.17, 0.9);
    p.accent = hsl_color(h, s2, 0.70);
  }
  if (accent.size() == 6) {
    unsigned v = static_cast<unsigned>(std::strtoul(accent.c_str(), nullptr, 16));
    p.accent = rgba8(int(v >> 16) & 255, int(v >> 8) & 255, int(v) & 255);
  }
  return p;
}

CardLayout card_layout(const CardConfig& c, bool time_shown, bool no_bar) {
  const bool vinyl = c.theme == Theme::kVinyl;
  const bool vertical = c.layout == Layout::kVertical;
  const CardMetrics& m = card_metrics(c.theme, c.layout);
  CardLayout l;
  CardConfig natural = c;
  natural.scale = 100;
  auto [pw, ph] = card_size(natural);
  l.page_w = float(pw);
  l.page_h = float(ph);

  // The box fills the page but for the inset around it (room for the shadow).
  float box_w = l.page_w - 2 * kCardInset, box_h = l.page_h - 2 * kCardInset;
  l.radius = m.radius;
  l.title_px = m.title_px;
  l.artist_px = m.artist_px;
  l.time_px = m.time_px;
  const float art = m.art;
  l.box = {kCardInset, kCardInset, box_w, box_h};
  l.disc = vinyl;
  l.art_radius = vinyl ? art / 2 : kCoverRadius;
  l.centred = vertical;

  float title_lh = l.title_px * kTitleLineHeight, artist_lh = l.artist_px * kArtistLineHeight;
  // The time line: the bar, then the times below it; without a bar only the start text.
  float timeline_h = no_bar ? m.time_lh : kBarHeight + (time_shown ? m.row_gap + m.time_lh : 0);
  float meta_h = title_lh + kMetaGap + artist_lh + kMetaGap + m.tl_margin + timeline_h;
  float meta_x, meta_y, meta_w;
  if (vertical) {
    l.art = {l.box.x + (box_w - art) / 2, l.box.y + m.pad_t, art, art};
    meta_x = l.box.x + m.pad_l;
    meta_w = box_w - m.pad_l - m.pad_r;
    meta_y = l.art.y + art + m.gap;
  } else {
    float content_h = box_h - m.pad_t - m.pad_b;
    l.art = {l.box.x + m.pad_l, l.box.y + m.pad_t + (content_h - art) / 2, art, art};
    meta_x = l.art.x + art + m.gap;
    meta_w = box_w - m.pad_l - art - m.gap - m.pad_r;
    meta_y = l.box.y + m.pad_t + (content_h - meta_h) / 2;
  }
  l.title = {meta_x, meta_y, meta_w, title_lh};
  l.artist = {meta_x, meta_y + title_lh + kMetaGap, meta_w, artist_lh};
  float tl_y = l.artist.y + artist_lh + kMetaGap + m.tl_margin;
  l.bar = {meta_x, tl_y, meta_w, kBarHeight};
  l.times = {meta_x, no_bar ? tl_y : tl_y + kBarHeight + m.row_gap, meta_w, m.time_lh};
  return l;
}

size_t utf8_length(std::string_view s) {
  size_t n = 0;
  for (unsigned char ch : s)
    if ((ch & 0xC0) != 0x80) ++n;
  return n;
}

std::string utf8_prefix(std::string_view s, size_t n) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && count++ == n)
      return std::string(s.substr(0, i));
  }
  return std::string(s);
}

size_t shorter_prefix(size_t total, size_t shown, double width, double max_width) {
  if (shown == 0 || width <= 0) return 0;
  // Keep the share of the code points that fits, then at least one fewer than now.
  auto estimate = static_cast<size_t>(std::floor(double(shown) * max_width / width));
  size_t keep = std::min(estimate, shown - 1);
  return std::min(keep, total);
}

}  // namespace tunelight::plugin
