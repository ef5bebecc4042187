// The card on OBS's graphics thread while the agent is being relaunched: libobs runs the card's
// deferred update, tick and render there, so none of them may wait for the launch.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "plugin/card_logic.h"
#include "tests/plugin/obs/fake_agent.h"
#include "tests/plugin/obs/obs_harness.h"

namespace tunelight::test {
namespace {

// Stand-in agent: the first start reports `port` at once, every later one only after `delay`
// seconds, so a relaunch sits in the port-file wait.
std::string relaunchesSlowly(int port, int delay) {
  return "n=$(cat \"$0.count\" 2>/dev/null || echo 0); echo $((n+1)) > \"$0.count\"\n"
         "[ \"$n\" = 0 ] || sleep " +
         std::to_string(delay) + "\nprintf " + std::to_string(port) + " > \"$4\"\nexec sleep 60\n";
}

int agentPid(const ObsHarness& h, size_t index) {
  std::regex re(R"(agent started: http://127\.0\.0\.1:\d+/widget \(pid (\d+)\))");
  std::smatch m;
  size_t n = 0;
  for (const auto& line : h.log())
    if (std::regex_search(line, m, re) && n++ == index) return std::stoi(m[1]);
  return -1;
}

TEST(GraphicsThreadObsTest, RelaunchNeverStallsTheGraphicsThread) {
  FakeAgentServer agent;
  HarnessOptions o;
  o.agent = AgentKind::Script;
  o.agent_script = relaunchesSlowly(agent.port, 3);
  o.video = true;
  ObsHarness h(o);
  obs_source_t* card = h.createCard(nullptr);
  ASSERT_TRUE(card);
  h.renderEachFrame(card);
  ASSERT_TRUE(agent.waitPosts(2)) << agent.postCount() << " settings posts";
  std::string first_token;
  {
    std::lock_guard<std::mutex> g(agent.mutex);  // the server thread appends
    first_token = agent.tokens[0];
  }

  int pid = agentPid(h, 0);
  ASSERT_GT(pid, 1) << "no agent in the log";  // never kill(-1, ...)
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(h.waitLog("[tunelight] agent is not running, restarting (1)", 3000));
  h.resetCallTimes();
  obs_data_t* s = obs_data_create();
  obs_data_set_bool(s, "demo", true);
  obs_source_update(card, s);  // deferred: libobs runs it on the graphics thread
  obs_data_release(s);
  // The properties panel reads status and history on the UI thread: never behind the launch.
  auto opened = std::chrono::steady_clock::now();
  obs_properties_destroy(obs_source_properties(card));
  double panel_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - opened).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));

  CallTimes t = h.callTimes();
  std::printf(
      "during the relaunch: %d updates (max %.3f ms), %d ticks (max %.3f ms), %d renders "
      "(max %.3f ms); longest on the clock alone %.3f ms; properties opened in %.1f ms\n",
      t.updates, t.max_update_ms, t.ticks, t.max_tick_ms, t.renders, t.max_render_ms, t.max_wall_ms,
      panel_ms);
  EXPECT_LT(panel_ms, 1000.0) << "the properties waited for the launch";
  ASSERT_EQ(h.countLog("agent started"), 1u) << "the relaunch must still be waiting";
  EXPECT_GE(t.updates, 1);
  EXPECT_GE(t.ticks, 10);
  EXPECT_GE(t.renders, 10);
  EXPECT_LT(t.max_update_ms, 5.0);
  EXPECT_LT(t.max_tick_ms, 5.0);
  EXPECT_LT(t.max_render_ms, 5.0);

  // The change made while no agent ran reaches the new agent.
  ASSERT_TRUE(h.waitLog("agent started", 5000, 2));
  EXPECT_TRUE(waitUntil(
      [&] {
        std::lock_guard<std::mutex> g(agent.mutex);
        return agent.tokens.back() != first_token &&
               agent.posts.back().second.find("\"demo\":true") != std::string::npos;
      },
      3000, 20));
}

