#include "plugin/native/native_logic.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/card_metrics.h"

namespace tunelight::plugin {
namespace {

TEST(NativeLogicTest, EventStreamMessagesAcrossChunks) {
  std::vector<std::string> got;
  EventStreamParser p([&](const std::string& data) { got.push_back(data); });
  std::string stream =
      "retry: 1000\ndata: {\"a\":1}\n\n: ping\n\ndata: one\r\ndata: two\r\n\r\nevent: x\n\n"
      "data:{\"b\":2}\r\rdata: cut";
  // One byte at a time: lines and CR LF pairs split anywhere.
  for (char ch : stream) p.feed(&ch, 1);
  EXPECT_EQ(got, (std::vector<std::string>{"{\"a\":1}", "one\ntwo", "{\"b\":2}"}));
}

TEST(NativeLogicTest, NowPlayingDocument) {
  auto s = parse_now_playing(
      R"({"active":true,"album":null,"coverUrl":"/cover/ab","durationMs":null,)"
      R"("positionAt":1700000000000,"positionMs":1500.7,"status":"paused","title":"T"})");
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->active);
  EXPECT_EQ(s->album, "");
  EXPECT_EQ(s->cover_url, "/cover/ab");
  EXPECT_FALSE(s->duration_ms);
  EXPECT_EQ(s->position_ms, 1500);
  EXPECT_FALSE(s->playing());
  EXPECT_FALSE(parse_now_playing("{\"active\":"));
  EXPECT_FALSE(parse_now_playing("[1]"));
  EXPECT_FALSE(parse_now_playing(R"({"active":false})")->active);
}

NowPlaying track(const char* id, const char* status) {
  NowPlaying s;
  s.active = true;
  s.track_id = id;
  s.status = status;
  return s;
}

TEST(NativeLogicTest, ShowForWindowsAndPause) {
  CardScript c;
  EXPECT_TRUE(c.view(true, 0).hidden);  // nothing received yet
  c.set_options(5, false);
  c.apply(track("a", "playing"), 1000);
  EXPECT_FALSE(c.view(true, 5999).hidden);
  EXPECT_TRUE(c.view(true, 6000).hidden);  // the window is over
  EXPECT_TRUE(c.view(false, 2000).hidden);
  c.apply(track("a", "paused"), 7000);  // pausing opens no window
  EXPECT_TRUE(c.view(true, 7000).hidden);
  c.apply(track("a", "playing"), 8000);  // resuming does
  EXPECT_FALSE(c.view(true, 12999).hidden);
  c.apply(track("a", "playing"), 12000);  // the same track playing on: no new window
  EXPECT_TRUE(c.view(true, 13000).hidden);
  c.apply(track("b", "playing"), 14000);
  EXPECT_FALSE(c.view(true, 18999).hidden);
  // A request to show the card opens a window from when it was made, once.
  NowPlaying shown = *parse_now_playing(
      R"({"active":true,"status":"playing","trackId":"b","showAt":19500,"controls":["next"]})");
  EXPECT_EQ(shown.controls, std::vector<std::string>{"next"});
  c.apply(shown, 19600);
  EXPECT_FALSE(c.view(true, 24499).hidden);
  EXPECT_TRUE(c.view(true, 24500).hidden);
  c.apply(shown, 25000);
  EXPECT_TRUE(c.view(true, 25000).hidden);

  c.set_options(0, true);
  c.apply(track("b", "stopped"), 20000);
  CardScript::View v = c.view(true, 20000);
  EXPECT_TRUE(v.paused);
  EXPECT_TRUE(v.hidden);
  c.set_options(0, false);
  EXPECT_FALSE(c.view(true, 20000).hidden);  // dimmed, not hidden
  NowPlaying off;
  c.apply(off, 21000);
  EXPECT_TRUE(c.view(true, 21000).hidden);
}

TEST(NativeLogicTest, PositionAndTimeTexts) {
  NowPlaying s = track("a", "playing");
  s.position_ms = 10000;
  s.position_at = 1000;
  s.duration_ms = 60000;
  EXPECT_EQ(position_now(s, 3500), 12500);
  EXPECT_EQ(position_now(s, 999999), 60000);  // never past the end
  s.status = "paused";
  EXPECT_EQ(position_now(s, 3500), 10000);
  s.position_ms.reset();
  EXPECT_FALSE(position_now(s, 3500));

  EXPECT_EQ(format_time(59999), "0:59");
  EXPECT_EQ(format_time(61000), "1:01");
  EXPECT_EQ(format_time(3725000), "1:02:05");

  const std::string minus = "\xE2\x88\x92", dot = " \xC2\xB7 ";
  auto t = time_texts("remaining", 61000, 200000, true);
  EXPECT_EQ(t.start, "");
  EXPECT_EQ(t.end, minus + "2:19");
  EXPECT_FALSE(t.no_bar);
  t = time_texts("elapsed_remaining", 61000, 200000, false);
  EXPECT_EQ(t.start, "1:01" + dot + minus + "2:19");
  EXPECT_TRUE(t.no_bar);
  t = time_texts("elapsed_total", 61000, 0, true);  // a live stream: elapsed alone
  EXPECT_EQ(t.start, "1:01");
  EXPECT_TRUE(t.no_bar);
  t = time_texts("ELAPSED", 61000, 200000, true);  // unknown modes show nothing
  EXPECT_EQ(t.start + t.end, "");
  EXPECT_FALSE(t.no_bar);
}

std::vector<uint8_t> solid(uint8_t r, uint8_t g, uint8_t b, uint8_t a, size_t n) {
  std::vector<uint8_t> px;
  for (size_t i = 0; i < n; ++i) px.insert(px.end(), {r, g, b, a});
  return px;
}

TEST(NativeLogicTest, CoverColourAndPalette) {
  auto red = dominant_hsl(solid(200, 30, 40, 255, 48 * 48), 48, 48);
  ASSERT_TRUE(red);
  EXPECT_NEAR(red->h, 356.5, 0.5);
  EXPECT_NEAR(red->s, 0.739, 0.01);
  EXPECT_FALSE(dominant_hsl(solid(200, 30, 40, 0, 16), 4, 4));  // transparent

  Palette p = card_palette(Background::kCover, "", red);
  Color bg = hsl_color(357, 0.6, 0.17, 0.9);
  EXPECT_FLOAT_EQ(p.bg.r, bg.r);
  EXPECT_FLOAT_EQ(p.bg.a, 0.9f);
  EXPECT_GT(p.accent.r, p.accent.g);  // a light red bar
  auto grey = dominant_hsl(solid(120, 124, 128, 255, 16), 4, 4);
  EXPECT_FLOAT_EQ(card_palette(Background::kCover, "", grey).bg.a,
                  0.8f);  // a grey cover keeps the dark card
  Palette custom = card_palette(Background::kLight, "00ff80", std::nullopt);
  EXPECT_FLOAT_EQ(custom.accent.g, 1.0f);
  EXPECT_FLOAT_EQ(custom.accent.b, 128 / 255.0f);
  EXPECT_FLOAT_EQ(custom.bg.a, 0.94f);

  // Transparent pixels do not darken a resampled edge.
  std::vector<uint8_t> half = solid(255, 0, 0, 255, 1);
  auto clear = solid(0, 0, 0, 0, 1);
  half.insert(half.end(), clear.begin(), clear.end());
  EXPECT_EQ(resample_rgba(half, 2, 1, 1, 1), (std::vector<uint8_t>{255, 0, 0, 128}));
}

// The value a property has in the last of `selectors` (least specific first) whose rule sets it
// in the stylesheet; empty when none does.
std::string css_value(const std::string& css, const std::vector<std::string>& selectors,
                      const std::string& property) {
  auto trim = [](std::string t) {
    size_t b = t.find_first_not_of(" \n\t"), e = t.find_last_not_of(" \n\t");
    return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
  };
  std::string found;
  for (const std::string& wanted : selectors) {
    size_t at = 0;
    while (true) {
      size_t open = css.find('{', at);
      if (open == std::string::npos) break;
      size_t start = css.find_last_of("};", open);
      start = start == std::string::npos ? 0 : start + 1;
      size_t close = css.find('}', open);
      std::stringstream list(css.substr(start, open - start));
      bool match = false;
      for (std::string one; std::getline(list, one, ',');) match |= trim(one) == wanted;
      if (match) {
        std::stringstream body(css.substr(open + 1, close - open - 1));
        for (std::string decl; std::getline(body, decl, ';');) {
          size_t colon = decl.find(':');
          if (colon != std::string::npos && trim(decl.substr(0, colon)) == property)
            found = trim(decl.substr(colon + 1));
        }
      }
      at = close + 1;
    }
  }
  return found;
}

// "14px 20px" -> {14, 20}; unitless numbers too.
std::vector<float> numbers(const std::string& value) {
  std::vector<float> out;
  std::stringstream in(value);
  for (std::string word; in >> word;) out.push_back(std::stof(word));
  return out;
}

TEST(NativeLogicTest, LayoutMatchesTheBrowserCard) {
  for (const char* theme : {"compact", "vinyl"})
    for (const char* layout : {"horizontal", "vertical"})
      // An unknown time format shows no times, yet the source is sized as with them.
      for (const char* time : {"off", "elapsed", "unknown"}) {
        CardConfig c;
        c.theme = parse_theme(theme), c.layout = parse_layout(layout), c.time_format = time;
        CardLayout l = card_layout(c, time_mode_on(time), false);
        auto [w, h] = card_size(c);
        SCOPED_TRACE(std::string(theme) + " " + layout + " " + time);
        // The page is the card source's size; the card sits 12 px inside it.
        EXPECT_FLOAT_EQ(l.page_w * 2, float(w));
        EXPECT_FLOAT_EQ(l.page_h * 2, float(h));
        EXPECT_FLOAT_EQ(l.box.x + l.box.w + 12, l.page_w);
        EXPECT_FLOAT_EQ(l.box.y + l.box.h + 12, l.page_h);
        // The texts and the bar stay inside the box's padding.
        const Rect& last = time_mode_on(time) ? l.times : l.bar;
        EXPECT_LE(last.y + last.h, l.box.y + l.box.h - 14);
        EXPECT_LE(l.title.x + l.title.w, l.box.x + l.box.w - 16);
      }
  CardLayout l = card_layout(CardConfig{}, false, false);
  EXPECT_FLOAT_EQ(l.bar.x, 130);  // 12 + 14 padding + 88 cover + 16 gap
  EXPECT_FLOAT_EQ(l.bar.w, 338);
}

// The native card's measurements are the card page's.
TEST(NativeLogicTest, MeasurementsAreTheStylesheets) {
  std::ifstream in(TUNELIGHT_SOURCE_DIR "/agent/widget/style.css", std::ios::binary);
  ASSERT_TRUE(in);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string css = ss.str();
  for (size_t c = css.find("/*"); c != std::string::npos; c = css.find("/*", c))
    css.erase(c, css.find("*/", c) + 2 - c);
  auto px = [&](const std::vector<std::string>& selectors, const char* property) {
    std::vector<float> v = numbers(css_value(css, selectors, property));
    return v.empty() ? -1.0f : v[0];
  };

  EXPECT_EQ(px({".card"}, "left"), kCardInset);
  EXPECT_EQ(px({".card"}, "top"), kCardInset);
  EXPECT_EQ(px({".disc"}, "border-radius"), kCoverRadius);
  EXPECT_EQ(px({".title"}, "line-height"), kTitleLineHeight);
  EXPECT_EQ(px({".artist"}, "line-height"), kArtistLineHeight);
  EXPECT_EQ(px({".meta"}, "gap"), kMetaGap);
  EXPECT_EQ(px({".progress"}, "height"), kBarHeight);
  const std::string shadow = css_value(css, {".card"}, "box-shadow");  // "0 6px 20px rgba(...)"
  EXPECT_EQ(numbers(shadow.substr(0, shadow.find("rgba"))),
            (std::vector<float>{0, kShadowOffsetY, kShadowBlur}));
  const std::string badge = css_value(css, {".art::after"}, "background");
  ASSERT_NE(badge.find("center / "), std::string::npos);
  EXPECT_FLOAT_EQ(std::stof(badge.substr(badge.find("center / ") + 9)), kBadgeIcon * 100);
  EXPECT_FLOAT_EQ(px({".theme-vinyl .disc img"}, "inset"), kLabelInset * 100);
  EXPECT_FLOAT_EQ(px({".theme-vinyl .disc img"}, "width"), (1 - 2 * kLabelInset) * 100);
  EXPECT_EQ(px({".theme-vinyl .disc::after"}, "width"), kHoleSize);
  for (Theme theme : {Theme::kCompact, Theme::kVinyl})
    for (Layout layout : {Layout::kHorizontal, Layout::kVertical}) {
      const std::string t = std::string(".theme-") + name_of(theme);
      const std::string both = t + ".layout-" + name_of(layout);
      SCOPED_TRACE(both);
      const CardMetrics& m = card_metrics(theme, layout);
      const std::vector<std::string> card = {".card", t + " .card", both + " .card"};
      EXPECT_EQ(px(card, "width"), m.box_w);
      EXPECT_EQ(px(card, "height"), m.box_h);
      EXPECT_EQ(
          px({".card", t + " .card", both + " .card", both + ":not(.time-off) .card"}, "height"),
          m.box_h_times);
      std::vector<float> pad = numbers(css_value(css, card, "padding"));
      if (pad.size() == 1) pad.resize(4, pad[0]);
      EXPECT_EQ(pad, (std::vector<float>{m.pad_t, m.pad_r, m.pad_b, m.pad_l}));
      EXPECT_EQ(px(card, "gap"), m.gap);
      EXPECT_EQ(px(card, "border-radius"), m.radius);
      EXPECT_EQ(px({".art", t + " .art", both + " .art"}, "width"), m.art);
      EXPECT_EQ(px({".title", t + " .title"}, "font-size"), m.title_px);
      EXPECT_EQ(px({".artist", t + " .artist"}, "font-size"), m.artist_px);
      EXPECT_EQ(px({".t-start", t + " .t-start"}, "font-size"), m.time_px);
      EXPECT_EQ(px({".t-start", t + " .t-start"}, "line-height"), m.time_lh);
      EXPECT_EQ(px({".timeline", t + " .timeline"}, "row-gap"), m.row_gap);
      EXPECT_EQ(px({".timeline", t + " .timeline"}, "margin-top"), m.tl_margin);
    }
}

TEST(NativeLogicTest, EllipsisPrefixes) {
  std::string t = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 world";  // "Привет world"
  EXPECT_EQ(utf8_length(t), 12u);
  EXPECT_EQ(utf8_prefix(t, 2), "\xD0\x9F\xD1\x80");
  EXPECT_EQ(utf8_prefix(t, 50), t);
  EXPECT_EQ(shorter_prefix(12, 12, 300, 100), 4u);  // the share that fits
  EXPECT_EQ(shorter_prefix(12, 4, 101, 100), 3u);   // always at least one fewer
  EXPECT_EQ(shorter_prefix(12, 1, 500, 100), 0u);
}

}  // namespace
}  // namespace tunelight::plugin
