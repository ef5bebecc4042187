// The watcher's waiting, its thumbnail memory and a platform that loses every session at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "agent/hub.h"
#include "agent/sources/session_watcher.h"
#include "tests/support/wait.h"

namespace tunelight {
namespace {

struct Thumb : MediaThumbnail {
  std::atomic<int> opens{0};
  std::atomic<bool> onItsWay{false};  // a cover still downloading
  struct Stream : MediaThumbnailStream {
    uint64_t size() override { return 4; }
    std::string contentType() override { return "image/png"; }
    std::string read(uint32_t) override { return "\x89PNG"; }
  };
  std::unique_ptr<MediaThumbnailStream> open() override {
    ++opens;
    if (onItsWay) throw MediaNotReady("cover not downloaded yet");
    return std::make_unique<Stream>();
  }
};

struct Platform {
  bool listed = true;  // the one session "p" is listed
  bool lost = false;   // the platform is gone: every request fails
  bool gone = true;    // ... and says that its sessions went with it
  std::shared_ptr<Thumb> thumb = std::make_shared<Thumb>();
  std::atomic<int> cycles{0};
  std::atomic<int> waits{0};
  bool reportsAll = false;      // the backend reports every change
  std::atomic<int> changes{0};  // waitForChange answers true this many times
  PlaybackStatus status = kStatusPaused;
};

struct Session : MediaSession {
  Platform& p;
  explicit Session(Platform& p) : p(p) {}
  std::string appId() override { return "p"; }
  AppIdentity identify() override {
    AppIdentity a;
    a.handled = true;
    a.player = "P";
    return a;
  }
  MediaProperties properties() override { return {"Song", "Band", "", p.thumb}; }
  PlaybackStatus playbackStatus() override { return p.status; }
  MediaTimeline timeline() override { return {}; }
};

struct Manager : MediaManager {
  Platform& p;
  explicit Manager(Platform& p) : p(p) {}
  std::vector<std::unique_ptr<MediaSession>> sessions() override {
    ++p.cycles;
    if (p.lost) throw MediaError(-107, "bus lost", p.gone);
    std::vector<std::unique_ptr<MediaSession>> out;
    if (p.listed) out.push_back(std::make_unique<Session>(p));
    return out;
  }
};

struct Backend : MediaBackend {
  std::shared_ptr<Platform> p;
  explicit Backend(std::shared_ptr<Platform> p) : p(std::move(p)) {}
  std::unique_ptr<MediaManager> requestManager() override {
    if (p->lost) throw MediaError(-2, "no bus", p->gone);
    return std::make_unique<Manager>(*p);
  }
  bool waitForChange(int32_t ms) override {
    ++p->waits;
    if (p->changes > 0) {
      --p->changes;
      return true;
    }
    return MediaBackend::waitForChange(ms);  // the plain sleep
  }
  bool reportsEveryChange() override { return p->reportsAll; }
};

class SessionWatcherWait : public ::testing::Test {
 protected:
  SessionWatcherWait()
      : p(std::make_shared<Platform>()),
        hub(50, [this] { return now.load(); }),
        watcher(hub, makeBackend(), [this] { return now.load(); }) {}
  std::unique_ptr<Backend> makeBackend() {
    auto b = std::make_unique<Backend>(p);
    backend = b.get();
    return b;
  }
  bool published() { return !hub.health().sources.empty(); }
  void cycleAt(int64_t t) {
    now = t;
    watcher.runCycle();
  }

  std::atomic<int64_t> now{1'700'000'000'000};
  std::shared_ptr<Platform> p;
  Backend* backend = nullptr;  // owned by the watcher
  Hub hub;
  SessionWatcher watcher;
};

TEST_F(SessionWatcherWait, IdleThreadWaitsOncePerPeriodAndStopEndsTheWait) {
  p->thumb.reset();  // a thumbnail read wakes the thread early
  watcher.start();
  const auto t0 = std::chrono::steady_clock::now();
  test::waitUntil([&] { return p->cycles >= 3; }, 5000, 5);
  ASSERT_GE(p->cycles, 3);
  EXPECT_LE(p->waits, p->cycles + 1);  // not a series of short sleeps
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));

  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // well inside a wait
  const auto s0 = std::chrono::steady_clock::now();
  watcher.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - s0, std::chrono::milliseconds(300));
  EXPECT_FALSE(published());
}

