// The card the module draws itself when OBS has no browser source: rendered on the real
// graphics thread of libobs (OpenGL under a virtual display) and read back pixel by pixel.

#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "plugin/native/native_logic.h"
#include "tests/plugin/obs/fake_agent.h"
#include "tests/plugin/obs/image_files.h"
#include "tests/plugin/obs/obs_harness.h"

namespace tunelight::test {
namespace {

using plugin::CardConfig;
using plugin::Rect;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string stateJson(const char* status, int64_t pos, int64_t dur, const std::string& cover,
                      int64_t at, const std::string& title = "Weightless Morning",
                      const std::string& artist = "Marconi Union") {
  std::string c = cover.empty() ? "null" : "\"" + cover + "\"";
  return "{\"active\":true,\"album\":null,\"app\":\"demo\",\"artist\":\"" + artist +
         "\",\"coverUrl\":" + c + ",\"durationMs\":" + std::to_string(dur) +
         ",\"kind\":\"mock\",\"player\":\"\",\"positionAt\":" + std::to_string(at) +
         ",\"positionMs\":" + std::to_string(pos) +
         ",\"service\":\"other\",\"source\":\"mock:demo\",\"status\":\"" + status +
         "\",\"title\":\"" + title + "\",\"trackId\":\"0123456789ab\"}";
}

// A solid cover in one colour.
std::string solidCover(uint8_t r, uint8_t g, uint8_t b) {
  std::vector<uint8_t> px(64 * 64 * 4);
  for (size_t i = 0; i < px.size(); i += 4)
    px[i] = r, px[i + 1] = g, px[i + 2] = b, px[i + 3] = 255;
  return bmpFile(64, 64, px);
}

HarnessOptions nativeOptions(int port) {
  HarnessOptions o;
  o.agent = AgentKind::Script;
  o.agent_script = reportsPort(port);
  o.browser_source = false;
  o.video = true;
  o.text_module = true;
  return o;
}

using Pixel = std::array<int, 4>;

Pixel px(const Capture& c, float x, float y) {
  const uint8_t* p = c.at(uint32_t(x), uint32_t(y));
  return {p[0], p[1], p[2], p[3]};
}

bool near(const Pixel& p, const Pixel& want, int tolerance) {
  for (int i = 0; i < 4; ++i)
    if (std::abs(p[i] - want[i]) > tolerance) return false;
  return true;
}

std::string show(const Pixel& p) {
  return "(" + std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) +
         "," + std::to_string(p[3]) + ")";
}

// Pixels in r brighter than the background: drawn text.
int textPixels(const Capture& c, const Rect& r) {
  int n = 0;
  for (float y = r.y; y < r.y + r.h; ++y)
    for (float x = r.x; x < r.x + r.w; ++x) {
      Pixel p = px(c, x, y);
      if (p[3] > 100 && p[0] + p[1] + p[2] > 3 * 150) ++n;
    }
  return n;
}

// Filled width of the bar: pixels of the accent colour along its middle (the track between
// them is a mix of the track and the background).
int barWidth(const Capture& c, const Rect& bar, const Pixel& accent) {
  int n = 0;
  for (float x = bar.x; x < bar.x + bar.w; ++x) {
    Pixel p = px(c, x, bar.y + 2);
    if (p[3] > 100 && near({p[0], p[1], p[2], 0}, {accent[0], accent[1], accent[2], 0}, 60)) ++n;
  }
  return n;
}

Rect scaled2(const Rect& r) {
  return {r.x * 2, r.y * 2, r.w * 2, r.h * 2};
}

bool allTransparent(const Capture& c) {
  if (c.rgba.empty()) return false;
  for (size_t i = 3; i < c.rgba.size(); i += 4)
    if (c.rgba[i]) return false;
  return true;
}

// The bar's expected width at wall-clock t for a state of pos at `at`, playing.
double expectedWidth(const Rect& bar, int64_t pos, int64_t at, int64_t dur, int64_t t) {
  return bar.w * double(pos + (t - at)) / double(dur);
}

const Pixel kDarkBg = {16, 16, 20, 204};  // rgba(16, 16, 20, 0.8)
const Pixel kWhite = {255, 255, 255, 255};
const Pixel kRed = {200, 30, 40, 255};
const char* kCover = "/cover/00000000000000aa";

TEST(NativeCardObsTest, DrawsTheCardAndRunsItsBar) {
  FakeAgentServer agent;
  agent.addCover("00000000000000aa", "image/bmp", solidCover(200, 30, 40));
  agent.cover_delay_ms = 800;  // a slow agent must not slow a frame
  int64_t at = nowMs();
  agent.setState(stateJson("playing", 5000, 20000, kCover, at));
  ObsHarness h(nativeOptions(agent.port));
  // A picture file an OBS that crashed left, and one that another OBS is decoding right now.
  namespace fs = std::filesystem;
  const fs::path stale = h.configDir() + "native-image-99999.png";
  const fs::path busy = h.configDir() + "native-image-99998.png";
  fs::create_directories(h.configDir());
  std::ofstream(stale) << "x";
  std::ofstream(busy) << "x";
  fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::minutes(5));
  obs_source_t* card = h.createCard(nullptr);
  ASSERT_TRUE(card);
  ASSERT_TRUE(h.createCard(nullptr, "second"));
  // The browser card's size; the log says once why the module draws.
  EXPECT_EQ(obs_source_get_width(card), 500u);
  EXPECT_EQ(obs_source_get_height(card), 140u);
  EXPECT_EQ(h.countLog("[tunelight] native card: this OBS has no browser source"), 1u);
  EXPECT_EQ(h.countLog("browser_source is not available"), 0u);
  obs_properties_t* props = obs_source_properties(card);
  ASSERT_TRUE(obs_properties_get(props, "renderer"));
  EXPECT_STREQ(obs_property_description(obs_properties_get(props, "renderer")),
               "native card: this OBS has no browser source");
  obs_properties_destroy(props);

