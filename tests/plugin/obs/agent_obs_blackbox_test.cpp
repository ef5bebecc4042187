// The module with the real agent beside it.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "tests/plugin/obs/obs_harness.h"

namespace tunelight::test {
namespace {

// Pids of the agents the module reported, in order.
std::vector<int> agentPids(const ObsHarness& h) {
  std::vector<int> pids;
  std::regex re(R"(agent started: http://127\.0\.0\.1:\d+/widget \(pid (\d+)\))");
  std::smatch m;
  for (const auto& line : h.log())
    if (std::regex_search(line, m, re)) pids.push_back(std::stoi(m[1]));
  return pids;
}

std::string get(int port, const char* path) {
  httplib::Client c("127.0.0.1", port);
  c.set_connection_timeout(1, 0);
  auto res = c.Get(path);
  return res && res->status == 200 ? res->body : "";
}

TEST(AgentObsTest, StartsRestartsAndStopsTheAgent) {
  HarnessOptions o;
  o.agent = AgentKind::Real;
  ObsHarness h(o);
  std::string port_file = h.configDir() + "agent-" + std::to_string(getpid()) + ".port";
  ASSERT_EQ(agentPids(h).size(), 1u);
  int port = std::stoi(readFile(port_file));
  EXPECT_GE(port, 48210);
  EXPECT_LE(port, 48214);
  EXPECT_NE(get(port, "/api/health").find("\"name\":\"tunelight\""), std::string::npos);

  // A card's settings reach the agent: the demo track starts playing.
  obs_data_t* s = obs_data_create();
  obs_data_set_bool(s, "demo", true);
  obs_source_t* card = h.createCard(s);
  obs_data_release(s);
  ASSERT_TRUE(card);
  EXPECT_TRUE(waitUntil(
      [&] { return get(port, "/api/now-playing").find("\"active\":true") != std::string::npos; },
      5000, 20));

  // Killed: restarted with a warning, with a new token and port file.
  int first = agentPids(h)[0];
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(h.waitLog("[tunelight] agent is not running, restarting (1)", 3000));
  ASSERT_TRUE(waitUntil([&] { return agentPids(h).size() == 2; }, 6000, 20));
  int second = agentPids(h)[1];
  EXPECT_NE(second, first);
  port = std::stoi(readFile(port_file));
  EXPECT_FALSE(get(port, "/api/health").empty());
  // The restarted agent got the card's settings at launch.
  EXPECT_TRUE(waitUntil(
      [&] { return get(port, "/api/now-playing").find("\"active\":true") != std::string::npos; },
      5000, 20));

  auto t0 = std::chrono::steady_clock::now();
  h.shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  EXPECT_EQ(h.countLog("[tunelight] plugin unloaded"), 1u);
  EXPECT_NE(kill(second, 0), 0);  // ended and reaped
  EXPECT_FALSE(fileExists(port_file));
  EXPECT_EQ(h.countLog("restarting"), 1u);
}

}  // namespace
}  // namespace tunelight::test
