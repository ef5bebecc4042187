#include "agent/sources/session_watcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "agent/hub.h"
#include "agent/log.h"
#include "agent/sources/winrt_time.h"
#include "tests/support/wait.h"

namespace tunelight {
namespace {

// Log lines captured from the process-wide sink.
std::mutex gLogMu;
std::vector<std::string> gLog;
void captureSink(int32_t level, const std::string& m) {
  std::lock_guard<std::mutex> lock(gLogMu);
  gLog.push_back(std::string(logLevelName(level)) + ": " + m);
}

struct FakeThumb : MediaThumbnail {
  uint64_t size = 0;
  std::string type;
  std::string bytes;
  bool fail = false;
  int opens = 0;
  int reads = 0;

  struct Stream : MediaThumbnailStream {
    FakeThumb& t;
    explicit Stream(FakeThumb& t) : t(t) {}
    uint64_t size() override { return t.size; }
    std::string contentType() override { return t.type; }
    std::string read(uint32_t count) override {
      ++t.reads;
      return t.bytes.substr(0, count);
    }
  };
  std::unique_ptr<MediaThumbnailStream> open() override {
    ++opens;
    if (fail) throw MediaError(5, "thumbnail gone");
    return std::make_unique<Stream>(*this);
  }
  void set(const std::string& b, const std::string& contentType = "image/png") {
    bytes = b;
    size = b.size();
    type = contentType;
  }
};

struct FakeSessionData {
  std::string id;
  bool handled = true;
  bool fail = false;  // its reads fail
  bool gone = false;  // closed after being listed: even its id cannot be read
  std::string title, artist, album;
  PlaybackStatus status = kStatusPlaying;
  MediaTimeline timeline;
  std::shared_ptr<FakeThumb> thumb;
};

// The platform as the test scripts it.
struct World {
  std::vector<FakeSessionData> sessions;
  int requests = 0;
  int propertyReads = 0;
  std::map<std::string, int> begins;  // properties reads begun, per id
  std::set<std::string> hung;         // ids whose properties reads never finish
  int hungWaits = 0;                  // waits for a hung read with time left to wait
  bool failRequest = false;
  bool failList = false;
  bool throwStd = false;
  uint32_t fault = 0;
  std::atomic<int> cycles{0};
  std::atomic<int> wakeups{0};  // waitForChange answers true this many times
};

struct FakeSession : MediaSession {
  World& w;
  FakeSessionData d;
  FakeSession(World& w, FakeSessionData d) : w(w), d(std::move(d)) {}
  std::string appId() override {
    if (d.gone)
      throw MediaError(0x80010108, "The object invoked has disconnected from its clients.");
    return d.id;
  }
  AppIdentity identify() override {
    AppIdentity a;
    a.handled = d.handled;
    if (d.handled) {
      a.kind = kKindMediaBrowser;
      a.service = kServiceOther;
      a.app = "firefox";
      a.player = "Firefox";
    }
    return a;
  }
  MediaProperties properties() override {
    ++w.propertyReads;
    if (d.fail) throw MediaError(0x800706BA, "The RPC server is unavailable.");
    return {d.title, d.artist, d.album, d.thumb};
  }
  void beginProperties() override { ++w.begins[d.id]; }
  std::optional<MediaProperties> tryProperties(
      std::chrono::steady_clock::time_point deadline) override {
    if (!w.hung.count(d.id)) return properties();
    if (deadline > std::chrono::steady_clock::now()) ++w.hungWaits;
    return std::nullopt;
  }
  PlaybackStatus playbackStatus() override { return d.status; }
  MediaTimeline timeline() override { return d.timeline; }
};

struct FakeManager : MediaManager {
  World& w;
  explicit FakeManager(World& w) : w(w) {}
  std::vector<std::unique_ptr<MediaSession>> sessions() override {
    ++w.cycles;
    if (w.fault) throw MediaFault(w.fault);  // as a backend's guarded call raises it
    if (w.failList) throw MediaError(0x80004005, "Unspecified error");
    if (w.throwStd) throw std::runtime_error("bad things");
    std::vector<std::unique_ptr<MediaSession>> out;
    for (auto& d : w.sessions) out.push_back(std::make_unique<FakeSession>(w, d));
    return out;
  }
};

struct FakeBackend : MediaBackend {
  std::shared_ptr<World> w;
  explicit FakeBackend(std::shared_ptr<World> w) : w(std::move(w)) {}
  std::unique_ptr<MediaManager> requestManager() override {
    ++w->requests;
    if (w->failRequest) throw MediaError(0x80040154, "Class not registered");
    return std::make_unique<FakeManager>(*w);
  }
  bool waitForChange(int32_t ms) override {
    if (w->wakeups > 0) {
      --w->wakeups;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return false;
  }
};

class SessionWatcherTest : public ::testing::Test {
 protected:
  SessionWatcherTest()
      : world(std::make_shared<World>()),
        hub(50, [this] { return now; }),
        watcher(hub, std::make_unique<FakeBackend>(world), [this] { return now; }) {
    std::lock_guard<std::mutex> lock(gLogMu);
    gLog.clear();
    oldSink = setSink(captureSink);
  }
  ~SessionWatcherTest() override { setSink(oldSink); }