  h.renderEachFrame(card);
  const plugin::CardLayout l = plugin::card_layout(CardConfig{}, false, false);
  const Rect& box = l.box;
  const float cx = l.art.x + l.art.w / 2, cy = l.art.y + l.art.h / 2;
  Capture c;
  ASSERT_TRUE(waitUntil(
      [&] {
        c = h.capture(card);
        return !c.rgba.empty() && near(px(c, box.x + box.w - 8, box.y + 8), kDarkBg, 3) &&
               near(px(c, cx, cy), kRed, 8) && textPixels(c, l.title) > 40;
      },
      5000, 20))
      << "background " << show(px(c, box.x + box.w - 8, box.y + 8)) << ", cover "
      << show(px(c, cx, cy)) << ", title pixels " << textPixels(c, l.title);
  // The corners are rounded: transparent but for the shadow just outside the arc.
  EXPECT_LT(px(c, box.x + 1, box.y + 1)[3], 40);
  EXPECT_LT(px(c, box.x + box.w - 2, box.y + 1)[3], 40);
  EXPECT_TRUE(near(px(c, box.x + 20, box.y + 1), kDarkBg, 3));  // the edge beside the arc
  EXPECT_EQ(px(c, 0, 0)[3], 0);
  // The artist line has text too, dimmer than the title.
  EXPECT_GT(textPixels(c, l.artist), 20);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(busy));

  // The bar runs on between states, by the clock.
  for (int round = 0; round < 2; ++round) {
    if (round) std::this_thread::sleep_for(std::chrono::seconds(1));
    int64_t t0 = nowMs();
    c = h.capture(card);
    int64_t t1 = nowMs();
    int w = barWidth(c, l.bar, kWhite);
    EXPECT_GE(w, expectedWidth(l.bar, 5000, at, 20000, t0) - 2) << "round " << round;
    EXPECT_LE(w, expectedWidth(l.bar, 5000, at, 20000, t1) + 2) << "round " << round;
  }

  // A new cover from a slow agent: the old one stays until the new one is in; no frame waits.
  h.resetCallTimes();
  agent.addCover("00000000000000bb", "image/bmp", solidCover(30, 40, 200));
  agent.setState(stateJson("playing", 5000, 20000, "/cover/00000000000000bb", nowMs()));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(near(px(h.capture(card), cx, cy), kRed, 8));
  EXPECT_TRUE(waitUntil(
      [&] {
        return near(px(h.capture(card), cx, cy), {30, 40, 200, 255}, 8);
      },
      3000, 20));

  // Paused: the bar stops where the state says, the card dims and the cover gets its badge.
  agent.setState(stateJson("paused", 8000, 20000, "/cover/00000000000000bb", nowMs()));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  Capture first = h.capture(card);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  c = h.capture(card);
  EXPECT_NEAR(barWidth(c, l.bar, kWhite), l.bar.w * 0.4, 2);
  EXPECT_EQ(barWidth(c, l.bar, kWhite), barWidth(first, l.bar, kWhite));
  Pixel dimmed = px(c, box.x + box.w - 8, box.y + 8);
  EXPECT_TRUE(near(dimmed, {16, 16, 20, 122}, 4)) << show(dimmed);
  EXPECT_LT(px(c, cx + l.art.w / 3, cy)[2], 140);  // the veil over the cover

  // Nothing playing: nothing drawn.
  agent.setState(R"({"active":false})");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(allTransparent(h.capture(card)));

  CallTimes t = h.callTimes();
  std::printf(
      "native card: %d ticks (max %.3f ms), %d renders (max %.3f ms); longest on the "
      "clock alone %.3f ms\n",
      t.ticks, t.max_tick_ms, t.renders, t.max_render_ms, t.max_wall_ms);
  EXPECT_LT(t.max_tick_ms, 5.0);
  EXPECT_LT(t.max_render_ms, 5.0);
}

