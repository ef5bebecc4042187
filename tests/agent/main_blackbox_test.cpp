// The real agent binary: options, port file, log, exit codes and the ways it stops.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/http/raw_http.h"
#include "tests/support/agent_process.h"

namespace tunelight::test {
namespace {

const std::vector<int> kPorts = {48210, 48211, 48212, 48213, 48214};

std::string firstLine(const std::string& text) {
  return text.substr(0, text.find('\n') + 1);
}

// Runs until the agent exits; returns its exit code and how long that took.
std::pair<std::optional<int>, std::chrono::milliseconds> timedExit(ChildProcess& p, int timeoutMs) {
  auto t0 = std::chrono::steady_clock::now();
  auto code = p.waitExit(timeoutMs);
  return {code, std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - t0)};
}

HttpResponse shutdown(const RunningAgent& a) {
  return post(a.port, "/api/shutdown", "", {{"X-Tunelight-Token", a.token}});
}

TEST(AgentMain, AnnouncesItsPortAndStopsOnRequest) {
  auto a = startAgent();
  ASSERT_GT(a->port, 0) << a->log();
  EXPECT_EQ(readFile(a->portFile()), std::to_string(a->port));
  EXPECT_FALSE(fileExists(a->portFile() + ".tmp"));
  EXPECT_EQ(firstLine(a->log()),
            "[info] listening on http://127.0.0.1:" + std::to_string(a->port) + "\n");
  EXPECT_EQ(get(a->port, "/api/health").status, 200);

  HttpResponse bye = shutdown(*a);
  EXPECT_EQ(bye.status, 200);
  EXPECT_EQ(bye.body, "{\"ok\":true}");
  auto [code, took] = timedExit(*a->process, 3000);
  EXPECT_EQ(code, 0);
  EXPECT_LT(took.count(), 2000);  // the plugin waits 2 s before it kills
  EXPECT_FALSE(fileExists(a->portFile()));

  // A new agent right after one that served connections binds the same port again.
  const int first = a->port;
  auto b = startAgent();
  EXPECT_EQ(b->port, first);
  EXPECT_EQ(shutdown(*b).status, 200);
  EXPECT_EQ(b->process->waitExit(3000), 0);
}

TEST(AgentMain, DemoPlaysRightAfterStart) {
  auto a = startAgent({"--demo"});
  ASSERT_GT(a->port, 0);
  std::string body;
  for (int i = 0; i < 100; ++i) {
    body = get(a->port, "/api/now-playing").body;
    if (body.find("\"kind\":\"mock\"") != std::string::npos) break;
    usleep(10000);
  }
  EXPECT_NE(body.find("\"active\":true"), std::string::npos) << body;
  EXPECT_NE(body.find("\"source\":\"mock:demo\""), std::string::npos) << body;
  EXPECT_EQ(shutdown(*a).status, 200);
  EXPECT_EQ(a->process->waitExit(3000), 0);
}

TEST(AgentMain, StaleFilesAreReplaced) {
  TempDir dir;
  const std::string portFile = dir.file("agent.port");
  {
    std::FILE* f = std::fopen(portFile.c_str(), "w");
    std::fputs("99999 old", f);
    std::fclose(f);
    f = std::fopen((portFile + ".tmp").c_str(), "w");
    std::fputs("stale temporary content", f);
    std::fclose(f);
  }
  ChildProcess p(agentPath(),
                 {"--port-file", portFile, "--token", "t", "--log-file", dir.file("a.log")});
  // The old number is replaced, never appended to or left half-written.
  int port = 0;
  for (int i = 0; i < 200 && port == 0; ++i) {
    std::string s = readFile(portFile);
    if (s != "99999 old") port = std::atoi(s.c_str());
    if (port == 0) usleep(10000);
  }
  ASSERT_GT(port, 0);
  EXPECT_EQ(readFile(portFile), std::to_string(port));
  EXPECT_FALSE(fileExists(portFile + ".tmp"));
  post(port, "/api/shutdown", "", {{"X-Tunelight-Token", "t"}});
  EXPECT_EQ(p.waitExit(3000), 0);
}

TEST(AgentMain, StopsWhenTheParentExits) {
  ChildProcess parent("/bin/sleep", {"60"});
  auto a = startAgent({"--parent-pid", std::to_string(parent.pid())});
  ASSERT_GT(a->port, 0);
  EXPECT_TRUE(a->process->running());
  // Killed but not yet reaped: the pid still exists, the process does not run.
  parent.kill();
  auto [code, took] = timedExit(*a->process, 3000);
  EXPECT_EQ(code, 0);
  EXPECT_LT(took.count(), 2000);  // the plugin waits 2 s before it kills
  EXPECT_FALSE(fileExists(a->portFile()));
  EXPECT_NE(a->log().find("[info] parent process exited\n"), std::string::npos);
}

TEST(AgentMain, AParentThatDoesNotExistStopsAtOnce) {
  int gone = 0;
  {
    ChildProcess done("/bin/true", {});
    ASSERT_EQ(done.waitExit(3000), 0);
    gone = done.pid();
  }
  TempDir dir;
  auto t0 = std::chrono::steady_clock::now();
  ChildProcess p(agentPath(), {"--parent-pid", std::to_string(gone), "--log-file",
                               dir.file("a.log"), "--port-file", dir.file("p")});
  EXPECT_EQ(p.waitExit(3000), 0);
  // The first pass notices; the teardown may wait up to a second for the file writer.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  EXPECT_NE(readFile(dir.file("a.log")).find("[info] parent process exited\n"), std::string::npos);
  EXPECT_FALSE(fileExists(dir.file("p")));
}

TEST(AgentMain, NoFreePortExitsWithTwo) {
  std::vector<std::unique_ptr<PortHolder>> held;
  // A port this test cannot take is held by some other program, which serves as well.
  for (int port : kPorts) held.push_back(std::make_unique<PortHolder>(port));
  TempDir dir;
  ChildProcess p(agentPath(), {"--port-file", dir.file("p"), "--log-file", dir.file("a.log"),
                               "--token", "t", "--demo"});
  EXPECT_EQ(p.waitExit(5000), 2);
  EXPECT_EQ(readFile(dir.file("a.log")), "[error] no free port\n");
  EXPECT_FALSE(fileExists(dir.file("p")));
  EXPECT_FALSE(fileExists(dir.file("p.tmp")));
}

TEST(AgentMain, TakesTheNextPortWhenTheFirstIsHeld) {
  PortHolder first(kPorts[0]);
  const bool secondFree = PortHolder(kPorts[1]).ok();
  auto a = startAgent();
  ASSERT_GT(a->port, 0);
  EXPECT_GT(a->port, kPorts[0]);
  if (secondFree) {
    EXPECT_EQ(a->port, kPorts[1]);
  }
  EXPECT_EQ(shutdown(*a).status, 200);
  EXPECT_EQ(a->process->waitExit(3000), 0);
}

TEST(AgentMain, WithoutTokenOrLogFile) {
  TempDir dir;
  ChildProcess parent("/bin/sleep", {"60"});
  // --parent-pid with a value that is not a number means no watch; the later one counts.
  ChildProcess p(agentPath(),
                 {"--parent-pid", "abc", "--unknown", "--port-file", dir.file("p"), "--parent-pid",
                  " +" + std::to_string(parent.pid()) + "x", "--token"},
                 dir.file("stderr.txt"));
  const int port = waitForPortFile(dir.file("p"), 5000);
  ASSERT_GT(port, 0);
  // The token option came last without a value: the control routes do not exist.
  EXPECT_EQ(post(port, "/api/shutdown", "", {{"X-Tunelight-Token", ""}}).status, 404);
  EXPECT_EQ(post(port, "/api/config", "{}").status, 404);
  EXPECT_EQ(firstLine(readFile(dir.file("stderr.txt"))),
            "[info] listening on http://127.0.0.1:" + std::to_string(port) + "\n");
  parent.kill();
  EXPECT_EQ(p.waitExit(3000), 0);
}

TEST(AgentMain, StopSignalsRunTheSameTeardownAsAShutdownRequest) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    auto a = startAgent();
    ASSERT_GT(a->port, 0);
    auto events = openEvents(a->port);
    ASSERT_TRUE(events->readUntilContains("data: {\"active\":false}", 3000));
    ::kill(a->process->pid(), sig);
    auto [code, took] = timedExit(*a->process, 3000);
    EXPECT_EQ(code, 0);
    EXPECT_LT(took.count(), 1000);
    EXPECT_FALSE(fileExists(a->portFile()));
    EXPECT_TRUE(events->readUntilClosed(1000));
  }
}