  FakeSessionData& add(const std::string& id, const std::string& title, const std::string& artist) {
    FakeSessionData d;
    d.id = id;
    d.title = title;
    d.artist = artist;
    world->sessions.push_back(d);
    return world->sessions.back();
  }
  std::optional<SourceRecord> source(const std::string& key) {
    for (auto& r : hub.health().sources)
      if (r.sourceKey == key) return r;
    return std::nullopt;
  }
  void cycleAt(int64_t t) {
    now = t;
    watcher.runCycle();
  }
  std::vector<std::string> logLines() {
    std::lock_guard<std::mutex> lock(gLogMu);
    return gLog;
  }

  int64_t now = 1'700'000'000'000;
  std::shared_ptr<World> world;
  Hub hub;
  SessionWatcher watcher;
  LogSink oldSink = nullptr;
};

TEST(SniffImageType, MagicBytesAndFallback) {
  EXPECT_EQ(sniffImageType(std::string("\x89PNG", 4)), "image/png");
  EXPECT_EQ(sniffImageType(std::string("\xFF\xD8\xFF", 3)), "image/jpeg");
  EXPECT_EQ(sniffImageType(std::string("\xFF\xD8", 2)), "image/png");  // too short for jpeg
  EXPECT_EQ(sniffImageType("RIFF\x10\0\0\0WEBPVP8 "), "image/png");    // 12 bytes: too short
  EXPECT_EQ(sniffImageType(std::string("RIFF\x10\0\0\0WEBPVP8 X", 13)), "image/webp");
  EXPECT_EQ(sniffImageType("GIF89a"), "image/png");
}

TEST_F(SessionWatcherTest, PublishesHandledSessionsAndRemovesThemAfterMoreThan3000ms) {
  FakeSessionData& d = add("Firefox.A", "Song", "Band");
  d.timeline = {1000, 181000, 31000, 0};
  add("unknown.app", "Other", "X").handled = false;
  add("quiet.app", "", "Nobody");
  cycleAt(now);

  auto r = source("smtc:Firefox.A");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind, kKindMediaBrowser);
  EXPECT_EQ(r->app, "firefox");
  EXPECT_EQ(r->title, "Song");
  EXPECT_FALSE(r->album);  // empty album is absent
  EXPECT_EQ(r->durationMs, 180000);
  EXPECT_EQ(r->positionMs, 30000);
  EXPECT_EQ(r->positionAt, now);  // unknown update time: the cycle time
  EXPECT_EQ(hub.health().sources.size(), 1u);
  EXPECT_EQ(world->propertyReads, 2);  // the unhandled app is never read