TEST_F(SessionWatcherWait, APausedSessionOfASignallingPlatformIsNotPolled) {
  p->thumb.reset();
  p->reportsAll = true;
  watcher.start();
  const auto t0 = std::chrono::steady_clock::now();
  while (p->cycles < 1 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(published());
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(p->cycles, 1);  // no cycle without a change
  EXPECT_EQ(p->waits, 1);

  // A change after a long quiet time: the sessions were there all along, so one missing from
  // this listing still goes only by the removal rule.
  now += 60000;
  p->listed = false;
  p->changes = 1;
  backend->wake();  // ends the plain sleep, which then asks again
  while (p->cycles < 2 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(p->cycles, 2);
  EXPECT_TRUE(published());

  // Unseen now: cycles run on time again until the removal rule has removed it.
  now += 3001;
  while (published() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(published());
  watcher.stop();
}

TEST_F(SessionWatcherWait, ACoverOnItsWayIsReadWhenItArrivesNotOnASchedule) {
  p->thumb->onItsWay = true;
  p->reportsAll = true;
  watcher.start();
  ASSERT_TRUE(test::waitUntil([&] { return p->thumb->opens >= 1 && published(); }, 5000, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(p->thumb->opens, 1);  // no retries while it downloads: a paused player stays quiet
  EXPECT_LE(p->cycles, 2);        // the first, and the one that took the read's answer

  p->thumb->onItsWay = false;
  now += 2000;     // the download took a while
  p->changes = 1;  // the backend reports the landed cover as a change
  backend->wake();
  EXPECT_TRUE(test::waitUntil(
      [&] { return !hub.health().sources.empty() && !hub.health().sources[0].coverId.empty(); },
      3000, 5));
  EXPECT_EQ(p->thumb->opens, 2);
  watcher.stop();
}

TEST_F(SessionWatcherWait, ThumbnailStateGoesWithItsSession) {
  const int64_t t0 = now;
  cycleAt(t0);
  EXPECT_EQ(p->thumb->opens, 1);
  p->listed = false;
  cycleAt(t0 + 3001);
  ASSERT_FALSE(published());
  // Back with the same texts: nothing of the old session is remembered, so it is read at once
  // (a kept state would wait for its 5 s refresh).
  p->listed = true;
  cycleAt(t0 + 3500);
  EXPECT_EQ(p->thumb->opens, 2);
  EXPECT_TRUE(published());
}

TEST_F(SessionWatcherWait, LostSessionsGoByTheRemovalRuleOtherFailuresKeepThem) {
  const int64_t t0 = now;
  cycleAt(t0);
  ASSERT_TRUE(published());
  p->lost = true;
  p->gone = false;  // an ordinary failure: the last record stays
  cycleAt(t0 + 3001);
  cycleAt(t0 + 9000);
  EXPECT_TRUE(published());

  p->gone = true;
  cycleAt(t0 + 10000);        // the retry after the pause that followed the failure at 9000
  EXPECT_FALSE(published());  // unseen for more than 3000 ms

  p->lost = false;  // the platform is back
  cycleAt(t0 + 12000);
  EXPECT_TRUE(published());
  p->lost = true;
  cycleAt(t0 + 14000);
  EXPECT_TRUE(published());
  cycleAt(t0 + 14500);
  EXPECT_TRUE(published());
  cycleAt(t0 + 15001);  // pausing before the next try; the removal rule still applies
  EXPECT_FALSE(published());
}

}  // namespace
}  // namespace tunelight