TEST(AgentMain, ASecondStopSignalEndsTheAgentAtOnce) {
  auto a = startAgent({"--demo"});
  ASSERT_GT(a->port, 0);
  ::kill(a->process->pid(), SIGTERM);
  ::kill(a->process->pid(), SIGINT);
  auto [code, took] = timedExit(*a->process, 3000);
  ASSERT_TRUE(code.has_value());
  EXPECT_TRUE(*code == -1000 - SIGINT || *code == -1000 - SIGTERM) << *code;
  EXPECT_LT(took.count(), 500);
}

TEST(AgentMain, HelpAndVersionPrintAndExitWithoutServing) {
  TempDir dir;
  ChildProcess help(agentPath(), {"--port-file", dir.file("p"), "--help", "--demo"},
                    dir.file("help.txt"));
  EXPECT_EQ(help.waitExit(3000), 0);
  const std::string text = readFile(dir.file("help.txt"));
  for (const char* option :
       {"--token", "--port-file", "--parent-pid", "--log-file", "--demo", "--help", "--version"})
    EXPECT_NE(text.find(option), std::string::npos) << option;
  EXPECT_FALSE(fileExists(dir.file("p")));

  ChildProcess version(agentPath(), {"--version", "--port-file", dir.file("p")},
                       dir.file("version.txt"));
  EXPECT_EQ(version.waitExit(3000), 0);
  EXPECT_EQ(readFile(dir.file("version.txt")), "tunelight-agent 0.2.0\n");
  EXPECT_FALSE(fileExists(dir.file("p")));
}

