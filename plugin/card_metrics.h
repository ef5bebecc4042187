#pragma once

// The card page's measurements (agent/widget/style.css) that the module needs: the size of the
// page for each look, and the boxes the native card draws. native_logic_test pins these numbers
// to the stylesheet.

#include "plugin/card_config.h"

namespace tunelight::plugin {

// CSS pixels of one theme and layout.
struct CardMetrics {
  float box_w, box_h;  // .card
  float box_h_times;   // .card with the times shown
  float pad_t, pad_r, pad_b, pad_l;
  float gap;     // between the cover and the texts
  float radius;  // of the card
  float art;     // the cover's side
  float title_px, artist_px, time_px;
  float time_lh;    // line height of the times
  float row_gap;    // between the bar and the times
  float tl_margin;  // above the bar
};

// For every look.
inline constexpr float kCardInset = 12;    // the card's left and top in the page
inline constexpr float kCoverRadius = 12;  // of a square cover
inline constexpr float kTitleLineHeight = 1.25f;
inline constexpr float kArtistLineHeight = 1.3f;
inline constexpr float kMetaGap = 3;  // between the title, the artist and the timeline
inline constexpr float kBarHeight = 4;
inline constexpr float kShadowOffsetY = 6;  // the card's shadow
inline constexpr float kShadowBlur = 20;
inline constexpr float kBadgeIcon = 0.34f;  // the pause icon's share of a square cover
inline constexpr float kLabelInset = 0.2f;  // a record's label: this share in from each edge
inline constexpr float kHoleSize = 8;       // a record's centre hole

inline constexpr CardMetrics kCompactHorizontal = {476, 116, 116, 14, 20, 14, 14, 16,
                                                   18,  88,  21,  16, 12, 15, 5,  9};
inline constexpr CardMetrics kCompactVertical = {232, 312, 332, 16, 16, 16, 16, 14,
                                                 18,  200, 21,  16, 12, 15, 5,  9};
inline constexpr CardMetrics kVinylHorizontal = {576, 176, 176, 16, 26, 16, 16, 22,
                                                 22,  144, 24,  17, 13, 16, 6,  12};
inline constexpr CardMetrics kVinylVertical = {288, 384, 404, 20, 20, 20, 20, 18,
                                               22,  248, 24,  17, 13, 16, 6,  12};

inline const CardMetrics& card_metrics(Theme theme, Layout layout) {
  const bool vertical = layout == Layout::kVertical;
  if (theme == Theme::kVinyl) return vertical ? kVinylVertical : kVinylHorizontal;
  return vertical ? kCompactVertical : kCompactHorizontal;
}

}  // namespace tunelight::plugin