Pixel pixelOf(const plugin::Color& c) {
  auto b = [](float v) { return int(std::lround(v * 255)); };
  return {b(c.r), b(c.g), b(c.b), b(c.a)};
}

// Columns of r that hold text pixels: {leftmost, rightmost}, or {-1, -1}.
std::pair<int, int> textSpan(const Capture& c, const Rect& r) {
  int lo = -1, hi = -1;
  for (float x = r.x; x < std::min(r.x + r.w + 12, float(c.width)); ++x)
    for (float y = r.y; y < r.y + r.h; ++y) {
      Pixel p = px(c, x, y);
      if (p[3] > 100 && p[0] + p[1] + p[2] > 3 * 150) {
        if (lo < 0) lo = int(x);
        hi = int(x);
        break;
      }
    }
  return {lo, hi};
}

TEST(NativeCardObsTest, LooksFollowTheSettings) {
  FakeAgentServer agent;
  std::string red = solidCover(200, 30, 40);
  agent.addCover("00000000000000aa", "image/bmp", red);
  agent.setState(stateJson("playing", 5000, 200000, kCover, nowMs()));
  ObsHarness h(nativeOptions(agent.port));
  obs_source_t* card = h.createCard(nullptr);
  ASSERT_TRUE(card);
  h.renderEachFrame(card);
  const plugin::CardLayout l = plugin::card_layout(CardConfig{}, false, false);
  const float bx = l.box.x + l.box.w - 8, by = l.box.y + 8;
  auto settle = [&](const std::function<bool(const Capture&)>& ok, int ms = 4000) {
    Capture c;
    bool done = waitUntil(
        [&] {
          c = h.capture(card);
          return !c.rgba.empty() && ok(c);
        },
        ms, 20);
    return std::make_pair(done, c);
  };
  auto update = [&](const std::function<void(obs_data_t*)>& set) {
    Data s;
    set(s);
    obs_source_update(card, s);
  };

  update([](obs_data_t* s) { obs_data_set_string(s, "background", "light"); });
  auto [light, c] = settle([&](const Capture& c) {
    return near(px(c, bx, by), {248, 248, 250, 240}, 3);
  });
  EXPECT_TRUE(light) << show(px(c, bx, by));

  // The cover's colour, as the card page computes it from the same pixels.
  std::vector<uint8_t> pixels(64 * 64 * 4);
  for (size_t i = 0; i < pixels.size(); i += 4)
    pixels[i] = 200, pixels[i + 1] = 30, pixels[i + 2] = 40, pixels[i + 3] = 255;
  plugin::Palette tinted =
      plugin::card_palette(plugin::Background::kCover, "", plugin::dominant_hsl(pixels, 64, 64));
  update([](obs_data_t* s) { obs_data_set_string(s, "background", "cover"); });
  std::tie(light, c) =
      settle([&](const Capture& c) { return near(px(c, bx, by), pixelOf(tinted.bg), 3); });
  EXPECT_TRUE(light) << show(px(c, bx, by)) << " wanted " << show(pixelOf(tinted.bg));
  EXPECT_GT(barWidth(c, l.bar, pixelOf(tinted.accent)), 5);

  update([](obs_data_t* s) {
    obs_data_set_bool(s, "accent_custom", true);
    obs_data_set_int(s, "accent", 0xFF00FF00);  // green
  });
  std::tie(light, c) = settle([&](const Capture& c) {
    return barWidth(c, l.bar, {0, 255, 0, 255}) > 5;
  });
  EXPECT_TRUE(light);

  // A title too long for its line ends in an ellipsis within the line.
  agent.setState(stateJson("playing", 5000, 200000, kCover, nowMs(),
                           "An Extraordinarily Long Title That Never Ends Anywhere Soon"));
  std::tie(light, c) = settle([&](const Capture& c) {
    auto span = textSpan(c, l.title);
    return span.second > l.title.x + l.title.w * 0.8;
  });
  auto span = textSpan(c, l.title);
  EXPECT_TRUE(light) << span.first << ".." << span.second;
  EXPECT_LE(span.second, l.title.x + l.title.w);

  // Vertical with times: the browser card's size, centred texts, both times.
  update([](obs_data_t* s) {
    obs_data_set_string(s, "layout", "vertical");
    obs_data_set_string(s, "time_format", "elapsed_total");
  });
  ASSERT_TRUE(waitUntil([&] { return obs_source_get_height(card) == 356; }, 2000, 20));
  EXPECT_EQ(obs_source_get_width(card), 256u);
  CardConfig vertical;
  vertical.layout = plugin::Layout::kVertical;
  vertical.time_format = "elapsed_total";
  const plugin::CardLayout v = plugin::card_layout(vertical, true, false);
  Rect start = {v.times.x, v.times.y, 50, v.times.h};
  Rect end = {v.times.x + v.times.w - 50, v.times.y, 50, v.times.h};
  std::tie(light, c) = settle([&](const Capture& c) {
    return textPixels(c, start) > 5 && textPixels(c, end) > 5 && textPixels(c, v.artist) > 20 &&
           textPixels(c, v.title) > 20;
  });
  EXPECT_TRUE(light) << textPixels(c, start) << " " << textPixels(c, end);
  for (const Rect& line : {v.title, v.artist}) {
    auto span = textSpan(c, line);
    EXPECT_NEAR((span.first + span.second) / 2.0, line.x + line.w / 2, 3);
    EXPECT_LE(span.second, line.x + line.w);
  }
  // The running time is in every frame, also when its text changes.
  int frames = 0, blank = 0;
  for (auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
       std::chrono::steady_clock::now() < until; ++frames)
    if (textPixels(h.capture(card), start) <= 5) ++blank;
  EXPECT_GE(frames, 10);
  EXPECT_EQ(blank, 0);
}

