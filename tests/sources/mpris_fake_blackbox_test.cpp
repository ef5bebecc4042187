// The real agent against a scripted MPRIS player served by the test itself on a private bus:
// value types and names that mpv never produces.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "tests/sources/mpris_blackbox_support.h"
#include "tests/support/agent_process.h"

namespace tunelight {
namespace {

using nlohmann::json;
using test::ChildProcess;
using test::EventStream;
using test::TempDir;
using test::waitUntil;

// What the fake player reports; the types are the unusual ones players do send.
struct FakeState {
  std::string identity = "YouTube Music";
  std::string status = "Playing";
  std::string title = "Трек";
  std::string artist = "Solo Artist";  // sent as a plain string, not a list
  double lengthUs = 245e6;             // sent as a double
  int32_t positionUs = -3000;          // 32-bit and negative
  std::string artUrl;
  bool canControl = true;
  bool canGoNext = true;
};

// An MPRIS player on its own connection, owning every name in names, served by a thread.
class FakePlayer {
 public:
  FakePlayer(FakeState state, std::vector<std::string> names) : state_(std::move(state)) {
    if (sd_bus_open_user(&bus_) < 0) return;
    static const sd_bus_vtable kRoot[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Identity", "s", &FakePlayer::identity, 0, 0),
        SD_BUS_VTABLE_END,
    };
    static const sd_bus_vtable kPlayer[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("PlaybackStatus", "s", &FakePlayer::status, 0, 0),
        SD_BUS_PROPERTY("Metadata", "a{sv}", &FakePlayer::metadata, 0, 0),
        SD_BUS_PROPERTY("Position", "i", &FakePlayer::position, 0, 0),
        SD_BUS_PROPERTY("CanControl", "b", &FakePlayer::canControl, 0, 0),
        SD_BUS_PROPERTY("CanPlay", "b", &FakePlayer::canControl, 0, 0),
        SD_BUS_PROPERTY("CanPause", "b", &FakePlayer::canControl, 0, 0),
        SD_BUS_PROPERTY("CanGoNext", "b", &FakePlayer::canGoNext, 0, 0),
        SD_BUS_METHOD("Pause", "", "", &FakePlayer::action, 0),
        SD_BUS_METHOD("Next", "", "", &FakePlayer::action, 0),
        SD_BUS_VTABLE_END,
    };
    sd_bus_add_object_vtable(bus_, nullptr, "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2",
                             kRoot, this);
    sd_bus_add_object_vtable(bus_, nullptr, "/org/mpris/MediaPlayer2",
                             "org.mpris.MediaPlayer2.Player", kPlayer, this);
    for (const std::string& n : names) ok_ = sd_bus_request_name(bus_, n.c_str(), 0) >= 0 && ok_;
    thread_ = std::thread([this] { serve(); });
  }
  ~FakePlayer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (bus_) sd_bus_flush_close_unref(bus_);
  }
  bool ok() const { return bus_ && ok_; }
  // A hung player: requests stay unanswered.
  void hang(bool h) { hung_ = h; }
  // New state, announced with a PropertiesChanged signal.
  void set(FakeState state) {
    std::lock_guard<std::mutex> lock(mu_);
    state_ = std::move(state);
    announce_ = true;
  }
  // Moves Position by us and announces it with a Seeked signal, as a player does on a seek.
  void seek(int32_t us) { seekUs_ = us; }
  // Every answer takes this long.
  void slow(int ms) { delayMs_ = ms; }
  // Called on the player's thread whenever a poll of the agent arrives.
  void onRead(std::function<void()> f) {
    std::lock_guard<std::mutex> lock(mu_);
    onRead_ = std::move(f);
  }
  // Property reads of the player interface so far: one per poll of the agent.
  int reads() const { return reads_; }
  // The player methods called so far, in order.
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  void serve() {
    while (!stop_) {
      if (hung_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (announce_.exchange(false))
        sd_bus_emit_signal(bus_, "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties",
                           "PropertiesChanged", "sa{sv}as", "org.mpris.MediaPlayer2.Player", 0, 0);
      if (int32_t us = seekUs_.exchange(0)) {
        int64_t at;
        {
          std::lock_guard<std::mutex> lock(mu_);
          at = state_.positionUs += us;
        }
        sd_bus_emit_signal(bus_, "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player",
                           "Seeked", "x", at);
      }
      int r = sd_bus_process(bus_, nullptr);
      if (r < 0) return;
      if (r == 0) sd_bus_wait(bus_, 20000);
    }
  }
  static FakePlayer& self(void* p) { return *static_cast<FakePlayer*>(p); }
  static FakeState state(void* p) {
    std::lock_guard<std::mutex> lock(self(p).mu_);
    return self(p).state_;
  }
  static int identity(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                      void* p, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", state(p).identity.c_str());
  }
  static int status(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* p,
                    sd_bus_error*) {
    ++self(p).reads_;
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(self(p).mu_);
      hook = self(p).onRead_;
    }
    if (hook) hook();
    std::this_thread::sleep_for(std::chrono::milliseconds(self(p).delayMs_));
    return sd_bus_message_append(reply, "s", state(p).status.c_str());
  }
  static int position(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                      void* p, sd_bus_error*) {
    return sd_bus_message_append(reply, "i", state(p).positionUs);
  }
  static int canControl(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                        void* p, sd_bus_error*) {
    return sd_bus_message_append(reply, "b", state(p).canControl);
  }
  static int canGoNext(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                       void* p, sd_bus_error*) {
    return sd_bus_message_append(reply, "b", state(p).canGoNext);
  }
  static int action(sd_bus_message* m, void* p, sd_bus_error*) {
    {
      std::lock_guard<std::mutex> lock(self(p).mu_);
      self(p).calls_.push_back(sd_bus_message_get_member(m));
    }
    return sd_bus_reply_method_return(m, "");
  }
  static int metadata(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                      void* p, sd_bus_error*) {
    const FakeState s = state(p);
    sd_bus_message_open_container(reply, 'a', "{sv}");
    sd_bus_message_append(reply, "{sv}", "xesam:title", "s", s.title.c_str());
    sd_bus_message_append(reply, "{sv}", "xesam:artist", "s", s.artist.c_str());
    sd_bus_message_append(reply, "{sv}", "mpris:length", "d", s.lengthUs);
    sd_bus_message_append(reply, "{sv}", "xesam:trackNumber", "i", 3);  // ignored
    if (!s.artUrl.empty())
      sd_bus_message_append(reply, "{sv}", "mpris:artUrl", "s", s.artUrl.c_str());
    return sd_bus_message_close_container(reply);
  }