  int64_t seen = now;
  world->sessions.clear();
  cycleAt(seen + 3000);
  EXPECT_TRUE(source("smtc:Firefox.A"));
  cycleAt(seen + 3001);
  EXPECT_FALSE(source("smtc:Firefox.A"));
}

TEST_F(SessionWatcherTest, TimelineConversion) {
  SessionSnapshot s;
  // Truncation toward zero, relative to the start time.
  applyTimeline(timelineFromTicks(5, 5 + 12345678, 5 + 9999, kUnixEpochTicks + 10000 * 42 + 9999),
                s);
  EXPECT_EQ(s.durationMs, 1234);
  EXPECT_EQ(s.positionMs, 0);
  EXPECT_EQ(s.positionAt, 42);

  FakeSessionData& d = add("a", "T", "A");
  d.timeline = {0, 0, 5000, now - 100};
  cycleAt(now);
  auto r = source("smtc:a");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->durationMs);  // end == start: no duration, no position
  EXPECT_FALSE(r->positionMs);
  EXPECT_EQ(r->positionAt, 0);

  world->sessions[0].timeline = {0, 60000, 5000, now - 100};
  cycleAt(now);
  EXPECT_EQ(source("smtc:a")->positionAt, now - 100);
  world->sessions[0].timeline.updatedAtMs = now + 700;
  cycleAt(now);
  EXPECT_EQ(source("smtc:a")->positionAt, now);  // a future update time is clamped
}

TEST_F(SessionWatcherTest, ThumbnailReadsFollowKeyFailureAndRefreshRules) {
  auto thumb = std::make_shared<FakeThumb>();
  thumb->set(std::string("\x89PNG-one", 8));
  add("p", "One", "A").thumb = thumb;
  const int64_t t0 = now;

  cycleAt(t0);
  EXPECT_EQ(thumb->opens, 1);
  auto r = source("smtc:p");
  ASSERT_FALSE(r->coverId.empty());
  EXPECT_EQ(hub.cover(r->coverId)->bytes, thumb->bytes);

  // The app publishes the song's artwork after its title: read again once the track settled.
  thumb->set(std::string("\x89PNG-late", 9));
  cycleAt(t0 + 999);
  EXPECT_EQ(thumb->opens, 1);
  cycleAt(t0 + 1000);
  EXPECT_EQ(thumb->opens, 2);
  r = source("smtc:p");
  EXPECT_EQ(hub.cover(r->coverId)->bytes, thumb->bytes);
  const std::string late = r->coverId;

  cycleAt(t0 + 6000);  // same key, not yet due
  EXPECT_EQ(thumb->opens, 2);
  EXPECT_EQ(source("smtc:p")->coverId, late);  // cover kept without a read
  cycleAt(t0 + 6001);
  EXPECT_EQ(thumb->opens, 3);

  // Track change: read in the same cycle; it fails, then is retried after growing pauses.
  thumb->fail = true;
  world->sessions[0].title = "Two";
  cycleAt(t0 + 7000);
  EXPECT_EQ(thumb->opens, 4);
  EXPECT_EQ(source("smtc:p")->coverId, late);  // held for up to 2500 ms
  cycleAt(t0 + 7500);
  EXPECT_EQ(thumb->opens, 4);
  cycleAt(t0 + 7501);
  EXPECT_EQ(thumb->opens, 5);
  cycleAt(t0 + 8501);
  EXPECT_EQ(thumb->opens, 5);
  cycleAt(t0 + 8502);
  EXPECT_EQ(thumb->opens, 6);
  cycleAt(t0 + 9500);
  EXPECT_EQ(source("smtc:p")->coverId, late);
  cycleAt(t0 + 9501);
  EXPECT_EQ(source("smtc:p")->coverId, "");   // hold over, no cover
  EXPECT_EQ(source("smtc:p")->title, "Two");  // the session is still published

  thumb->fail = false;
  thumb->set(std::string("\xFF\xD8jpeg-two", 10), "application/octet-stream");
  cycleAt(t0 + 10503);
  EXPECT_EQ(thumb->opens, 7);
  r = source("smtc:p");
  ASSERT_FALSE(r->coverId.empty());
  EXPECT_EQ(hub.cover(r->coverId)->contentType, "image/jpeg");  // sniffed
}

TEST_F(SessionWatcherTest, ThumbnailSizeLimits) {
  FakeThumb t;
  ThumbnailState st;
  t.set("");
  EXPECT_FALSE(readThumbnail(&t, st));
  t.bytes = "x";
  t.size = kMaxThumbnailBytes + 1;
  EXPECT_FALSE(readThumbnail(&t, st));
  EXPECT_EQ(t.reads, 0);  // refused before reading
  EXPECT_FALSE(readThumbnail(nullptr, st));

  t.set(std::string("\xFF\xD8", 2), "text/plain");
  EXPECT_TRUE(readThumbnail(&t, st));
  EXPECT_EQ(st.contentType, "image/png");
  t.set("GIF89a....", "image/gif");
  EXPECT_TRUE(readThumbnail(&t, st));
  EXPECT_EQ(st.contentType, "image/gif");
  t.set("a", "IMAGE/gif");  // the prefix test is case-sensitive
  EXPECT_TRUE(readThumbnail(&t, st));
  EXPECT_EQ(st.contentType, "image/png");
}

TEST_F(SessionWatcherTest, FailedCyclesWarnThreeTimesPerRunAndBackOff) {
  add("a", "T", "A");
  const int64_t t0 = now;
  cycleAt(t0);
  ASSERT_TRUE(source("smtc:a"));
  EXPECT_EQ(world->requests, 1);

  // Listing fails: the manager is dropped and asked for again after 0.5, 1, 2 s ...
  world->failList = true;
  world->sessions[0].title = "Changed";
  for (int64_t t : {0, 100, 499, 500, 1499, 1500, 3499, 3500}) cycleAt(t0 + t);
  EXPECT_EQ(source("smtc:a")->title, "T");  // failed cycles publish nothing, remove nothing
  EXPECT_EQ(world->requests, 4);
  std::vector<std::string> expect = {
      "info: SMTC: session manager ready", "warning: SMTC: Unspecified error - retrying",
      "info: SMTC: session manager ready", "warning: SMTC: Unspecified error - retrying",
      "info: SMTC: session manager ready", "warning: SMTC: Unspecified error - retrying",
      "info: SMTC: session manager ready", "info: SMTC: session manager ready",
  };
  world->failList = false;
  cycleAt(t0 + 7500);  // 4 s after the fourth failure
  EXPECT_EQ(world->requests, 5);
  EXPECT_EQ(source("smtc:a")->title, "Changed");
  EXPECT_EQ(logLines(), expect);

  world->throwStd = true;  // a success reset the count: warnings again
  cycleAt(t0 + 8000);
  EXPECT_EQ(logLines().back(), "warning: SMTC: bad things");
  world->throwStd = false;
  world->failRequest = true;
  for (int64_t t : {8500, 9500, 11500}) cycleAt(t0 + t);
  EXPECT_EQ(world->requests, 8);
  // The run began with the failure above: two more warnings, the fourth failure is silent.
  EXPECT_EQ(logLines().size(), expect.size() + 3);
  EXPECT_EQ(logLines().back(), "warning: SMTC: Class not registered - retrying");

  // After a processor fault in the platform's code nothing calls into it again.
  world->failRequest = false;
  world->fault = 0xC0000005;
  cycleAt(t0 + 16000);
  EXPECT_EQ(logLines().back(),
            "error: SMTC: crash 0xC0000005 caught in the media runtime, the agent must restart");
  EXPECT_TRUE(watcher.faulted());
  const int requests = world->requests;
  const int cycles = world->cycles;
  world->fault = 0;
  cycleAt(t0 + 30000);
  EXPECT_EQ(world->requests, requests);
  EXPECT_EQ(world->cycles, cycles);
}

TEST_F(SessionWatcherTest, OneBadSessionCostsOnlyItself) {
  add("good", "G0", "A");
  add("bad", "B", "B");
  add("gone", "C", "C");
  add("blank", "", "");  // an app that offers no properties now
  const int64_t t0 = now;
  cycleAt(t0);
  ASSERT_TRUE(source("smtc:bad") && source("smtc:gone"));

  world->sessions[1].fail = true;
  world->sessions[2].gone = true;
  for (int i = 1; i <= 8; ++i) {
    world->sessions[0].title = "G" + std::to_string(i);
    cycleAt(t0 + 500 * i);
    EXPECT_EQ(source("smtc:good")->title, "G" + std::to_string(i));  // in the same cycle
    // Kept until the removal window is over, not left up for good.
    EXPECT_EQ(source("smtc:bad").has_value(), 500 * i <= 3000) << i;
    EXPECT_EQ(source("smtc:gone").has_value(), 500 * i <= 3000) << i;
  }
  EXPECT_EQ(world->requests, 1);  // the manager is kept
  // The failing one is read again after 0.5, 1, 2 s: at 500, 1000, 2000 and 4000.
  EXPECT_EQ(world->begins["bad"], 5);
  std::vector<std::string> bad;
  for (const std::string& line : logLines())
    if (line.rfind("warning: SMTC: session bad: ", 0) == 0) bad.push_back(line);
  EXPECT_EQ(bad, std::vector<std::string>(
                     3, "warning: SMTC: session bad: The RPC server is unavailable."));
}

TEST_F(SessionWatcherTest, HungPropertiesReadIsWaitedForOnceAndGivenUp) {
  add("a", "A0", "x");
  add("h", "H", "y");
  world->hung.insert("h");
  const int64_t t0 = now;
  for (int i = 0; i <= 10; ++i) {
    world->sessions[0].title = "A" + std::to_string(i);
    cycleAt(t0 + 500 * i);
    EXPECT_EQ(source("smtc:a")->title, "A" + std::to_string(i));
  }
  EXPECT_FALSE(source("smtc:h"));
  EXPECT_EQ(world->hungWaits, 1);  // only the cycle that began the read waited for it
  // Given up after 5 s; the next read begins after a pause and is not waited for.
  EXPECT_EQ(world->begins["h"], 1);
  cycleAt(t0 + 5500);
  EXPECT_EQ(world->begins["h"], 2);
  EXPECT_EQ(world->hungWaits, 1);
  EXPECT_EQ(logLines().back(), "warning: SMTC: session h: properties read timed out");

  world->hung.clear();  // it answers again
  cycleAt(t0 + 6000);
  EXPECT_EQ(source("smtc:h")->title, "H");
}

TEST_F(SessionWatcherTest, TwoSessionsWithOneIdAreTwoSources) {
  auto one = std::make_shared<FakeThumb>();
  one->set("PNGDATA1");
  auto two = std::make_shared<FakeThumb>();
  two->set("PNGDATA2");
  add("tabs", "First", "A").thumb = one;
  add("tabs", "Second", "B").thumb = two;
  cycleAt(now);
  ASSERT_EQ(hub.health().sources.size(), 2u);
  EXPECT_EQ(source("smtc:tabs")->title, "First");  // the first keeps the bare id
  EXPECT_EQ(source("smtc:tabs#2")->title, "Second");
  EXPECT_NE(source("smtc:tabs")->coverId, source("smtc:tabs#2")->coverId);
  cycleAt(now + 100);
  EXPECT_EQ(one->opens + two->opens, 2);  // each cached on its own: no read every cycle
}

TEST_F(SessionWatcherTest, ThreadRemovesSourcesOnStopAndWakesEarlyOnSignal) {
  add("a", "T", "A");
  watcher.start();
  test::waitUntil([&] { return world->cycles >= 1; }, 2000, 5);
  ASSERT_GE(world->cycles, 1);
  int base = world->cycles;
  auto t0 = std::chrono::steady_clock::now();
  world->wakeups = 3;
  test::waitUntil([&] { return world->cycles - base >= 3; }, 3000, 2);
  auto elapsed = std::chrono::steady_clock::now() - t0;
  // Three signals run three early cycles (polling alone needs a second or more), but never
  // closer than 50 ms apart.
  EXPECT_LT(elapsed, std::chrono::milliseconds(900));
  EXPECT_GE(elapsed, std::chrono::milliseconds(100));
  EXPECT_TRUE(source("smtc:a"));
  watcher.stop();
  EXPECT_TRUE(hub.health().sources.empty());
}

}  // namespace
}  // namespace tunelight