// A render over a soft backdrop, as the pictures in the README show cards.
void savePicture(const Capture& c, const std::string& name) {
  std::vector<uint8_t> out(c.rgba.size());
  for (uint32_t y = 0; y < c.height; ++y)
    for (uint32_t x = 0; x < c.width; ++x) {
      float t = float(x + y) / float(c.width + c.height);
      float back[3] = {52 + 120 * t, 62 + 60 * t, 84 + 20 * t};
      const uint8_t* p = c.at(x, y);
      uint8_t* q = &out[(size_t(y) * c.width + x) * 4];
      for (int i = 0; i < 3; ++i) q[i] = uint8_t(back[i] + (p[i] - back[i]) * p[3] / 255.0f);
      q[3] = 255;
    }
  writePng(std::string(TUNELIGHT_RENDER_DIR) + "/" + name, c.width, c.height, out);
}

TEST(NativeCardObsTest, BackSoonAfterTheAgentReturns) {
  // The real agent; every start after the first waits 4 s, so the card hides meanwhile.
  HarnessOptions o;
  o.agent = AgentKind::Script;
  o.agent_script =
      "n=$(cat \"$0.count\" 2>/dev/null || echo 0); echo $((n+1)) > \"$0.count\"\n"
      "[ \"$n\" = 0 ] || sleep 4\nexec '" +
      agentPath() + "' \"$@\"\n";
  o.browser_source = false;
  o.video = true;
  o.text_module = true;
  ObsHarness h(o);
  Data s;
  obs_data_set_bool(s, "demo", true);
  obs_data_set_string(s, "time_format", "elapsed_total");
  obs_source_t* card = h.createCard(s);
  ASSERT_TRUE(card);
  h.renderEachFrame(card);
  const plugin::CardLayout l = plugin::card_layout(CardConfig{}, true, false);
  const float bx = l.box.x + l.box.w - 8, by = l.box.y + 8;
  auto shown = [&] {
    Capture c = h.capture(card);
    return !c.rgba.empty() && near(px(c, bx, by), kDarkBg, 3) && textPixels(c, l.title) > 40;
  };
  ASSERT_TRUE(waitUntil(shown, 8000, 20));

  // Taken down: the card hides while no agent answers, and every frame stays quick.
  h.resetCallTimes();
  std::smatch m;
  int pid = -1;
  for (const auto& line : h.log())
    if (std::regex_search(line, m, std::regex(R"(agent started: .* \(pid (\d+)\))")))
      pid = std::stoi(m[1]);
  ASSERT_GT(pid, 1);  // never kill(-1, ...)
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_TRUE(waitUntil([&] { return allTransparent(h.capture(card)); }, 5000, 20));
  ASSERT_TRUE(h.waitLog("[tunelight] agent started", 8000, 2));
  auto back = std::chrono::steady_clock::now();
  EXPECT_TRUE(waitUntil(shown, 4000, 20));
  auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - back)
          .count();
  EXPECT_LT(took, 2000);
  CallTimes t = h.callTimes();
  std::printf(
      "agent away and back: shown again after %lld ms; %d ticks (max %.3f ms), %d renders "
      "(max %.3f ms); longest on the clock alone %.3f ms\n",
      static_cast<long long>(took), t.ticks, t.max_tick_ms, t.renders, t.max_render_ms,
      t.max_wall_ms);
  EXPECT_LT(t.max_tick_ms, 5.0);
  EXPECT_LT(t.max_render_ms, 5.0);

  // Pictures of both layouts for the README, once the demo's cover is in.
  const float cx = l.art.x + l.art.w / 2, cy = l.art.y + 8;
  Capture c;
  ASSERT_TRUE(waitUntil(
      [&] {
        c = h.capture(card, 3000, 2);
        return !c.rgba.empty() && !near(px(c, cx * 2, cy * 2), {42, 42, 51, 255}, 6);
      },
      3000, 20));
  savePicture(c, "native-card-horizontal.png");
  Data vertical;
  obs_data_set_string(vertical, "layout", "vertical");
  obs_source_update(card, vertical);
  const plugin::CardLayout v =
      plugin::card_layout(CardConfig{plugin::Theme::kCompact, plugin::Layout::kVertical,
                                     plugin::Background::kDark, "system", "", "elapsed_total"},
                          true, false);
  ASSERT_TRUE(waitUntil(
      [&] {
        c = h.capture(card, 3000, 2);
        return c.height == 712 && textPixels(c, scaled2(v.title)) > 80;
      },
      3000, 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  savePicture(h.capture(card, 3000, 2), "native-card-vertical.png");
}

}  // namespace
}  // namespace tunelight::test