  std::mutex mu_;
  FakeState state_;                 // guarded by mu_
  std::function<void()> onRead_;    // guarded by mu_
  std::vector<std::string> calls_;  // guarded by mu_
  std::atomic<int> reads_{0};
  std::atomic<int> delayMs_{0};
  std::atomic<bool> announce_{false};
  std::atomic<int32_t> seekUs_{0};
  sd_bus* bus_ = nullptr;
  bool ok_ = true;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hung_{false};
  std::thread thread_;
};

class MprisFakeBlackbox : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string socket = dir.file("bus");
    const std::string address = "unix:path=" + socket;
    daemon = std::make_unique<ChildProcess>(
        "/usr/bin/dbus-daemon",
        std::vector<std::string>{"--session", "--nofork", "--nopidfile", "--address=" + address});
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    // Its socket file appears before the daemon takes connections: wait for a real one.
    ASSERT_TRUE(waitUntil(
        [] {
          sd_bus* bus = nullptr;
          if (sd_bus_open_user(&bus) < 0) return false;
          sd_bus_flush_close_unref(bus);
          return true;
        },
        4000, 20))
        << "no bus";
  }
  void TearDown() override {
    ::unsetenv("TUNELIGHT_AGENT_RUNNER");
    agent.reset();
    daemon.reset();
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  void startAgent(const std::vector<std::string>& args = {}) {
    agent = test::startAgent(args);
    ASSERT_GT(agent->port, 0);
    http = std::make_unique<httplib::Client>("127.0.0.1", agent->port);
    http->set_read_timeout(5, 0);
  }
  json nowPlaying() {
    auto res = http->Get("/api/now-playing");
    return res && res->status == 200 ? json::parse(res->body, nullptr, false) : json();
  }
  // A Spotify player with the texts of st, and the agent once it shows the player.
  std::unique_ptr<FakePlayer> showSpotify(FakeState st) {
    st.identity = "Spotify";
    auto player = std::make_unique<FakePlayer>(
        st, std::vector<std::string>{"org.mpris.MediaPlayer2.spotify"});
    EXPECT_TRUE(player->ok());
    startAgent();
    EXPECT_TRUE(waitUntil([&] { return nowPlaying().value("title", "") == st.title; }, 4000, 20))
        << agent->log();
    return player;
  }
  std::string coverUrl() {
    json d = nowPlaying();
    return d.is_object() && d["coverUrl"].is_string() ? d["coverUrl"].get<std::string>() : "";
  }
  void writeFile(const std::string& name, const std::string& bytes) {
    std::ofstream(dir.file(name), std::ios::binary) << bytes;
  }
  json sources() {
    auto res = http->Get("/api/health");
    json h = res && res->status == 200 ? json::parse(res->body, nullptr, false) : json();
    return h.is_object() ? h["sources"] : json();
  }

  TempDir dir;
  std::unique_ptr<ChildProcess> daemon;
  std::unique_ptr<test::RunningAgent> agent;
  std::unique_ptr<httplib::Client> http;
};

