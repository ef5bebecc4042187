#include <gtest/gtest.h>

#include <fstream>

#include "plugin/agent_process.h"
#include "tests/support/agent_process.h"

namespace tunelight::plugin {
namespace {

using namespace std::chrono_literals;
using Event = AgentWatch::Event;

struct FakeProcess : AgentProcess {
  bool ended = false;
  int code = -1;
  uint32_t pid() const override { return 7; }
  bool wait_exit(int) override { return ended; }
  int exit_code() const override { return ended ? code : -1; }
  void terminate() override { ended = true; }
};

TEST(AgentWatchTest, PortFileThatAppearsLateIsPickedUpWhileTheAgentLives) {
  test::TempDir dir;
  std::string port_file = dir.file("agent-1.port");
  FakeProcess agent;
  AgentWatch::Clock::time_point t0{};
  AgentWatch watch(agent, port_file, t0);
  EXPECT_EQ(watch.check(t0), Event::None);
  EXPECT_EQ(watch.check(t0 + 4900ms), Event::None);
  // The slow start is told once; looking goes on.
  EXPECT_EQ(watch.check(t0 + 5000ms), Event::Slow);
  EXPECT_EQ(watch.check(t0 + 5500ms), Event::None);
  std::ofstream(port_file) << "0";
  EXPECT_EQ(watch.check(t0 + 6000ms), Event::None);
  std::ofstream(port_file) << " 48213\n";
  EXPECT_EQ(watch.check(t0 + 40s), Event::PortKnown);
  EXPECT_EQ(watch.port(), 48213);
  EXPECT_EQ(watch.check(t0 + 41s), Event::None);

  agent.ended = true;
  agent.code = kAgentExitRestart;
  EXPECT_EQ(watch.check(t0 + 42s), Event::Ended);
  EXPECT_EQ(watch.check(t0 + 43s), Event::Ended);

  // An agent that ends before its port is an end, never a slow start.
  FakeProcess gone;
  gone.ended = true;
  AgentWatch early(gone, dir.file("none.port"), t0);
  EXPECT_EQ(early.check(t0 + 10s), Event::Ended);
}

}  // namespace
}  // namespace tunelight::plugin
