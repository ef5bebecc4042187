#include "plugin/card_logic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>

namespace tunelight::plugin {
namespace {

std::string tr(const char* key) {
  return std::string("<") + key + ">";
}

std::string url_decode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The default and the fully customised look are checked inside libobs (obs/ tests).
TEST(CardLogicTest, WidgetUrlAndSize) {
  CardConfig b;
  b.background = Background::kCover;
  b.font = "onest";
  b.scale = 105;
  EXPECT_EQ(build_widget_url(b, "http://x:1"),
            "http://x:1/widget?theme=compact&bg=cover&font=onest&scale=1.05");
  b.scale = 100;
  EXPECT_EQ(build_widget_url(b, "http://x:1"),
            "http://x:1/widget?theme=compact&bg=cover&font=onest");

  // Unknown values count as compact/horizontal for the size; a time display on a horizontal
  // card adds nothing.
  CardConfig odd;
  odd.theme = parse_theme("Vinyl");
  odd.layout = parse_layout("Vertical");
  odd.time_format = "elapsed";
  EXPECT_EQ(card_size(odd), std::make_pair(1000, 280));
  odd.layout = Layout::kVertical;
  EXPECT_EQ(card_size(odd), std::make_pair(512, 712));
  EXPECT_EQ(accent_hex(4281028336LL), "f04e2b");
}

TEST(CardLogicTest, FallbackPageWhileNoPort) {
  EXPECT_EQ(std::strlen(kFallbackPage), 318u);
  std::string url = build_widget_url(CardConfig{}, "");
  const std::string prefix = "data:text/html;charset=utf-8,";
  ASSERT_EQ(url.rfind(prefix, 0), 0u);
  std::string encoded = url.substr(prefix.size());
  EXPECT_TRUE(std::regex_match(encoded, std::regex("([A-Za-z0-9._~-]|%[0-9A-F]{2})*")));
  EXPECT_EQ(url_decode(encoded), kFallbackPage);
  EXPECT_EQ(url_encode("a b/\xC3\xA9~"), "a%20b%2F%C3%A9~");
}

TEST(CardLogicTest, BlocklistText) {
  EXPECT_EQ(parse_blocklist_text("a \r\n\r\n b"), (std::vector<std::string>{"a", " b"}));
  EXPECT_EQ(parse_blocklist_text(""), std::vector<std::string>{});
  EXPECT_EQ(parse_blocklist_text("x\n\ny \n"), (std::vector<std::string>{"x", "y"}));
}

TEST(CardLogicTest, ConfigBodyByteForByte) {
  AgentConfig c;
  EXPECT_EQ(agent_config_json(c),
            "{\"yandex\":true,\"vk\":true,\"spotify\":true,\"appleMusic\":true,"
            "\"youtubeMusic\":true,\"soundcloud\":true,\"deezer\":true,\"tidal\":true,"
            "\"amazonMusic\":true,\"youtube\":false,\"otherPlayers\":true,\"videoPlayers\":false,"
            "\"browserWithoutExtension\":true,\"demo\":false,\"blocklist\":[],\"outputDir\":\"\"}");
  c.spotify = false;
  c.demo = true;
  c.blocklist = {"a\tb", "\xD0\xB9"};
  c.outputDir = "C:\\Users\\\"me\"";
  std::string body = agent_config_json(c);
  EXPECT_NE(body.find("\"spotify\":false,"), std::string::npos);
  EXPECT_NE(body.find("\"demo\":true,"), std::string::npos);
  EXPECT_NE(
      body.find("\"blocklist\":[\"ab\",\"\xD0\xB9\"],\"outputDir\":\"C:\\\\Users\\\\\\\"me\\\"\"}"),
      std::string::npos)
      << body;
}

TEST(CardLogicTest, StatusTexts) {
  StatusReport down = build_status_from("", "", tr);
  EXPECT_EQ(down.level, 2);
  EXPECT_EQ(down.now, "<Status.AgentDown>");
  EXPECT_EQ(down.sources, "\xE2\x80\x94");

  std::string health = R"({"sources":[{"kind":"smtc-app","service":"spotify","app":"Spotify.exe"},)"
                       R"({"kind":"extension","app":"chrome","service":"yandex"},)"
                       R"({"kind":"smtc-app","service":"spotify","app":"Spotify.exe"},)"
                       R"({"kind":"smtc-app","service":"other","player":"AIMP"},)"
                       R"({"kind":"smtc-app","service":"other","player":""},)"
                       R"({"kind":"smtc-browser","app":"vivaldi"},{"kind":"demo"}]})";
  StatusReport r = build_status_from(
      health, R"({"active":true,"artist":"A","title":"T","service":"yandex"})", tr);
  EXPECT_EQ(r.level, 0);
  EXPECT_EQ(r.now, "A \xE2\x80\x94 T \xC2\xB7 <Service.Yandex>");
  EXPECT_EQ(r.sources,
            "<Service.Spotify> (<Status.App>), Chrome (<Status.Extension>), AIMP (<Status.App>), "
            "<Service.Unknown> (<Status.App>), vivaldi (<Status.NoExtension>), <Status.Demo>");

  StatusReport hidden = build_status_from(R"({"sources":[],"hidden":{"artist":"X","title":"Y"}})",
                                          R"({"active":false})", tr);
  EXPECT_EQ(hidden.level, 1);
  EXPECT_EQ(hidden.now, "<Status.Hidden>: X \xE2\x80\x94 Y");
  EXPECT_EQ(hidden.sources, "<Status.None>");

  // A track hidden by a service switch names the switch that shows it.
  const std::string np = R"({"active":false})";
  EXPECT_EQ(build_status_from(R"({"sources":[],"filtered":{"artist":"A","player":"mpv",)"
                              R"("service":"other","switch":"videoPlayers","title":"T"}})",
                              np, tr)
                .now,
            "<Status.HiddenVideo>");
  Translate fill = [](const char* k) {
    return std::string(k) == "Status.HiddenSwitch" ? std::string("%1 off, turn on %2")
                                                   : "<" + std::string(k) + ">";
  };
  EXPECT_EQ(build_status_from(R"({"filtered":{"player":"","service":"youtube",)"
                              R"("switch":"youtube","title":"T"}})",
                              np, fill)
                .now,
            "<Service.YouTube> off, turn on <Service.YouTubeVideos>");
  // An unknown switch keeps the plain status.
  EXPECT_EQ(build_status_from(R"({"filtered":{"switch":"later"}})", np, tr).now,
            "<Status.Nothing>");

  // Unreadable answers: reachable, nothing playing, no sources.
  StatusReport junk = build_status_from("not json", "also not", tr);
  EXPECT_EQ(junk.level, 1);
  EXPECT_EQ(junk.now, "<Status.Nothing>");
  EXPECT_EQ(junk.sources, "<Status.None>");
}

TEST(CardLogicTest, HistoryHtml) {
  auto hhmm = [](int64_t s) { return std::to_string(s); };
  EXPECT_EQ(build_history_html_from("", hhmm), "");
  EXPECT_EQ(build_history_html_from("[]", hhmm), "");
  std::string items = "[";
  for (int i = 0; i < 12; ++i)
    items += std::string(i ? "," : "") + R"({"startedAt":)" + std::to_string(1000 * i + 999) +
             R"(,"artist":"A","title":"<b>&</b>"})";
  items += "]";
  std::string html = build_history_html_from(items, hhmm);
  size_t lines = 1, pos = 0;
  while ((pos = html.find("<br>", pos)) != std::string::npos) ++lines, ++pos;
  EXPECT_EQ(lines, 10u);
  EXPECT_EQ(html.substr(0, html.find("<br>")),
            "<span style='color:#8a8f9c'>0</span>&nbsp;&nbsp;A \xE2\x80\x94 "
            "&lt;b&gt;&amp;&lt;/b&gt;");
  EXPECT_NE(html.find("<span style='color:#8a8f9c'>9</span>"), std::string::npos);
  EXPECT_EQ(html_escape("\"'<>&"), "\"'&lt;&gt;&amp;");
  EXPECT_EQ(format_local_hhmm(0).size(), 5u);
}

TEST(CardLogicTest, PlacementTargets) {
  const PlacementPreset* br = find_placement_preset("bottom_right");
  ASSERT_TRUE(br);
  EXPECT_EQ(br->alignment, 10u);
  PlacementTarget t = placement_target(*br, 1920, 1080, 40, 1.0f);
  EXPECT_FLOAT_EQ(t.x, 1892);
  EXPECT_FLOAT_EQ(t.y, 1052);
  t = placement_target(*br, 1920, 1080, 40, 0.5f);
  EXPECT_FLOAT_EQ(t.x, 1886);
  EXPECT_FLOAT_EQ(t.y, 1046);
  t = placement_target(*find_placement_preset("center"), 1920, 1080, 200, 3.0f);
  EXPECT_FLOAT_EQ(t.x, 960);
  EXPECT_FLOAT_EQ(t.y, 540);
  t = placement_target(*find_placement_preset("top_left"), 1920, 1080, 0, 1.0f);
  EXPECT_FLOAT_EQ(t.x, -12);
  EXPECT_FLOAT_EQ(t.y, -12);
  EXPECT_EQ(find_placement_preset("manual"), nullptr);
  EXPECT_EQ(find_placement_preset("Bottom_Right"), nullptr);
  EXPECT_FALSE(placement_needs_move(1892.4f, 1051.6f, {1892, 1052}));
  EXPECT_TRUE(placement_needs_move(1892.6f, 1052, {1892, 1052}));
}

TEST(CardLogicTest, RestartWindowAllowsFivePerWindow) {
  using namespace std::chrono;
  RestartWindow::Clock::time_point t0{};
  RestartWindow w(t0);
  for (int i = 1; i <= 5; ++i) {
    EXPECT_TRUE(w.allow(t0 + seconds(i)));
    EXPECT_EQ(w.count(), i);
  }
  EXPECT_FALSE(w.allow(t0 + seconds(10)));
  // Exactly 60 s after the window start is still inside it; the restarts did not move it.
  EXPECT_FALSE(w.allow(t0 + seconds(60)));
  EXPECT_TRUE(w.allow(t0 + seconds(60) + nanoseconds(1)));
  EXPECT_EQ(w.count(), 1);
}

TEST(CardLogicTest, TokenAndPort) {
  std::string a = make_token(), b = make_token();
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9a-f]{32}")));
  EXPECT_NE(a, b);
  EXPECT_EQ(port_of("http://127.0.0.1:48213"), 48213);
  EXPECT_EQ(port_of(""), 0);
}

std::set<std::string> localeKeys(const char* name) {
  std::ifstream in(std::string(TUNELIGHT_SOURCE_DIR) + "/plugin/data/locale/" + name);
  std::set<std::string> keys;
  std::string line;
  while (std::getline(in, line))
    if (auto eq = line.find('='); eq != std::string::npos) keys.insert(line.substr(0, eq));
  return keys;
}

TEST(CardLogicTest, LocalesHaveTheSameKeys) {
  auto en = localeKeys("en-US.ini");
  EXPECT_GT(en.size(), 80u);
  EXPECT_EQ(localeKeys("ru-RU.ini"), en);
  // Every label the status texts can produce exists.
  for (const char* id : {"yandex", "vk", "spotify", "apple-music", "youtube-music", "youtube",
                         "soundcloud", "deezer", "tidal", "amazon-music", "x"})
    EXPECT_TRUE(en.count(service_label_key(id))) << id;
}

// The service table names the same switches as the locale files and the README.
TEST(CardLogicTest, ServiceTableMatchesLocalesAndReadme) {
  std::map<std::string, std::string> en;
  std::ifstream locale(std::string(TUNELIGHT_SOURCE_DIR) + "/plugin/data/locale/en-US.ini");
  for (std::string line; std::getline(locale, line);)
    if (auto eq = line.find("=\""); eq != std::string::npos && line.back() == '"')
      en[line.substr(0, eq)] = line.substr(eq + 2, line.size() - eq - 3);
  std::ifstream in(std::string(TUNELIGHT_SOURCE_DIR) + "/README.md", std::ios::binary);
  std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = readme.find("\n## Filters\n");
  ASSERT_NE(at, std::string::npos);
  const std::string filters = readme.substr(at, readme.find("\n## ", at + 1) - at);

  std::set<std::string> keys, settings;
  size_t services = 0;
  for (const ServiceSwitch& sw : kServiceSwitches) {
    SCOPED_TRACE(sw.configKey);
    EXPECT_TRUE(keys.insert(sw.configKey).second);
    EXPECT_TRUE(settings.insert(sw.settingsKey).second);
    EXPECT_TRUE(en.count(sw.labelKey));
    if (sw.descriptionKey) {
      EXPECT_TRUE(en.count(sw.descriptionKey));
    }
    // The README's names are the panel's: a service by its own name, the rest by their switch.
    EXPECT_EQ(en[sw.service ? sw.serviceLabelKey : sw.labelKey], sw.displayName);
    if (sw.group == SwitchGroup::kServices) {
      ++services;
    } else {
      EXPECT_NE(filters.find(std::string("\"") + en[sw.labelKey] + "\""), std::string::npos);
    }
  }
  const char* count[] = {"no",    "one",   "two",  "three", "four",   "five",  "six",
                         "seven", "eight", "nine", "ten",   "eleven", "twelve"};
  ASSERT_LT(services, std::size(count));
  EXPECT_NE(
      readme.find(std::string("Music of any service other than the ") + count[services] + " above"),
      std::string::npos);
}

}  // namespace
}  // namespace tunelight::plugin
