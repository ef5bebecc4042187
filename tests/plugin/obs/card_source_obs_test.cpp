// The tunelight module inside the real libobs, without the real agent.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <obs-module.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#include "plugin/card_logic.h"
#include "tests/plugin/obs/fake_agent.h"
#include "tests/plugin/obs/obs_harness.h"

namespace tunelight::test {
namespace {

using plugin::agent_config_json;
using plugin::AgentConfig;

// Stand-in agent: the first start exits at once, later ones take a second to report `port`
// and then stay up.
std::string secondStartReports(int port) {
  return "n=$(cat \"$0.count\" 2>/dev/null || echo 0); echo $((n+1)) > \"$0.count\"\n"
         "[ \"$n\" = 0 ] && exit 1\n"
         "sleep 1; printf " +
         std::to_string(port) + " > \"$4\"\nexec sleep 60\n";
}

TEST(CardObsTest, RegistersTheLayoutTheRunningLibobsKnows) {
  ObsHarness h;
  EXPECT_TRUE(h.waitLog("[tunelight] cannot start agent " + h.binDir() + "/tunelight-agent", 0));
  EXPECT_TRUE(h.waitLog("[tunelight] plugin loaded (version 0.2.0)", 0));
  const obs_source_info* info = h.info("tunelight_card");
  ASSERT_TRUE(info);
  EXPECT_EQ(h.infoSize("tunelight_card"), sizeof(obs_source_info));
  EXPECT_EQ(info->type, OBS_SOURCE_TYPE_INPUT);
  EXPECT_EQ(info->output_flags, 0x8009u);
  EXPECT_EQ(static_cast<int>(info->icon_type), 11);
  EXPECT_STREQ(info->get_name(nullptr), "Tunelight: now playing card");
  // The type is usable in this libobs.
  EXPECT_EQ(obs_get_source_output_flags("tunelight_card"), 0x8009u);
  void* lib = dlopen(TUNELIGHT_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_TRUE(lib);
  auto ver = reinterpret_cast<uint32_t (*)()>(dlsym(lib, "obs_module_ver"));
  ASSERT_TRUE(ver);
  EXPECT_EQ(ver(), static_cast<uint32_t>(LIBOBS_API_VER));
  dlclose(lib);
}

TEST(CardObsTest, RestartsAtMostFiveTimesAMinute) {
  HarnessOptions o;
  o.agent = AgentKind::Script;
  // The agent's exit after a fault in the media runtime asks for a fresh one, within the limit.
  o.agent_script = "exit 3\n";
  ObsHarness h(o);
  ASSERT_TRUE(
      h.waitLog("[tunelight] agent exited, restarting after a media runtime fault (5)", 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(h.countLog("restarting"), 5u);
  EXPECT_EQ(h.countLog("[tunelight] agent did not report a port"), 6u);
}

TEST(CardObsTest, SlowFirstStartIsPickedUpWhenItsPortAppears) {
  FakeAgentServer agent;
  HarnessOptions o;
  o.agent = AgentKind::Script;
  o.agent_script = "sleep 6.5; printf " + std::to_string(agent.port) + " > \"$4\"\nexec sleep 60\n";
  ObsHarness h(o);
  EXPECT_EQ(h.countLog("[tunelight] agent is slow to start; waiting for its port (see " +
                       h.configDir() + "agent.log)"),
            1u);
  obs_source_t* card = h.createCard(nullptr);
  ASSERT_TRUE(card);
  EXPECT_EQ(jsonString(h.browserUpdates().back(), "url"), plugin::fallback_url());

  std::string base = "http://127.0.0.1:" + std::to_string(agent.port);
  ASSERT_TRUE(h.waitLog("[tunelight] agent started: " + base + "/widget (pid ", 4000));
  EXPECT_TRUE(agent.waitPosts(1)) << "the settings never reached the agent";
  // Published once the settings post is over.
  EXPECT_TRUE(waitUntil(
      [&] {
        h.tick(card, 0.016f);
        return jsonString(h.browserUpdates().back(), "url") ==
               base + "/widget?theme=compact&scale=2.00";
      },
      2000, 20));
  EXPECT_EQ(h.countLog("restarting"), 0u);
  EXPECT_EQ(h.countLog("slow to start"), 1u);
}

TEST(CardObsTest, RegistersTheIconLayoutFrom33) {
  HarnessOptions o;
  o.fake_obs_version = 0x21000000;
  ObsHarness h(o);
  const obs_source_info* info = h.info("tunelight_card");
  ASSERT_TRUE(info);
  ASSERT_EQ(h.infoSize("tunelight_card"), sizeof(obs_source_info) + 3 * sizeof(void*));
  EXPECT_EQ(static_cast<int>(info->icon_type), 13);
  using IconFn = const char* (*)(void*);
  IconFn icons[2];
  std::memcpy(icons, reinterpret_cast<const char*>(info) + sizeof(obs_source_info) + sizeof(void*),
              sizeof icons);
  ASSERT_TRUE(icons[0] && icons[1]);
  std::string dark = icons[0](nullptr), light = icons[1](nullptr);
  EXPECT_EQ(dark, std::string(TUNELIGHT_MODULE_DATA_DIR) + "/source-icon-dark.svg");
  EXPECT_EQ(light, std::string(TUNELIGHT_MODULE_DATA_DIR) + "/source-icon-light.svg");
  EXPECT_TRUE(fileExists(dark) && fileExists(light));
}

TEST(CardObsTest, DefaultsFallbackPageAndSwitchToTheAgentUrl) {
  HarnessOptions o;
  o.agent = AgentKind::Script;
  o.agent_script = secondStartReports(48999);
  ObsHarness h(o);
  EXPECT_TRUE(
      h.waitLog("[tunelight] agent did not report a port; see " + h.configDir() + "agent.log", 0));

  obs_source_t* card = h.createCard(nullptr);
  ASSERT_TRUE(card);
  obs_data_t* s = obs_source_get_settings(card);
  EXPECT_EQ(obs_data_get_int(s, "accent"), 4281028336LL);
  EXPECT_EQ(std::string(obs_data_get_string(s, "text_files_dir")), h.configDir() + "now-playing");
  EXPECT_EQ(obs_data_get_int(s, "show_seconds"), 10);
  EXPECT_EQ(obs_data_get_int(s, "position_margin"), 40);
  EXPECT_FALSE(obs_data_get_bool(s, "svc_youtube"));
  EXPECT_TRUE(obs_data_get_bool(s, "browser_smtc"));
  obs_data_release(s);

  auto updates = h.browserUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(jsonString(updates[0], "url"), plugin::fallback_url());
  EXPECT_EQ(jsonInt(updates[0], "width"), 1000);
  EXPECT_EQ(jsonInt(updates[0], "height"), 280);
  EXPECT_EQ(obs_source_get_width(card), 500u);
  EXPECT_EQ(obs_source_get_height(card), 140u);

  // No port yet: ticks leave the child alone.
  h.tick(card, 0.016f);
  EXPECT_EQ(h.browserUpdates().size(), 1u);

  ASSERT_TRUE(h.waitLog("[tunelight] agent is not running, restarting (1)", 3000));
  // A launch in progress never holds up a frame.
  auto t0 = std::chrono::steady_clock::now();
  h.tick(card, 0.016f);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
  EXPECT_EQ(h.browserUpdates().size(), 1u);
  ASSERT_TRUE(h.waitLog("[tunelight] agent started: http://127.0.0.1:48999/widget (pid ", 3000));
  h.tick(card, 0.016f);
  updates = h.browserUpdates();
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(jsonString(updates[1], "url"),
            "http://127.0.0.1:48999/widget?theme=compact&scale=2.00");
  EXPECT_EQ(jsonInt(updates[1], "width"), 1000);
  h.tick(card, 0.016f);
  EXPECT_EQ(h.browserUpdates().size(), 2u);

  // Look settings reach the child on update.
  Data look;
  obs_data_set_string(look, "theme", "vinyl");
  obs_data_set_string(look, "layout", "vertical");
  obs_data_set_string(look, "time_format", "remaining");
  obs_data_set_bool(look, "accent_custom", true);
  obs_data_set_int(look, "accent", 0xFF8000FF);
  obs_data_set_string(look, "pause_mode", "hide");
  obs_data_set_bool(look, "show_progress", false);
  obs_data_set_string(look, "show_mode", "track");
  obs_data_set_int(look, "show_seconds", 15);
  h.update(card, look);
  EXPECT_EQ(h.browserUpdates().size(), 2u);  // the child follows on the next tick
  h.tick(card, 0.016f);
  updates = h.browserUpdates();
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_EQ(jsonString(updates[2], "url"),
            "http://127.0.0.1:48999/widget?theme=vinyl&layout=vertical&accent=ff0080&scale=2.00"
            "&time=remaining&showFor=15&hideOnPause=1&progress=0");
  EXPECT_EQ(jsonInt(updates[2], "width"), 624);
  EXPECT_EQ(jsonInt(updates[2], "height"), 856);
  EXPECT_EQ(obs_source_get_width(card), 312u);

  Data more;
  obs_data_set_string(more, "background", "cover");
  obs_data_set_string(more, "show_mode", "always");
  obs_data_set_string(more, "theme", "");  // empty falls back to the default
  h.update(card, more);
  h.tick(card, 0.016f);
  EXPECT_EQ(jsonString(h.browserUpdates().back(), "url"),
            "http://127.0.0.1:48999/widget?theme=compact&layout=vertical&bg=cover&accent=ff0080"
            "&scale=2.00&time=remaining&hideOnPause=1&progress=0");
}

// Without a browser source (and here without graphics or a text source) the card is the
// module's own, with the browser card's size; nothing fails.
TEST(CardObsTest, WithoutBrowserSourceTheModuleDrawsTheCard) {
  HarnessOptions o;
  o.browser_source = false;
  ObsHarness h(o);
  obs_source_t* a = h.createCard(nullptr, "a");
  obs_source_t* b = h.createCard(nullptr, "b");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(h.countLog("[tunelight] native card: this OBS has no browser source"), 1u);
  EXPECT_EQ(h.countLog("[tunelight] text_ft2_source_v2 is not available: the card shows no texts"),
            2u);
  EXPECT_EQ(h.browserOf(a), nullptr);
  EXPECT_EQ(obs_source_get_width(a), 500u);
  EXPECT_EQ(obs_source_get_height(a), 140u);
  h.tick(a, 2.0f);
  Data s;
  obs_data_set_string(s, "theme", "vinyl");
  h.update(a, s);
  h.tick(a, 0.1f);
  EXPECT_EQ(obs_source_get_width(a), 600u);
  EXPECT_TRUE(h.browserUpdates().empty());
  obs_properties_t* props = obs_source_properties(a);
  ASSERT_TRUE(props);
  EXPECT_TRUE(obs_properties_get(props, "renderer"));
  obs_properties_destroy(props);
}

// Every property of a panel, groups flattened, in order.
void collect(obs_properties_t* props, std::vector<obs_property_t*>& out) {
  for (obs_property_t* p = obs_properties_first(props); p; obs_property_next(&p)) {
    out.push_back(p);
    if (obs_property_get_type(p) == OBS_PROPERTY_GROUP) collect(obs_property_group_content(p), out);
  }
}

std::vector<std::string> topLevelNames(obs_properties_t* props) {
  std::vector<std::string> names;
  for (obs_property_t* p = obs_properties_first(props); p; obs_property_next(&p))
    names.push_back(obs_property_name(p));
  return names;
}

std::vector<std::string> listValues(obs_property_t* p) {
  std::vector<std::string> v;
  for (size_t i = 0; i < obs_property_list_item_count(p); ++i)
    v.push_back(obs_property_list_item_string(p, i));
  return v;
}

bool visible(obs_properties_t* props, const char* name) {
  return obs_property_visible(obs_properties_get(props, name));
}

TEST(CardObsTest, PanelWithoutAgent) {
  ObsHarness h;
  obs_source_t* card = h.createCard(nullptr);
  obs_properties_t* props = obs_source_properties(card);
  ASSERT_TRUE(props);
  EXPECT_EQ(topLevelNames(props),
            (std::vector<std::string>{"about", "grp_status", "grp_look", "grp_time", "grp_behavior",
                                      "grp_services", "grp_other", "text_files"}));
  obs_property_t* files = obs_properties_get(props, "text_files");
  EXPECT_EQ(obs_property_group_type(files), OBS_GROUP_CHECKABLE);
  EXPECT_EQ(listValues(obs_properties_get(props, "background")),
            (std::vector<std::string>{"dark", "light", "cover"}));
  EXPECT_EQ(listValues(obs_properties_get(props, "time_format")),
            (std::vector<std::string>{"off", "elapsed", "remaining", "elapsed_total",
                                      "elapsed_remaining"}));
  EXPECT_EQ(listValues(obs_properties_get(props, "position")).size(), 10u);
  EXPECT_EQ(static_cast<int>(obs_property_list_type(obs_properties_get(props, "pause_mode"))), 3);
  EXPECT_EQ(obs_property_int_max(obs_properties_get(props, "position_margin")), 400);
  EXPECT_EQ(obs_property_int_step(obs_properties_get(props, "position_margin")), 4);
  EXPECT_STREQ(obs_property_int_suffix(obs_properties_get(props, "show_seconds")), " s");

  // Status of an agent that is not there.
  obs_data_t* s = obs_source_get_settings(card);
  EXPECT_STREQ(obs_data_get_string(s, "status_now"),
               "The background program is not running. See the OBS log.");
  EXPECT_STREQ(obs_data_get_string(s, "status_sources"), "\xE2\x80\x94");
  EXPECT_EQ(obs_property_text_info_type(obs_properties_get(props, "status_now")),
            OBS_TEXT_INFO_ERROR);
  EXPECT_EQ(obs_property_text_info_type(obs_properties_get(props, "status_sources")),
            OBS_TEXT_INFO_ERROR);

  // Every shown text comes from the locale files (no raw "Group.Look"-style keys).
  std::vector<obs_property_t*> all;
  collect(props, all);
  std::regex raw_key("[A-Z][A-Za-z]*\\.[A-Z][A-Za-z.]*");
  for (obs_property_t* p : all) {
    const char* d = obs_property_description(p);
    EXPECT_FALSE(d && std::regex_match(d, raw_key)) << obs_property_name(p) << ": " << d;
  }
  std::string about = obs_property_description(obs_properties_get(props, "about"));
  EXPECT_NE(about.find(std::string("<img src='") + TUNELIGHT_MODULE_DATA_DIR + "/header-logo.png'"),
            std::string::npos);

  // Visibility rules.
  auto modified = [&](const char* name) {
    EXPECT_TRUE(obs_property_modified(obs_properties_get(props, name), s));
  };
  obs_data_set_bool(s, "show_progress", false);
  obs_data_set_bool(s, "accent_custom", true);
  modified("show_progress");
  EXPECT_FALSE(visible(props, "accent_custom"));
  EXPECT_FALSE(visible(props, "accent"));
  obs_data_set_bool(s, "show_progress", true);
  modified("accent_custom");
  EXPECT_TRUE(visible(props, "accent_custom"));
  EXPECT_TRUE(visible(props, "accent"));
  obs_data_set_bool(s, "accent_custom", false);
  modified("accent_custom");
  EXPECT_FALSE(visible(props, "accent"));

  modified("position");
  EXPECT_FALSE(visible(props, "position_margin"));
  EXPECT_FALSE(visible(props, "show_seconds"));
  obs_data_set_string(s, "position", "top_left");
  obs_data_set_string(s, "show_mode", "track");
  modified("show_mode");
  EXPECT_TRUE(visible(props, "position_margin"));
  EXPECT_TRUE(visible(props, "show_seconds"));

  // The folder button creates the directory and hands it to the desktop's opener.
  std::string fake_bin = h.dir().file("fakebin");
  mkdir(fake_bin.c_str(), 0755);
  std::string opener = fake_bin + "/xdg-open";
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << h.dir().file("opened") << "\"\n";
  chmod(opener.c_str(), 0755);
  setenv("PATH", (fake_bin + ":" + getenv("PATH")).c_str(), 1);
  std::string np = h.dir().file("out/now playing");
  obs_data_set_string(s, "text_files_dir", np.c_str());
  EXPECT_FALSE(obs_property_button_clicked(obs_properties_get(props, "text_files_open"), card));
  EXPECT_TRUE(fileExists(np));
  waitUntil([&] { return !readFile(h.dir().file("opened")).empty(); }, 3000);
  EXPECT_EQ(readFile(h.dir().file("opened")), np);

  obs_data_release(s);
  obs_properties_destroy(props);

  // The type's panel without an instance.
  obs_properties_t* type_props = obs_get_source_properties("tunelight_card");
  ASSERT_TRUE(type_props);
  EXPECT_TRUE(obs_properties_get(type_props, "status_now"));
  obs_properties_destroy(type_props);
}

TEST(CardObsTest, TalksToTheAgent) {
  FakeAgentServer agent;
  HarnessOptions o;
  o.agent = AgentKind::Script;
  o.agent_script = reportsPort(agent.port);
  std::string base = "http://127.0.0.1:" + std::to_string(agent.port);
  {
    ObsHarness h(o);
    // The launch posted the initial settings with a fresh token.
    ASSERT_EQ(agent.postCount(), 1u);
    EXPECT_EQ(agent.posts[0].first, "/api/config");
    EXPECT_EQ(agent.posts[0].second, agent_config_json(AgentConfig{}));
    EXPECT_TRUE(std::regex_match(agent.tokens[0], std::regex("[0-9a-f]{32}")));

    Data s;
    obs_data_set_bool(s, "demo", true);
    obs_data_set_bool(s, "svc_spotify", false);
    obs_data_set_string(s, "blocklist_text", "one \r\n\r\n two");
    obs_data_array_t* older = obs_data_array_create();
    Data item;
    obs_data_set_string(item, "value", "three");
    obs_data_array_push_back(older, item);
    obs_data_set_array(s, "blocklist", older);
    obs_data_array_release(older);
    obs_data_set_string(s, "text_files_dir", "/tmp/np");
    obs_source_t* card = h.createCard(s);
    ASSERT_TRUE(agent.waitPosts(2));
    AgentConfig expected;
    expected.demo = true;
    expected.spotify = false;
    expected.blocklist = {"one", " two", "three"};  // text files off: no outputDir
    EXPECT_EQ(agent.posts[1].second, agent_config_json(expected));
    EXPECT_EQ(agent.tokens[1], agent.tokens[0]);
    EXPECT_EQ(jsonString(h.browserUpdates().back(), "url"),
              base + "/widget?theme=compact&scale=2.00");

    obs_properties_t* props = obs_source_properties(card);
    ASSERT_TRUE(props);
    std::string history = obs_property_description(obs_properties_get(props, "history_info"));
    EXPECT_EQ((history.size() - std::regex_replace(history, std::regex("<br>"), "").size()) / 4,
              9u);
    EXPECT_NE(history.find("Art \xE2\x80\x94 R&amp;B &lt;live&gt;"), std::string::npos);
    std::string api = obs_property_description(obs_properties_get(props, "api_info"));
    EXPECT_NE(api.find("<a href='" + base + "/api/now-playing'>" + base + "/api/now-playing</a>"),
              std::string::npos);
    EXPECT_NE(api.find(base + "/events"), std::string::npos);
    // The card's own address for other tools, at its natural size, follows look edits.
    auto widget = [&] {
      return std::string(obs_property_description(obs_properties_get(props, "widget_info")));
    };
    EXPECT_NE(widget().find("'" + base + "/widget?theme=compact'"), std::string::npos) << widget();
    {
      Data look;  // the card's settings with their defaults, as the panel edits them
      obs_data_t* current = obs_source_get_settings(card);
      obs_data_t* defaults = obs_data_get_defaults(current);
      obs_data_apply(look, defaults);
      obs_data_apply(look, current);
      obs_data_release(defaults);
      obs_data_release(current);
      obs_data_set_string(look, "theme", "vinyl");
      obs_data_set_string(look, "time_format", "elapsed");
      EXPECT_TRUE(obs_property_modified(obs_properties_get(props, "theme"), look));
    }
    EXPECT_NE(widget().find(base + "/widget?theme=vinyl&amp;time=elapsed<"), std::string::npos)
        << widget();
    obs_data_t* cs = obs_source_get_settings(card);
    EXPECT_STREQ(obs_data_get_string(cs, "status_now"), "A \xE2\x80\x94 T \xC2\xB7 Yandex Music");
    EXPECT_STREQ(obs_data_get_string(cs, "status_sources"), "Spotify (app), Chrome (extension)");
    EXPECT_EQ(obs_property_text_info_type(obs_properties_get(props, "status_now")),
              OBS_TEXT_INFO_NORMAL);

    // The refresh button reads the agent again.
    {
      std::lock_guard<std::mutex> g(agent.mutex);
      agent.now_playing = R"({"active":false})";
    }
    EXPECT_TRUE(obs_property_button_clicked(obs_properties_get(props, "status_refresh"), card));
    EXPECT_STREQ(obs_data_get_string(cs, "status_now"), "Nothing is playing");
    EXPECT_EQ(obs_property_text_info_type(obs_properties_get(props, "status_now")),
              OBS_TEXT_INFO_WARNING);
    obs_data_release(cs);
    obs_properties_destroy(props);

    // Text files on: the directory goes to the agent.
    Data files;
    obs_data_set_bool(files, "text_files", true);
    h.update(card, files);
    ASSERT_TRUE(agent.waitPosts(3));
    EXPECT_NE(agent.posts[2].second.find("\"outputDir\":\"/tmp/np\""), std::string::npos);
  }
  // Unload asked the agent to shut down with its token.
  ASSERT_EQ(agent.postCount(), 4u);
  EXPECT_EQ(agent.posts[3].first, "/api/shutdown");
  EXPECT_EQ(agent.posts[3].second, "");
  EXPECT_EQ(agent.tokens[3], agent.tokens[0]);
  EXPECT_FALSE(agent.origin_seen);
}

}  // namespace
}  // namespace tunelight::test