TEST(GraphicsThreadObsTest, RestartNeverShowsTheFallbackPage) {
  FakeAgentServer agent;
  HarnessOptions o;
  o.agent = AgentKind::Script;
  o.agent_script = relaunchesSlowly(agent.port, 1);
  o.video = true;
  ObsHarness h(o);
  obs_source_t* card = h.createCard(nullptr);
  ASSERT_TRUE(card);
  h.renderEachFrame(card);
  std::string page =
      "http://127.0.0.1:" + std::to_string(agent.port) + "/widget?theme=compact&scale=2.00";
  ASSERT_TRUE(waitUntil([&] { return !h.sampledChildUrls().empty(); }, 3000, 20));

  int pid = agentPid(h, 0);
  ASSERT_GT(pid, 1) << "no agent in the log";  // never kill(-1, ...)
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(h.waitLog("agent started", 5000, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  // Sampled every frame, and every address the child was ever given.
  EXPECT_EQ(h.sampledChildUrls(), std::vector<std::string>{page});
  for (const auto& u : h.browserUpdates()) EXPECT_EQ(jsonString(u, "url"), page);
}

// The player hotkeys are OBS's own (saved and bound there), and they, like the panel's buttons,
// only hand the action over: a press during a relaunch returns at once.
TEST(GraphicsThreadObsTest, HotkeysAndButtonsReachTheAgentAndNeverWait) {
  FakeAgentServer agent;
  HarnessOptions o;
  o.agent = AgentKind::Script;
  o.agent_script = relaunchesSlowly(agent.port, 3);
  ObsHarness h(o);
  ASSERT_TRUE(agent.waitPosts(1));
  std::map<std::string, std::pair<obs_hotkey_id, std::string>> keys;  // name -> id, label
  obs_enum_hotkeys(
      [](void* data, obs_hotkey_id id, obs_hotkey_t* key) {
        if (obs_hotkey_get_registerer_type(key) == OBS_HOTKEY_REGISTERER_FRONTEND)
          (*static_cast<decltype(keys)*>(data))[obs_hotkey_get_name(key)] = {
              id, obs_hotkey_get_description(key)};
        return true;
      },
      &keys);
  const std::map<std::string, std::string> labels = {
      {"tunelight.play_pause", "Tunelight: Play/Pause"},
      {"tunelight.next", "Tunelight: Next"},
      {"tunelight.previous", "Tunelight: Previous"},
      {"tunelight.show", "Tunelight: Show the card"}};
  for (const auto& [name, label] : labels) EXPECT_EQ(keys[name].second, label) << name;

  auto controlPosts = [&] {
    std::vector<std::string> out;
    std::lock_guard<std::mutex> g(agent.mutex);
    for (const auto& [path, body] : agent.posts)
      if (path == "/api/control") out.push_back(body);
    return out;
  };
  obs_hotkey_enable_callback_rerouting(true);
  obs_hotkey_trigger_routed_callback(keys["tunelight.next"].first, true);
  obs_hotkey_trigger_routed_callback(keys["tunelight.next"].first, false);  // release: nothing
  ASSERT_TRUE(waitUntil([&] { return controlPosts().size() == 1; }, 3000, 20));
  EXPECT_EQ(controlPosts()[0], R"({"action":"next"})");
  {
    std::lock_guard<std::mutex> g(agent.mutex);
    EXPECT_EQ(agent.tokens.back(), agent.tokens.front());  // the launch's token
  }

  // During a relaunch (the supervisor busy for seconds) every press returns at once.
  int pid = agentPid(h, 0);
  ASSERT_GT(pid, 1) << "no agent in the log";
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(h.waitLog("[tunelight] agent is not running, restarting (1)", 3000));
  double longest_ms = 0;
  for (const char* name : {"tunelight.play_pause", "tunelight.previous", "tunelight.show"}) {
    const auto t0 = std::chrono::steady_clock::now();
    obs_hotkey_trigger_routed_callback(keys[name].first, true);
    longest_ms = std::max(
        longest_ms,
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::printf("longest hotkey press during the relaunch: %.3f ms\n", longest_ms);
  EXPECT_LT(longest_ms, 5.0);
  ASSERT_EQ(h.countLog("agent started"), 1u) << "the relaunch must still be waiting";
  EXPECT_TRUE(waitUntil([&] { return controlPosts().size() == 4; }, 3000, 20));
  EXPECT_EQ(controlPosts().back(), R"({"action":"show"})");

  // The panel's buttons follow what the card's source takes.
  agent.setState(
      R"({"active":true,"title":"T","status":"playing","controls":["playPause","next"]})");
  obs_source_t* card = h.createCard(nullptr);
  ASSERT_TRUE(card);
  obs_properties_t* props = obs_source_properties(card);
  auto enabled = [&](const char* key) {
    obs_property_t* p = obs_properties_get(props, key);
    return p && obs_property_enabled(p);
  };
  EXPECT_TRUE(enabled("control_play_pause"));
  EXPECT_TRUE(enabled("control_next"));
  EXPECT_FALSE(enabled("control_previous"));
  EXPECT_TRUE(obs_property_visible(obs_properties_get(props, "controls_info")));
  obs_property_button_clicked(obs_properties_get(props, "control_play_pause"), card);
  EXPECT_TRUE(waitUntil([&] { return controlPosts().size() == 5; }, 3000, 20));
  EXPECT_EQ(controlPosts().back(), R"({"action":"playPause"})");
  obs_properties_destroy(props);
}

}  // namespace
}  // namespace tunelight::test
