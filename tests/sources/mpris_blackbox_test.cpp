// The real agent against real MPRIS players: a private session bus and mpv with its MPRIS
// script, both started (and ended) by the test.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/sources/mpris_blackbox_support.h"
#include "tests/support/agent_process.h"

namespace tunelight {
namespace {

using nlohmann::json;
using test::ChildProcess;
using test::EventStream;
using test::runToSuccess;
using test::TempDir;
using test::waitUntil;
using Clock = std::chrono::steady_clock;

const char kMprisScript[] = "/usr/lib/mpv-mpris/mpris.so";

// A private session bus at a fixed socket path, so that it can be stopped and started again
// under the same address. The agent and the players inherit DBUS_SESSION_BUS_ADDRESS.
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& socket) : address_("unix:path=" + socket) {}
  ~PrivateBus() { stop(); }
  const std::string& address() const { return address_; }
  void start(const std::string& socket) {
    ::unlink(socket.c_str());
    daemon_ = std::make_unique<ChildProcess>(
        "/usr/bin/dbus-daemon",
        std::vector<std::string>{"--session", "--nofork", "--nopidfile", "--address=" + address_});
    ASSERT_TRUE(waitUntil([&] { return test::fileExists(socket); }, 5000, 20)) << "no bus socket";
  }
  void stop() { daemon_.reset(); }

 private:
  std::string address_;
  std::unique_ptr<ChildProcess> daemon_;
};

class MprisBlackbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::fileExists(kMprisScript) || !test::fileExists("/usr/bin/playerctl"))
      GTEST_SKIP() << "mpv-mpris or playerctl missing";
    socket = dir.file("bus");
    bus = std::make_unique<PrivateBus>(socket);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str(), 1);
    // Two short tagged tracks; the cover lies beside the first one only.
    ::mkdir(dir.file("b").c_str(), 0755);
    ASSERT_TRUE(tone(dir.file("one.ogg"), "Песня номер один", "Исполнитель", "Альбом", 440));
    ASSERT_TRUE(tone(dir.file("b/two.ogg"), "Second Song", "Band B", "Other", 660));
    ASSERT_TRUE(runToSuccess(
        "/usr/bin/ffmpeg", {"-loglevel", "error", "-y", "-f", "lavfi", "-i", "color=c=red:s=16x16",
                            "-frames:v", "1", dir.file("cover.png")}));
  }
  void TearDown() override {
    players.clear();
    agent.reset();
    bus.reset();
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }

  bool tone(const std::string& path, const std::string& title, const std::string& artist,
            const std::string& album, int hz) {
    return runToSuccess(
        "/usr/bin/ffmpeg",
        {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
         "sine=frequency=" + std::to_string(hz) + ":duration=30:sample_rate=8000", "-metadata",
         "title=" + title, "-metadata", "artist=" + artist, "-metadata", "album=" + album, path});
  }

  ChildProcess& startMpv(const std::vector<std::string>& files) {
    std::vector<std::string> args = {"--no-config", std::string("--script=") + kMprisScript,
                                     "--ao=null", "--vo=null", "--no-terminal"};
    args.insert(args.end(), files.begin(), files.end());
    players.push_back(std::make_unique<ChildProcess>("/usr/bin/mpv", args));
    return *players.back();
  }

  void startAgent() {
    agent = test::startAgent();
    ASSERT_GT(agent->port, 0);
    http = std::make_unique<httplib::Client>("127.0.0.1", agent->port);
    http->set_read_timeout(5, 0);
    // mpv is a video player; those are hidden unless switched on.
    configure(R"({"videoPlayers":true})");
  }
  void configure(const std::string& body) {
    auto res =
        http->Post("/api/config", {{"X-Tunelight-Token", agent->token}}, body, "application/json");
    ASSERT_TRUE(res && res->status == 200);
  }
  bool onBus(const std::string& player) {
    return waitUntil(
        [&] {
          return runToSuccess("/usr/bin/playerctl", {"-p", player, "status"}, 2000);
        },
        4000, 20);
  }

  json nowPlaying() {
    auto res = http->Get("/api/now-playing");
    return res && res->status == 200 ? json::parse(res->body, nullptr, false) : json();
  }
  std::string field(const char* key) {
    json d = nowPlaying();
    if (!d.is_object() || !d.value("active", false) || !d[key].is_string()) return "";
    return d[key].get<std::string>();
  }
  json health() {
    auto res = http->Get("/api/health");
    return res && res->status == 200 ? json::parse(res->body, nullptr, false) : json();
  }
  size_t sourceCount() {
    json h = health();
    return h.is_object() && h["sources"].is_array() ? h["sources"].size() : 999;
  }
  bool playerctl(const std::string& player, const std::string& command) {
    return runToSuccess("/usr/bin/playerctl", {"-p", player, command});
  }
  int countLines(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
      ++n;
    return n;
  }

  TempDir dir;
  std::string socket;
  std::unique_ptr<PrivateBus> bus;
  std::vector<std::unique_ptr<ChildProcess>> players;
  std::unique_ptr<test::RunningAgent> agent;
  std::unique_ptr<httplib::Client> http;
};

