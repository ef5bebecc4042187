#include "agent/sources/smtc_watcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "agent/hub.h"
#include "agent/log.h"

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
  std::string title, artist, album;
  int32_t status = kStatusPlaying;
  MediaTimeline timeline;
  std::shared_ptr<FakeThumb> thumb;
};

// The platform as the test scripts it.
struct World {
  std::vector<FakeSessionData> sessions;
  int requests = 0;
  int propertyReads = 0;
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
  std::string appId() override { return d.id; }
  AppIdentity identify() override {
    AppIdentity a;
    a.handled = d.handled;
    if (d.handled) {
      a.kind = kKindSmtcBrowser;
      a.service = kServiceOther;
      a.app = "firefox";
      a.player = "Firefox";
    }
    return a;
  }
  MediaProperties properties() override {
    ++w.propertyReads;
    return {d.title, d.artist, d.album, d.thumb};
  }
  int32_t playbackStatus() override { return d.status; }
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

class SmtcWatcherTest : public ::testing::Test {
 protected:
  SmtcWatcherTest()
      : world(std::make_shared<World>()),
        hub(50, [this] { return now; }),
        watcher(hub, std::make_unique<FakeBackend>(world), [this] { return now; }) {
    std::lock_guard<std::mutex> lock(gLogMu);
    gLog.clear();
    oldSink = setSink(captureSink);
  }
  ~SmtcWatcherTest() override { setSink(oldSink); }

  FakeSessionData& add(const std::string& id, const std::string& title, const std::string& artist) {
    FakeSessionData d;
    d.id = id;
    d.title = title;
    d.artist = artist;
    world->sessions.push_back(d);
    return world->sessions.back();
  }
  std::optional<SourceRecord> source(const std::string& key) {
    for (auto& r : hub.sources())
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
  SmtcWatcher watcher;
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

TEST_F(SmtcWatcherTest, PublishesHandledSessionsAndRemovesThemAfterMoreThan3000ms) {
  FakeSessionData& d = add("Firefox.A", "Song", "Band");
  d.timeline = {10000 * 1000, 10000 * 181000, 10000 * 31000, 0};
  add("unknown.app", "Other", "X").handled = false;
  add("quiet.app", "", "Nobody");
  cycleAt(now);

  auto r = source("smtc:Firefox.A");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind, kKindSmtcBrowser);
  EXPECT_EQ(r->app, "firefox");
  EXPECT_EQ(r->title, "Song");
  EXPECT_FALSE(r->album);  // empty album is absent
  EXPECT_EQ(r->durationMs, 180000);
  EXPECT_EQ(r->positionMs, 30000);
  EXPECT_EQ(r->positionAt, now);  // unknown update time: the cycle time
  EXPECT_EQ(hub.sources().size(), 1u);
  EXPECT_EQ(world->propertyReads, 2);  // the unhandled app is never read

  int64_t seen = now;
  world->sessions.clear();
  cycleAt(seen + 3000);
  EXPECT_TRUE(source("smtc:Firefox.A"));
  cycleAt(seen + 3001);
  EXPECT_FALSE(source("smtc:Firefox.A"));
}

TEST_F(SmtcWatcherTest, TimelineConversion) {
  SessionSnapshot s;
  // Truncation toward zero, relative to the start time.
  applyTimeline({5, 5 + 12345678, 5 + 9999, kUnixEpochTicks + 10000 * 42 + 9999}, s);
  EXPECT_EQ(s.durationMs, 1234);
  EXPECT_EQ(s.positionMs, 0);
  EXPECT_EQ(s.positionAt, 42);

  FakeSessionData& d = add("a", "T", "A");
  d.timeline = {0, 0, 10000 * 5000, kUnixEpochTicks + 10000 * (now - 100)};
  cycleAt(now);
  auto r = source("smtc:a");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->durationMs);  // end == start: no duration, no position
  EXPECT_FALSE(r->positionMs);
  EXPECT_EQ(r->positionAt, 0);