TEST(AgentMain, APortFileThatCannotBeWrittenIsLoggedAndTheAgentServes) {
  TempDir dir;
  const std::string portFile = dir.file("missing/agent.port");
  ChildProcess p(agentPath(),
                 {"--port-file", portFile, "--token", "t", "--log-file", dir.file("a.log")});
  const std::string listening = "[info] listening on http://127.0.0.1:";
  ASSERT_TRUE(waitUntil(
      [&] { return readFile(dir.file("a.log")).find("[error] port file") != std::string::npos; },
      5000))
      << readFile(dir.file("a.log"));
  const std::string log = readFile(dir.file("a.log"));
  ASSERT_EQ(log.compare(0, listening.size(), listening), 0) << log;
  const int port = std::atoi(log.c_str() + listening.size());
  EXPECT_NE(log.find("\n[error] port file: cannot write " + portFile + ": " +
                     std::make_error_code(std::errc::no_such_file_or_directory).message() + "\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(get(port, "/api/health").status, 200);
  EXPECT_EQ(post(port, "/api/shutdown", "", {{"X-Tunelight-Token", "t"}}).status, 200);
  EXPECT_EQ(p.waitExit(3000), 0);
  // Nothing to delete is not an error.
  EXPECT_EQ(countOf(readFile(dir.file("a.log")), "[error]"), 1u) << readFile(dir.file("a.log"));
}

TEST(AgentMain, SettingsTogglesRacingAShutdownNeverHoldItUp) {
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto a = startAgent();
    ASSERT_GT(a->port, 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> togglers;
    for (int t = 0; t < 3; ++t) {
      togglers.emplace_back([&, t] {
        for (int i = t; !stop; ++i) {
          const std::string body = i % 2 ? R"({"demo":true})" : R"({"demo":false})";
          post(a->port, "/api/config", body, {{"X-Tunelight-Token", a->token}});
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + 25 * round));
    EXPECT_EQ(shutdown(*a).status, 200);
    auto [code, took] = timedExit(*a->process, 3000);
    stop = true;
    for (auto& t : togglers) t.join();
    EXPECT_EQ(code, 0);
    EXPECT_LT(took.count(), 1000);
    EXPECT_FALSE(fileExists(a->portFile()));
  }
}

}  // namespace
}  // namespace tunelight::test