TEST_F(MprisBlackbox, PlayerTrackStateCoverAndDisappearance) {
  bus->start(socket);
  ChildProcess& mpv = startMpv({dir.file("one.ogg"), dir.file("b/two.ogg")});
  startAgent();

  ASSERT_TRUE(waitUntil([&] { return field("title") == "Песня номер один"; }, 4000, 20))
      << nowPlaying();
  json d = nowPlaying();
  EXPECT_EQ(d["artist"], "Исполнитель");
  EXPECT_EQ(d["album"], "Альбом");
  EXPECT_EQ(d["source"], "smtc:mpv");
  EXPECT_EQ(d["kind"], "smtc-app");
  EXPECT_EQ(d["player"], "mpv");
  EXPECT_EQ(d["status"], "playing");
  ASSERT_TRUE(d["durationMs"].is_number());
  EXPECT_NEAR(d["durationMs"].get<int64_t>(), 30000, 100);
  ASSERT_TRUE(d["positionMs"].is_number());
  EXPECT_GE(d["positionMs"].get<int64_t>(), 0);

  // The cover beside the file, byte for byte.
  ASSERT_TRUE(waitUntil([&] { return !field("coverUrl").empty(); }, 4000, 20)) << nowPlaying();
  auto cover = http->Get(field("coverUrl").c_str());
  ASSERT_TRUE(cover && cover->status == 200);
  EXPECT_EQ(cover->body, test::readFile(dir.file("cover.png")));
  EXPECT_EQ(cover->get_header_value("Content-Type"), "image/png");

  ASSERT_TRUE(playerctl("mpv", "pause"));
  EXPECT_TRUE(waitUntil([&] { return field("status") == "paused"; }, 2000, 20)) << nowPlaying();
  ASSERT_TRUE(playerctl("mpv", "play"));
  EXPECT_TRUE(waitUntil([&] { return field("status") == "playing"; }, 2000, 20)) << nowPlaying();

  // Next track: new texts at once; the old cover is dropped once its hold is over.
  ASSERT_TRUE(playerctl("mpv", "next"));
  ASSERT_TRUE(waitUntil([&] { return field("title") == "Second Song"; }, 2000, 20)) << nowPlaying();
  EXPECT_EQ(field("artist"), "Band B");
  EXPECT_TRUE(waitUntil([&] { return nowPlaying()["coverUrl"].is_null(); }, 5000, 20))
      << nowPlaying();

  // The player quits: the source goes within a few seconds.
  mpv.kill();
  EXPECT_TRUE(waitUntil([&] { return sourceCount() == 0; }, 5000, 20)) << health();
  EXPECT_EQ(nowPlaying(), json::parse(R"({"active":false})"));
}

// Actions through the API reach mpv, and the card follows at once.
TEST_F(MprisBlackbox, PauseAndNextThroughTheApi) {
  bus->start(socket);
  startMpv({dir.file("one.ogg"), dir.file("b/two.ogg")});
  startAgent();
  ASSERT_TRUE(waitUntil([&] { return field("status") == "playing"; }, 4000, 20)) << nowPlaying();
  auto control = [&](const char* action) {
    return http->Post("/api/control", {{"X-Tunelight-Token", agent->token}},
                      std::string("{\"action\":\"") + action + "\"}", "application/json");
  };
  auto pause = control("pause");
  const auto sent = Clock::now();
  ASSERT_TRUE(pause);
  EXPECT_EQ(pause->status, 200) << pause->body;
  EXPECT_EQ(pause->body, R"({"ok":true,"source":"smtc:mpv"})");
  EXPECT_TRUE(waitUntil([&] { return field("status") == "paused"; }, 300, 20)) << nowPlaying();
  EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(300));
  const std::string out = dir.file("status.txt");
  {
    ChildProcess status("/usr/bin/playerctl", {"-p", "mpv", "status"}, out);
    status.waitExit(5000);
  }
  EXPECT_EQ(test::readFile(out), "Paused\n");

  auto next = control("next");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->status, 200) << next->body;
  EXPECT_TRUE(waitUntil([&] { return field("title") == "Second Song"; }, 2000, 20)) << nowPlaying();
}

