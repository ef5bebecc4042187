// The real agent against a scripted MPRIS player served by the test itself on a private bus:
// value types and names that mpv never produces.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/agent_process.h"

namespace tunelight {
namespace {

using nlohmann::json;
using test::ChildProcess;
using test::TempDir;

template <typename Pred>
bool waitFor(Pred pred, int ms = 4000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// What the fake player reports; the types are the unusual ones players do send.
struct FakeState {
  std::string identity = "YouTube Music";
  std::string title = "Трек";
  std::string artist = "Solo Artist";  // sent as a plain string, not a list
  double lengthUs = 245e6;             // sent as a double
  int32_t positionUs = -3000;          // 32-bit and negative
  std::string artUrl;
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

 private:
  void serve() {
    while (!stop_) {
      if (hung_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      int r = sd_bus_process(bus_, nullptr);
      if (r < 0) return;
      if (r == 0) sd_bus_wait(bus_, 20000);
    }
  }
  static FakePlayer& self(void* p) { return *static_cast<FakePlayer*>(p); }
  static int identity(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                      void* p, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", self(p).state_.identity.c_str());
  }
  static int status(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                    sd_bus_error*) {
    return sd_bus_message_append(reply, "s", "Playing");
  }
  static int position(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                      void* p, sd_bus_error*) {
    return sd_bus_message_append(reply, "i", self(p).state_.positionUs);
  }
  static int metadata(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                      void* p, sd_bus_error*) {
    const FakeState& s = self(p).state_;
    sd_bus_message_open_container(reply, 'a', "{sv}");
    sd_bus_message_append(reply, "{sv}", "xesam:title", "s", s.title.c_str());
    sd_bus_message_append(reply, "{sv}", "xesam:artist", "s", s.artist.c_str());
    sd_bus_message_append(reply, "{sv}", "mpris:length", "d", s.lengthUs);
    sd_bus_message_append(reply, "{sv}", "xesam:trackNumber", "i", 3);  // ignored
    if (!s.artUrl.empty())
      sd_bus_message_append(reply, "{sv}", "mpris:artUrl", "s", s.artUrl.c_str());
    return sd_bus_message_close_container(reply);
  }

  FakeState state_;
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
    ASSERT_TRUE(waitFor([&] { return test::fileExists(socket); })) << "no bus";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  void TearDown() override {
    agent.reset();
    daemon.reset();
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  void startAgent() {
    agent = test::startAgent();
    ASSERT_GT(agent->port, 0);
    http = std::make_unique<httplib::Client>("127.0.0.1", agent->port);
    http->set_read_timeout(5, 0);
  }
  json nowPlaying() {
    auto res = http->Get("/api/now-playing");
    return res && res->status == 200 ? json::parse(res->body, nullptr, false) : json();
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

  ASSERT_TRUE(waitFor([&] { return nowPlaying().value("title", "") == "Трек"; })) << nowPlaying();
  json d = nowPlaying();
  EXPECT_EQ(d["source"], "smtc:chromium.instance4242");
  EXPECT_EQ(d["kind"], "smtc-app");  // told apart from the browser by its Identity
  EXPECT_EQ(d["service"], "youtube-music");
  EXPECT_EQ(d["artist"], "Solo Artist");
  EXPECT_EQ(d["durationMs"], 245000);
  EXPECT_EQ(d["positionMs"], 0);  // negative position clamped
  EXPECT_TRUE(d["album"].is_null());
  ASSERT_TRUE(waitFor([&] { return nowPlaying()["coverUrl"].is_string(); })) << nowPlaying();
  auto cover = http->Get(nowPlaying()["coverUrl"].get<std::string>().c_str());
  ASSERT_TRUE(cover && cover->status == 200);
  EXPECT_EQ(cover->body, jpeg);
  EXPECT_EQ(cover->get_header_value("Content-Type"), "image/jpeg");
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

  ASSERT_TRUE(waitFor([&] { return sources().size() == 2; })) << sources();
  std::set<std::string> ids;
  for (auto& s : sources()) ids.insert(s.value("id", ""));
  EXPECT_EQ(ids, (std::set<std::string>{"smtc:spotify", "smtc:vlc"}));

  // A player that stops answering is dropped; the agent keeps serving and keeps the other.
  vlc.hang(true);
  EXPECT_TRUE(waitFor([&] { return sources().size() == 1; }, 6000)) << sources();
  EXPECT_EQ(sources()[0].value("id", ""), "smtc:spotify");
  EXPECT_TRUE(agent->log().find("[warning]") == std::string::npos) << agent->log();
  vlc.hang(false);
  EXPECT_TRUE(waitFor([&] { return sources().size() == 2; }, 8000)) << sources();
}

}  // namespace
}  // namespace tunelight