  world->sessions[0].timeline = {0, 10000 * 60000, 10000 * 5000,
                                 kUnixEpochTicks + 10000 * (now - 100)};
  cycleAt(now);
  EXPECT_EQ(source("smtc:a")->positionAt, now - 100);
  world->sessions[0].timeline.lastUpdatedTime = kUnixEpochTicks + 10000 * (now + 700);
  cycleAt(now);
  EXPECT_EQ(source("smtc:a")->positionAt, now);  // a future update time is clamped
}

TEST_F(SmtcWatcherTest, ThumbnailReadsFollowKeyFailureAndRefreshRules) {
  auto thumb = std::make_shared<FakeThumb>();
  thumb->set(std::string("\x89PNG-one", 8));
  add("p", "One", "A").thumb = thumb;
  const int64_t t0 = now;

  cycleAt(t0);
  EXPECT_EQ(thumb->opens, 1);
  auto r = source("smtc:p");
  ASSERT_FALSE(r->coverId.empty());
  EXPECT_EQ(hub.cover(r->coverId)->bytes, thumb->bytes);
  const std::string first = r->coverId;

  cycleAt(t0 + 5000);  // same key, not yet due
  EXPECT_EQ(thumb->opens, 1);
  EXPECT_EQ(source("smtc:p")->coverId, first);  // cover kept without a read
  cycleAt(t0 + 5001);
  EXPECT_EQ(thumb->opens, 2);

  // Track change: read in the same cycle; it fails, retried only more than 500 ms later.
  thumb->fail = true;
  world->sessions[0].title = "Two";
  cycleAt(t0 + 6000);
  EXPECT_EQ(thumb->opens, 3);
  EXPECT_EQ(source("smtc:p")->coverId, first);  // held for up to 2500 ms
  cycleAt(t0 + 6500);
  EXPECT_EQ(thumb->opens, 3);
  cycleAt(t0 + 6501);
  EXPECT_EQ(thumb->opens, 4);
  cycleAt(t0 + 8500);
  EXPECT_EQ(source("smtc:p")->coverId, first);
  cycleAt(t0 + 8501);
  EXPECT_EQ(source("smtc:p")->coverId, "");   // hold over, no cover
  EXPECT_EQ(source("smtc:p")->title, "Two");  // the session is still published

  thumb->fail = false;
  thumb->set(std::string("\xFF\xD8jpeg-two", 10), "application/octet-stream");
  cycleAt(t0 + 9100);
  r = source("smtc:p");
  ASSERT_FALSE(r->coverId.empty());
  EXPECT_EQ(hub.cover(r->coverId)->contentType, "image/jpeg");  // sniffed
}

TEST_F(SmtcWatcherTest, ThumbnailSizeLimits) {
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

TEST_F(SmtcWatcherTest, FailedCyclesWarnThreeTimesPerRunAndRecover) {
  add("a", "T", "A");
  cycleAt(now);
  ASSERT_TRUE(source("smtc:a"));
  EXPECT_EQ(world->requests, 1);

  world->failList = true;
  world->sessions[0].title = "Changed";
  for (int i = 0; i < 4; ++i) cycleAt(now + 100 * i);
  EXPECT_EQ(source("smtc:a")->title, "T");  // failed cycles publish nothing, remove nothing
  EXPECT_EQ(world->requests, 4);            // the manager is dropped after every failure
  std::vector<std::string> expect = {
      "info: SMTC: session manager ready", "warning: SMTC: Unspecified error - retrying",
      "info: SMTC: session manager ready", "warning: SMTC: Unspecified error - retrying",
      "info: SMTC: session manager ready", "warning: SMTC: Unspecified error - retrying",
      "info: SMTC: session manager ready",
  };
  EXPECT_EQ(logLines(), expect);

  world->failList = false;
  cycleAt(now + 500);
  EXPECT_EQ(source("smtc:a")->title, "Changed");
  world->throwStd = true;  // a success reset the count: warnings again
  cycleAt(now + 600);
  EXPECT_EQ(logLines().back(), "warning: SMTC: bad things");

  world->throwStd = false;
  world->failRequest = true;
  for (int i = 0; i < 3; ++i) cycleAt(now + 700);
  // The run began with the failure above: two more warnings, the fourth failure is silent.
  EXPECT_EQ(logLines().size(), expect.size() + 4);
  EXPECT_EQ(logLines().back(), "warning: SMTC: Class not registered - retrying");

  world->failRequest = false;
  world->fault = 0xC0000005;
  cycleAt(now + 800);
  EXPECT_EQ(logLines().back(), "error: SMTC: crash 0xC0000005 caught, restarting session manager");
  world->fault = 0;
  int before = world->requests;
  cycleAt(now + 900);
  EXPECT_EQ(world->requests, before + 1);  // manager re-obtained after the fault
}

TEST_F(SmtcWatcherTest, TwoSessionsWithOneIdAreOneSource) {
  auto thumb = std::make_shared<FakeThumb>();
  thumb->set("PNGDATA1");
  add("tabs", "First", "A").thumb = thumb;
  add("tabs", "Second", "B").thumb = thumb;
  cycleAt(now);
  ASSERT_EQ(hub.sources().size(), 1u);
  EXPECT_EQ(source("smtc:tabs")->title, "Second");
  // One shared thumbnail state: each differing key forces a read.
  EXPECT_EQ(thumb->opens, 2);
  cycleAt(now + 100);
  EXPECT_EQ(thumb->opens, 4);
}

TEST_F(SmtcWatcherTest, ThreadRemovesSourcesOnStopAndWakesEarlyOnSignal) {
  add("a", "T", "A");
  watcher.start();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (world->cycles < 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GE(world->cycles, 1);
  int base = world->cycles;
  auto t0 = std::chrono::steady_clock::now();
  world->wakeups = 3;
  deadline = t0 + std::chrono::seconds(3);
  while (world->cycles - base < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  auto elapsed = std::chrono::steady_clock::now() - t0;
  // Three signals run three early cycles (polling alone needs a second or more), but never
  // closer than 50 ms apart.
  EXPECT_LT(elapsed, std::chrono::milliseconds(900));
  EXPECT_GE(elapsed, std::chrono::milliseconds(100));
  EXPECT_TRUE(source("smtc:a"));
  watcher.stop();
  EXPECT_TRUE(hub.sources().empty());
}

}  // namespace
}  // namespace tunelight
