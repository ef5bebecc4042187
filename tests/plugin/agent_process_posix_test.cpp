#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "plugin/agent_process.h"
#include "tests/support/agent_process.h"

namespace tunelight::plugin {
namespace {

using test::readFile;
using test::TempDir;

TEST(AgentProcessTest, ExecutablePathAndCommandLine) {
  EXPECT_EQ(agent_executable_path("/home/u/.config/obs-studio/plugins/tunelight/bin/64bit/"
                                  "tunelight.so"),
            "/home/u/.config/obs-studio/plugins/tunelight/bin/64bit/tunelight-agent");
  EXPECT_EQ(agent_executable_path("C:\\obs\\plugins\\tunelight.dll"),
            "C:\\obs\\plugins\\tunelight-agent");
  EXPECT_EQ(agent_executable_path("tunelight.so"), "tunelight-agent");

  AgentLaunchArgs a{"C:\\p q\\tunelight-agent.exe", "00ff", "C:\\c\\agent-7.port", 7,
                    "C:\\c\\agent.log"};
  EXPECT_EQ(agent_command_line(a),
            "\"C:\\p q\\tunelight-agent.exe\" --token 00ff --port-file \"C:\\c\\agent-7.port\" "
            "--parent-pid 7 --log-file \"C:\\c\\agent.log\"");
}

// A stand-in agent: records its arguments one per line, then sleeps until killed.
std::string writeFakeAgent(const TempDir& dir, const std::string& body) {
  std::string path = dir.file("fake agent");
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0755);
  return path;
}

TEST(AgentProcessTest, PassesArgumentsWaitsAndTerminates) {
  TempDir dir;
  std::string exe = writeFakeAgent(
      dir, "for a in \"$@\"; do echo \"$a\"; done > \"" + dir.file("args") + ".tmp\"\n" + "mv \"" +
               dir.file("args") + ".tmp\" \"" + dir.file("args") + "\"\nexec sleep 30\n");
  AgentLaunchArgs a{exe, "tok", dir.file("with space.port"), current_process_id(),
                    dir.file("a.log")};
  unsigned long err = 0;
  auto p = launch_agent_process(a, &err);
  ASSERT_TRUE(p) << err;
  EXPECT_GT(p->pid(), 0u);
  test::waitUntil([&] { return test::fileExists(dir.file("args")); }, 2000);
  EXPECT_EQ(readFile(dir.file("args")),
            "--token\ntok\n--port-file\n" + dir.file("with space.port") + "\n--parent-pid\n" +
                std::to_string(current_process_id()) + "\n--log-file\n" + dir.file("a.log") + "\n");
  EXPECT_TRUE(p->alive());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(p->wait_exit(100));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(90));
  p->terminate();
  EXPECT_FALSE(p->alive());
  EXPECT_TRUE(p->wait_exit(0));
  p->terminate();  // a second call on an ended process is harmless
}

TEST(AgentProcessTest, ExitIsSeenAndReaped) {
  TempDir dir;
  auto p = launch_agent_process({writeFakeAgent(dir, "exit 3\n"), "t", "", 1, ""}, nullptr);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->exit_code(), -1);
  EXPECT_TRUE(p->wait_exit(5000));
  EXPECT_EQ(p->exit_code(), kAgentExitRestart);
  // Reaped: no zombie with that pid is left behind.
  EXPECT_NE(kill(static_cast<pid_t>(p->pid()), 0), 0);
}

TEST(AgentProcessTest, MissingExecutableFailsWithErrorCode) {
  TempDir dir;
  unsigned long err = 0;
  EXPECT_FALSE(launch_agent_process({dir.file("nothing-here"), "t", "", 1, ""}, &err));
  EXPECT_EQ(err, static_cast<unsigned long>(ENOENT));
}

}  // namespace
}  // namespace tunelight::plugin
