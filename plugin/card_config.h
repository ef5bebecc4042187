#pragma once

// The card's look as its settings give it, and what follows from it: the size of the page and
// the card page's address.

#include <cstdint>
#include <string>
#include <utility>

namespace tunelight::plugin {

enum class Theme { kCompact, kVinyl };
enum class Layout { kHorizontal, kVertical };
enum class Background { kDark, kLight, kCover };

// One value of a setting: its name in the settings and the card page's query, and the locale
// key of its label in the panel. The first entry of each list is the default.
template <typename E>
struct Choice {
  E value;
  const char* name;
  const char* label;
};

inline constexpr Choice<Theme> kThemes[] = {{Theme::kCompact, "compact", "Theme.Compact"},
                                            {Theme::kVinyl, "vinyl", "Theme.Vinyl"}};
inline constexpr Choice<Layout> kLayouts[] = {
    {Layout::kHorizontal, "horizontal", "Layout.Horizontal"},
    {Layout::kVertical, "vertical", "Layout.Vertical"}};
inline constexpr Choice<Background> kBackgrounds[] = {
    {Background::kDark, "dark", "Background.Dark"},
    {Background::kLight, "light", "Background.Light"},
    {Background::kCover, "cover", "Background.Cover"}};

// The value a name stands for; anything else (case differs too) is the default, as on the page.
Theme parse_theme(const std::string& name);
Layout parse_layout(const std::string& name);
Background parse_background(const std::string& name);

const char* name_of(Theme v);
const char* name_of(Layout v);
const char* name_of(Background v);

// The card's look, as the card page reads it from its query string.
struct CardConfig {
  Theme theme = Theme::kCompact;
  Layout layout = Layout::kHorizontal;
  Background background = Background::kDark;
  std::string font = "system";
  std::string accent;  // six lower-case hex digits, or empty
  std::string time_format = "off";
  int32_t scale = 200;   // percent; the page is always rendered at twice the card size
  int32_t show_for = 0;  // seconds; 0 = always shown
  bool hide_on_pause = false;
  bool show_progress = true;
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

}  // namespace tunelight::plugin