TEST_F(MprisFakeBlackbox, ElectronAppUnusualTypesAndEncodedCoverPath) {
  // A cover in a directory whose name needs percent-encoding in a URL.
  const std::string coverDir = dir.file("my covers");
  ::mkdir(coverDir.c_str(), 0755);
  const std::string jpeg = std::string("\xFF\xD8\xFF\xE0", 4) + std::string(300, 'j');
  {
    FILE* f = std::fopen((coverDir + "/art.jpg").c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(jpeg.data(), 1, jpeg.size(), f);
    std::fclose(f);
  }
  FakeState st;
  st.artUrl = "file://" + dir.path() + "/my%20covers/art.jpg";
  FakePlayer player(st, {"org.mpris.MediaPlayer2.chromium.instance4242"});
  ASSERT_TRUE(player.ok());
  startAgent();

  ASSERT_TRUE(waitUntil([&] { return nowPlaying().value("title", "") == "Трек"; }, 4000, 20))
      << nowPlaying();
  json d = nowPlaying();
  EXPECT_EQ(d["source"], "smtc:chromium.instance4242");
  EXPECT_EQ(d["kind"], "smtc-app");  // told apart from the browser by its Identity
  EXPECT_EQ(d["service"], "youtube-music");
  EXPECT_EQ(d["artist"], "Solo Artist");
  EXPECT_EQ(d["durationMs"], 245000);
  EXPECT_EQ(d["positionMs"], 0);  // negative position clamped
  EXPECT_TRUE(d["album"].is_null());
  ASSERT_TRUE(waitUntil([&] { return nowPlaying()["coverUrl"].is_string(); }, 4000, 20))
      << nowPlaying();
  auto cover = http->Get(nowPlaying()["coverUrl"].get<std::string>().c_str());
  ASSERT_TRUE(cover && cover->status == 200);
  EXPECT_EQ(cover->body, jpeg);
  EXPECT_EQ(cover->get_header_value("Content-Type"), "image/jpeg");

  // What a user attaches to a report: one pass over the sessions, as JSON on standard output.
  ChildProcess diagnose(test::agentPath(), {"--diagnose", "--port-file", dir.file("port")},
                        dir.file("diagnose.json"));
  ASSERT_EQ(diagnose.waitExit(10000), std::optional<int>(0));
  EXPECT_FALSE(test::fileExists(dir.file("port")));  // no server
  json report = json::parse(test::readFile(dir.file("diagnose.json")), nullptr, false);
  ASSERT_TRUE(report.is_object()) << test::readFile(dir.file("diagnose.json"));
  EXPECT_EQ(report["platform"], "linux");
  ASSERT_EQ(report["sessions"].size(), 1u) << report.dump(2);
  json s = report["sessions"][0];
  EXPECT_EQ(s["appId"], "chromium.instance4242");
  EXPECT_EQ(s["key"], "smtc:chromium.instance4242");
  EXPECT_EQ(s["player"], "YouTube Music");
  EXPECT_EQ(s["status"], "playing");
  EXPECT_EQ(s["title"], "Трек");
  EXPECT_EQ(s["timeline"]["endMs"], 245000);
  EXPECT_EQ(s["thumbnail"]["bytes"], jpeg.size());
  EXPECT_EQ(s["thumbnail"]["contentType"], "image/jpeg");
  for (const char* call : {"appId", "properties", "status", "timeline", "thumbnail"})
    EXPECT_TRUE(s["ms"][call].is_number()) << call;
}

TEST_F(MprisFakeBlackbox, OnePlayerUnderTwoNamesIsOneSessionAndAHungOneGoes) {
  FakeState st;
  st.identity = "VLC media player";
  st.title = "Twice";
  FakePlayer vlc(st, {"org.mpris.MediaPlayer2.vlc", "org.mpris.MediaPlayer2.vlc.instance777"});
  FakeState other;
  other.identity = "Spotify";
  other.title = "Other";
  FakePlayer spotify(other, {"org.mpris.MediaPlayer2.spotify"});
  ASSERT_TRUE(vlc.ok() && spotify.ok());
  startAgent();

  ASSERT_TRUE(waitUntil([&] { return sources().size() == 2; }, 4000, 20)) << sources();
  std::set<std::string> ids;
  for (auto& s : sources()) ids.insert(s.value("id", ""));
  EXPECT_EQ(ids, (std::set<std::string>{"smtc:spotify", "smtc:vlc"}));

  // A player that stops answering is dropped; the agent keeps serving and keeps the other.
  vlc.hang(true);
  EXPECT_TRUE(waitUntil([&] { return sources().size() == 1; }, 6000, 20)) << sources();
  EXPECT_EQ(sources()[0].value("id", ""), "smtc:spotify");
  EXPECT_TRUE(agent->log().find("[warning]") == std::string::npos) << agent->log();
  vlc.hang(false);
  EXPECT_TRUE(waitUntil([&] { return sources().size() == 2; }, 8000, 20)) << sources();
}

TEST_F(MprisFakeBlackbox, SlowPlayerStaysAndDelaysNobody) {
  FakeState st;
  st.identity = "Rhythmbox";
  st.title = "B0";
  FakePlayer quick(st, {"org.mpris.MediaPlayer2.rhythmbox"});
  // The quick player changes just as a poll reaches the slow one, which answers beyond the
  // agent's reply window every time.
  std::mutex mu;
  int changes = 0;  // guarded by mu, as are the two below
  bool armed = false;
  std::chrono::steady_clock::time_point changedAt;
  FakeState slowState;
  slowState.identity = "Spotify";
  slowState.title = "Slow";
  FakePlayer slow(slowState, {"org.mpris.MediaPlayer2.spotify"});
  slow.onRead([&] {
    std::lock_guard<std::mutex> lock(mu);
    if (!armed) return;
    armed = false;
    st.title = "B" + std::to_string(++changes);
    quick.set(st);
    changedAt = std::chrono::steady_clock::now();
  });
  slow.slow(400);
  ASSERT_TRUE(slow.ok() && quick.ok());
  startAgent();
  auto titleOf = [&](const std::string& id) {
    for (auto& s : sources())
      if (s.value("id", "") == id) return s.value("title", "");
    return std::string();
  };
  ASSERT_TRUE(waitUntil([&] { return titleOf("smtc:spotify") == "Slow"; }, 4000, 20)) << sources();

  for (int i = 1; i <= 3; ++i) {
    {
      std::lock_guard<std::mutex> lock(mu);
      armed = true;
    }
    const std::string title = "B" + std::to_string(i);
    ASSERT_TRUE(waitUntil([&] { return titleOf("smtc:rhythmbox") == title; }, 4000, 20))
        << sources();
    const auto seenAt = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mu);
    // A cycle that waited for the slow player would show it only after its 300 ms window.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(seenAt - changedAt).count(),
              200)
        << title;
    EXPECT_EQ(titleOf("smtc:spotify"), "Slow");  // its late answers keep it up
  }
}

