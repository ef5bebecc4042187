#pragma once

// The card that the module draws itself (for OBS builds without a browser source), as far as it
// needs no libobs: the now-playing state from the event stream, the show/hide rules, position and
// time texts, colours, image resampling and the layout. They follow the card page's own rules so
// that both cards look and behave alike.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/card_logic.h"

namespace tunelight::plugin {

// ---- State from the agent ----

struct NowPlaying {
  bool active = false;
  std::string status;
  std::string track_id;
  std::string title;
  std::string artist;
  std::string album;
  std::string cover_url;  // "/cover/<id>", or empty
  std::optional<int64_t> duration_ms;
  std::optional<int64_t> position_ms;
  int64_t position_at = 0;  // wall-clock ms at which position_ms was true
  int64_t show_at = 0;      // wall-clock ms of the latest request to show the card; 0 = none
  std::vector<std::string> controls;  // the player actions the source takes
  bool playing() const { return status == "playing"; }
};

// The now-playing document; nullopt when the text is not a JSON object.
std::optional<NowPlaying> parse_now_playing(const std::string& json);

// Splits a server-sent event stream into the data of its messages.
class EventStreamParser {
 public:
  explicit EventStreamParser(std::function<void(const std::string&)> on_message)
      : on_message_(std::move(on_message)) {}
  void feed(const char* data, size_t size);

 private:
  void line(std::string_view l);
  std::function<void(const std::string&)> on_message_;
  std::string partial_;
  std::string data_;
  bool has_data_ = false;
  bool after_cr_ = false;
};

// ---- Show and hide ----

// The card's visibility rules over the states it receives: hidden without a connection or an
// active state, when paused with hide-on-pause, or after the show-for window of a track or of a
// request to show the card.
class CardScript {
 public:
  struct View {
    bool hidden = true;
    bool paused = false;
  };

  void set_options(int32_t show_for_s, bool hide_on_pause);
  void apply(const NowPlaying& s, int64_t now_ms);
  View view(bool connected, int64_t now_ms) const;
  const std::optional<NowPlaying>& state() const { return state_; }

 private:
  std::optional<NowPlaying> state_;
  std::string track_id_;  // empty: none
  bool was_playing_ = false;
  int64_t show_until_ = 0;
  int64_t show_at_ = 0;  // the request already taken
  int32_t show_for_s_ = 0;
  bool hide_on_pause_ = false;
};

// ---- Position and time ----

// Where the track is at now_ms: runs on while playing, clamped to the duration.
std::optional<int64_t> position_now(const NowPlaying& s, int64_t now_ms);

// "m:ss" or "h:mm:ss" of whole seconds.
std::string format_time(int64_t ms);

// Whether the time format shows anything (values outside the list count as "off").
bool time_mode_on(const std::string& mode);

struct TimeTexts {
  std::string start;
  std::string end;
  bool no_bar = false;  // one line in the bar's place
};

// The two time texts for a position, as the card page writes them.
TimeTexts time_texts(const std::string& mode, std::optional<int64_t> pos,
                     std::optional<int64_t> duration, bool bar_shown);

// ---- Colours ----

struct Color {
  float r = 0, g = 0, b = 0, a = 0;  // sRGB 0..1, straight alpha
};

struct Hsl {
  double h = 0;  // degrees
  double s = 0;  // 0..1
};

Color rgba8(int r, int g, int b, double a = 1.0);
Color hsl_color(double h, double s, double l, double a = 1.0);

// The cover's colour from straight RGBA8 pixels, weighting vivid pixels; none for an empty or
// fully transparent image.
std::optional<Hsl> dominant_hsl(const std::vector<uint8_t>& rgba, uint32_t width, uint32_t height);

struct Palette {
  Color bg, fg, fg_dim, track, accent;
  float shadow_alpha = 0.28f;
};

// Colours of the card for a background mode, an accent of six hex digits (or empty) and the
// current cover's colour.
Palette card_palette(Background background, const std::string& accent,
                     const std::optional<Hsl>& cover);

// Box-filtered copy of straight RGBA8 pixels at another size.
std::vector<uint8_t> resample_rgba(const std::vector<uint8_t>& rgba, uint32_t width,
                                   uint32_t height, uint32_t to_width, uint32_t to_height);

// ---- Layout ----

struct Rect {
  float x = 0, y = 0, w = 0, h = 0;
};

// Boxes of the card in logical pixels of the page (the card source's size).
struct CardLayout {
  float page_w = 0, page_h = 0;
  Rect box;
  float radius = 0;
  Rect art;
  float art_radius = 0;
  bool disc = false;  // the cover is a record
  Rect title, artist;
  float title_px = 0, artist_px = 0, time_px = 0;
  Rect bar;    // the bar's track, 4 px high
  Rect times;  // the line of the time texts
  bool centred = false;
};

CardLayout card_layout(const CardConfig& c, bool time_shown, bool no_bar);

// ---- Text that fits ----

size_t utf8_length(std::string_view s);
// The first n code points.
std::string utf8_prefix(std::string_view s, size_t n);

// Number of code points to keep before an ellipsis, for a text of total code points whose shown
// form of shown code points measured width (more than max_width). Always fewer than shown.
size_t shorter_prefix(size_t total, size_t shown, double width, double max_width);

}  // namespace tunelight::plugin