TEST_F(MprisBlackbox, MissingDyingAndReturningBus) {
  startAgent();  // no bus at the address yet
  ASSERT_TRUE(waitUntil([&] { return countLines(agent->log(), "- retrying") >= 3; }, 4000, 20))
      << agent->log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  std::string log = agent->log();
  EXPECT_EQ(countLines(log, "[warning] SMTC: "), 3) << log;  // at most three per run
  EXPECT_EQ(countLines(log, "SMTC: session manager ready"), 0) << log;
  EXPECT_TRUE(health().is_object());  // still serving

  // The bus appears: the watcher finds it by itself.
  bus->start(socket);
  startMpv({dir.file("one.ogg")});
  ASSERT_TRUE(waitUntil([&] { return field("title") == "Песня номер один"; }, 4000, 20))
      << agent->log();
  EXPECT_EQ(countLines(agent->log(), "[info] SMTC: session manager ready"), 1);

  // The bus dies (mpv with it) and comes back: a new run of at most three warnings, then the
  // new player shows.
  auto t0 = Clock::now();
  bus->stop();
  // The sources of the dead bus go by the usual rule: unseen for more than 3000 ms.
  ASSERT_TRUE(waitUntil([&] { return sourceCount() == 0; }, 5000, 20)) << health();
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(3500));
  players.clear();
  ASSERT_TRUE(
      waitUntil([&] { return countLines(agent->log(), "[warning] SMTC: ") >= 4; }, 4000, 20))
      << agent->log();
  EXPECT_TRUE(health().is_object());
  bus->start(socket);
  startMpv({dir.file("b/two.ogg")});
  ASSERT_TRUE(onBus("mpv"));
  t0 = Clock::now();
  ASSERT_TRUE(waitUntil([&] { return field("title") == "Second Song"; }, 4000, 20)) << agent->log();
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
  log = agent->log();
  EXPECT_LE(countLines(log, "[warning] SMTC: "), 6) << log;
  EXPECT_EQ(countLines(log, "[info] SMTC: session manager ready"), 2) << log;
}

TEST_F(MprisBlackbox, UnchangedPlayerSendsAndWritesNothing) {
  bus->start(socket);
  startMpv({dir.file("one.ogg")});
  startAgent();
  const std::string out = dir.file("out");
  ::mkdir(out.c_str(), 0755);
  configure(R"({"videoPlayers":true,"outputDir":")" + out + R"("})");
  // mpv names the file before its tags, and the cover follows the title by a cycle: the stream
  // opens once all of them are in.
  ASSERT_TRUE(waitUntil(
      [&] {
        return field("status") == "playing" && field("title") == "Песня номер один" &&
               !field("coverUrl").empty();
      },
      4000, 20))
      << nowPlaying();
  EventStream events(agent->port);
  ASSERT_TRUE(waitUntil([&] { return events.count() == 1; }, 4000, 20)) << events.text();

  // Playing on: the position moves as its first reading predicts, so the document stays.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_LE(events.count(), 2) << events.text();

  ASSERT_TRUE(playerctl("mpv", "pause"));
  const std::string file = out + "/nowplaying.json";
  ASSERT_TRUE(waitUntil(
      [&] { return test::readFile(file).find(R"("status":"paused")") != std::string::npos; }, 4000,
      20))
      << test::readFile(file);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the pause's own messages
  const int sent = events.count();
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  EXPECT_EQ(events.count(), sent) << events.text();
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(MprisBlackbox, PlayerStalledForASecondStaysOnTheCard) {
  bus->start(socket);
  ChildProcess& mpv = startMpv({dir.file("one.ogg")});
  startAgent();
  ASSERT_TRUE(waitUntil([&] { return field("status") == "playing"; }, 4000, 20)) << nowPlaying();
  EventStream events(agent->port);
  ASSERT_TRUE(waitUntil([&] { return events.count() == 1; }, 4000, 20));

  // A busy player answers nothing for a while; the card must not flicker.
  ASSERT_EQ(::kill(mpv.pid(), SIGSTOP), 0);
  const auto t0 = Clock::now();
  bool resumed = false;
  int gaps = 0;
  while (Clock::now() - t0 < std::chrono::seconds(4)) {
    if (!resumed && Clock::now() - t0 >= std::chrono::seconds(1)) {
      ASSERT_EQ(::kill(mpv.pid(), SIGCONT), 0);
      resumed = true;
    }
    if (sourceCount() != 1 || field("title").empty()) ++gaps;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_EQ(gaps, 0) << health();
  EXPECT_EQ(events.text().find(R"("active":false)"), std::string::npos) << events.text();
  EXPECT_EQ(field("status"), "playing");
}

}  // namespace
}  // namespace tunelight