TEST_F(MprisFakeBlackbox, SignalsOfOtherClientsNeitherWakeNorChangeAnything) {
  FakeState st;
  st.status = "Paused";
  st.title = "Quiet";
  auto player = showSpotify(st);
  ASSERT_FALSE(HasFailure());
  EventStream events(agent->port);
  ASSERT_TRUE(waitUntil([&] { return events.count() == 1; }, 4000, 20)) << events.text();

  // 40 signals from another client on the players' object path, then as long without any.
  int before = player->reads();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 40; ++i) {
    ChildProcess send("/usr/bin/dbus-send",
                      {"--session", "--type=signal", "/org/mpris/MediaPlayer2",
                       "org.freedesktop.DBus.Properties.PropertiesChanged",
                       "string:org.mpris.MediaPlayer2.Player"});
    ASSERT_EQ(send.waitExit(5000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  const auto noisyTime = std::chrono::steady_clock::now() - t0;
  const int noisy = player->reads() - before;
  before = player->reads();
  std::this_thread::sleep_for(noisyTime);
  const int quiet = player->reads() - before;

  EXPECT_LE(quiet, 1);  // a paused player is not polled: it signals its changes
  EXPECT_LE(noisy, quiet + 1);
  EXPECT_EQ(events.count(), 1) << events.text();  // an unchanged paused player sends nothing
}

TEST_F(MprisFakeBlackbox, ASmallSeekWhilePausedMovesThePosition) {
  FakeState st;
  st.status = "Paused";
  st.title = "Held";
  st.positionUs = 10000000;
  auto player = showSpotify(st);
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(nowPlaying().value("positionMs", -1), 10000);

  // Well within the drift a reading may show, so only the Seeked signal tells it is new.
  player->seek(300000);
  EXPECT_TRUE(waitUntil([&] { return nowPlaying().value("positionMs", -1) == 10300; }, 3000, 20))
      << nowPlaying();
}

TEST_F(MprisFakeBlackbox, FileCoversArePicturesOnlyTypedByTheirBytes) {
  writeFile("notes.txt", "not a picture\n");
  const std::string png = std::string("\x89PNG\r\n\x1A\n", 8) + std::string(200, 'p');
  const std::string gif = "GIF89a" + std::string(100, 'g');
  writeFile("picture.txt", png);
  writeFile("moving.png", gif);
  FakeState st;
  st.title = "One";
  st.artUrl = "file://" + dir.file("notes.txt");
  auto player = showSpotify(st);
  ASSERT_FALSE(HasFailure());

  // Failed reads are retried every cycle; the text is never served and reported once.
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  EXPECT_EQ(coverUrl(), "");
  const std::string rejected = "MPRIS: cover is not a picture, ignored: " + st.artUrl;
  const std::string log = agent->log();
  EXPECT_NE(log.find(rejected), std::string::npos) << log;
  EXPECT_EQ(log.find(rejected), log.rfind(rejected)) << log;

  st.title = "Two";
  st.artUrl = "file://" + dir.file("picture.txt");
  player->set(st);
  ASSERT_TRUE(waitUntil([&] { return !coverUrl().empty(); }, 4000, 20)) << nowPlaying();
  auto cover = http->Get(coverUrl().c_str());
  ASSERT_TRUE(cover && cover->status == 200);
  EXPECT_EQ(cover->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(cover->body, png);

  const std::string first = coverUrl();
  st.title = "Three";
  st.artUrl = "file://" + dir.file("moving.png");
  player->set(st);
  ASSERT_TRUE(waitUntil([&] { return !coverUrl().empty() && coverUrl() != first; }, 4000, 20));
  cover = http->Get(coverUrl().c_str());
  ASSERT_TRUE(cover && cover->status == 200);
  EXPECT_EQ(cover->get_header_value("Content-Type"), "image/gif");  // not the name's type
}

TEST_F(MprisFakeBlackbox, ShutdownDuringAStalledCoverDownloadIsQuick) {
  if (::geteuid() != 0 || !test::fileExists("/usr/bin/unshare"))
    GTEST_SKIP() << "a private /etc/hosts for the agent needs root";
  // The cover host resolves to this machine, where a listener takes the connection and never
  // answers (port 443 is free inside the test's own network namespace).
  int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(443);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(silent);
    GTEST_SKIP() << "port 443 is taken";
  }
  ASSERT_EQ(::listen(silent, 4), 0);
  writeFile("hosts", "127.0.0.1 i.scdn.co\n");
  writeFile("runner.sh",
            "#!/bin/sh\nexec /usr/bin/unshare --mount -- /bin/sh -c "
            "'mount --bind \"$0\" /etc/hosts && exec \"$@\"' " +
                dir.file("hosts") + " \"$@\"\n");
  ::chmod(dir.file("runner.sh").c_str(), 0755);
  ::setenv("TUNELIGHT_AGENT_RUNNER", dir.file("runner.sh").c_str(), 1);

  FakeState st;
  st.title = "Slow Cover";
  st.artUrl = "https://i.scdn.co/image/ab67616d0000b273";
  auto player = showSpotify(st);
  ASSERT_FALSE(HasFailure());
  pollfd pending{silent, POLLIN, 0};
  ASSERT_EQ(::poll(&pending, 1, 3000), 1) << "the download never connected";

  auto bye = http->Post("/api/shutdown", {{"X-Tunelight-Token", agent->token}}, "", "text/plain");
  ASSERT_TRUE(bye && bye->status == 200);
  // Within the plugin's 2 s grace, with room to spare; a download waited for would not be.
  EXPECT_EQ(agent->process->waitExit(1500), 0);
  ::close(silent);
}

// Actions follow what the player says it takes, and what it does not take is never sent.
TEST_F(MprisFakeBlackbox, ActionsFollowTheCanPropertiesAndNothingElseIsSent) {
  FakeState st;
  st.canGoNext = false;
  auto player = showSpotify(st);
  auto control = [&](const char* action) {
    return http->Post("/api/control", {{"X-Tunelight-Token", agent->token}},
                      std::string("{\"action\":\"") + action + "\"}", "application/json");
  };
  const json without = json::parse(R"(["playPause","play","pause"])");
  ASSERT_TRUE(waitUntil([&] { return nowPlaying()["controls"] == without; }, 4000, 20))
      << nowPlaying();
  auto next = control("next");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->status, 422) << next->body;
  auto pause = control("pause");
  ASSERT_TRUE(pause);
  EXPECT_EQ(pause->status, 200) << pause->body;
  EXPECT_EQ(pause->body, R"({"ok":true,"source":"smtc:spotify"})");
  EXPECT_EQ(player->calls(), std::vector<std::string>{"Pause"});

  // The player changes its mind and says so.
  st.canGoNext = true;
  player->set(st);
  const json with = json::parse(R"(["playPause","play","pause","next"])");
  ASSERT_TRUE(waitUntil([&] { return nowPlaying()["controls"] == with; }, 4000, 20))
      << nowPlaying();
  EXPECT_EQ(control("next")->status, 200);
  EXPECT_EQ(player->calls(), (std::vector<std::string>{"Pause", "Next"}));
  st.canControl = false;
  player->set(st);
  ASSERT_TRUE(waitUntil([&] { return nowPlaying()["controls"] == json::array(); }, 4000, 20))
      << nowPlaying();
}

}  // namespace
}  // namespace tunelight
