#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "agent/demo_source.h"
#include "agent/hub.h"
#include "tests/agent/demo_fake_time.h"
#include "tests/support/wait.h"

namespace tunelight {
namespace {

using nlohmann::json;
using test::DemoFakeTime;
using test::waitUntil;

const char kCoverA[] =
    "<svg xmlns='http://www.w3.org/2000/svg' width='400' height='400' viewBox='0 0 400 400'>"
    "<defs><linearGradient id='g' x1='0' y1='0' x2='1' y2='1'><stop offset='0' "
    "stop-color='#d7263d'/><stop offset='1' stop-color='#3b1f2b'/></linearGradient></defs>"
    "<rect width='400' height='400' fill='url(#g)'/><text x='200' y='235' font-family='Segoe "
    "UI,Arial' font-size='120' font-weight='700' fill='rgba(255,255,255,.85)' "
    "text-anchor='middle'>A</text></svg>";

struct DemoUnderTest {
  DemoFakeTime time;
  Hub hub{50, [this] { return time.now(); }};
  DemoSource demo{hub, [this] { return time.now(); }, [this](int64_t ms) { time.sleep(ms); }};

  ~DemoUnderTest() {
    time.release();
    demo.stop();
  }
};

// What the card must show at a moment of the script (offset from the cycle's start) that began
// at cycleStart.
void expectStep(const json& d, int64_t offset, int64_t cycleStart, const std::string& idA,
                const std::string& idC) {
  SCOPED_TRACE("offset " + std::to_string(offset));
  if (offset >= 45000) {
    EXPECT_EQ(d, json::parse(R"({"active":false})"));
    return;
  }
  ASSERT_EQ(d["active"], true);
  EXPECT_EQ(d["source"], "mock:demo");
  EXPECT_EQ(d["kind"], "mock");
  EXPECT_EQ(d["app"], "demo");
  EXPECT_EQ(d["player"], "");
  if (offset < 25000) {
    EXPECT_EQ(d["service"], "yandex");
    EXPECT_EQ(d["title"], "Bohemian Rhapsody");
    EXPECT_EQ(d["artist"], "Queen");
    EXPECT_EQ(d["album"], "A Night at the Opera");
    EXPECT_EQ(d["durationMs"], 354000);
    EXPECT_EQ(d["coverUrl"], "/cover/" + idA);
    json pos;
    if (offset < 10000)
      pos = {"playing", 60000, 0};
    else if (offset < 14000)
      pos = {"paused", 70000, 10000};  // advanced by the 10 s played
    else if (offset < 19000)
      pos = {"playing", 70000, 14000};
    else
      pos = {"playing", 300000, 19000};
    EXPECT_EQ(d["status"], pos[0]);
    EXPECT_EQ(d["positionMs"], pos[1]);
    EXPECT_EQ(d["positionAt"], cycleStart + pos[2].get<int64_t>());
  } else if (offset < 37000) {
    EXPECT_EQ(d["service"], "vk");
    EXPECT_EQ(d["title"],
              "Lucy In The Sky With Diamonds - Remastered 2009 (Original Mono Version)");
    EXPECT_EQ(d["artist"], "The Beatles feat. The London Symphony Orchestra");
    EXPECT_TRUE(d["album"].is_null());
    EXPECT_TRUE(d["coverUrl"].is_null());
    EXPECT_EQ(d["durationMs"], 185000);
    EXPECT_EQ(d["positionMs"], 0);
    EXPECT_EQ(d["positionAt"], cycleStart + 25000);
    EXPECT_EQ(d["status"], "playing");
  } else {
    EXPECT_EQ(d["service"], "spotify");
    EXPECT_EQ(d["title"], "Song Without Duration");
    EXPECT_EQ(d["artist"], "Some Artist");
    EXPECT_EQ(d["album"], "Some Album");
    EXPECT_EQ(d["coverUrl"], "/cover/" + idC);
    EXPECT_TRUE(d["durationMs"].is_null());
    EXPECT_TRUE(d["positionMs"].is_null());
    EXPECT_EQ(d["positionAt"], 0);
    EXPECT_EQ(d["status"], "playing");
  }
}

TEST(DemoSource, RunsTheScriptStepByStepAndRepeatsEveryFiftySeconds) {
  std::vector<std::pair<int64_t, std::string>> seen;  // (time, document) at every sleep step
  DemoUnderTest t;  // declared after seen: its worker may still record while it stops
  t.time.onSleep = [&](int64_t now) { seen.emplace_back(now, t.hub.snapshot().first); };
  const int64_t t0 = DemoFakeTime::kStart;
  t.demo.start();
  t.time.runUntil(t0 + 100000);

  const std::string idA = hex16(fnv1a64(kCoverA));
  auto coverA = t.hub.cover(idA);
  ASSERT_TRUE(coverA.has_value());
  EXPECT_EQ(coverA->contentType, "image/svg+xml");
  EXPECT_EQ(coverA->bytes, kCoverA);
  const std::string svgC = demoCoverSvg("#1b98e0", "#13293d", "C");
  const std::string idC = hex16(fnv1a64(svgC));
  ASSERT_TRUE(t.hub.cover(idC).has_value());

  // One sleep step every 50 ms of fake time over two whole cycles; the last has begun the third.
  ASSERT_EQ(seen.size(), 2001u);
  for (size_t i = 0; i < seen.size(); ++i) {
    const int64_t at = seen[i].first;
    ASSERT_EQ(at, t0 + static_cast<int64_t>(i) * 50);
    const int64_t cycleStart = t0 + (at - t0) / 50000 * 50000;
    expectStep(json::parse(seen[i].second), at - cycleStart, cycleStart, idA, idC);
    if (HasFailure()) break;
  }
}

TEST(DemoSource, StopEndsTheWorkerQuicklyAndRemovesTheRecord) {
  Hub hub(50);
  DemoSource demo(hub);  // real clock and sleep
  demo.start();
  demo.start();  // a second start while running changes nothing
  waitUntil([&] { return hub.snapshot().first != R"({"active":false})"; }, 5000, 5);
  ASSERT_NE(hub.snapshot().first, R"({"active":false})");

  auto begin = std::chrono::steady_clock::now();
  demo.stop();  // the worker sits in a 10 s sleep
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_LT(took, std::chrono::milliseconds(1000));
  EXPECT_EQ(hub.snapshot().first, R"({"active":false})");
  EXPECT_TRUE(hub.health().sources.empty());

  // Starting again begins the script from song 1.
  demo.start();
  waitUntil([&] { return !hub.health().sources.empty(); }, 5000, 5);
  ASSERT_EQ(hub.health().sources.size(), 1u);
  EXPECT_EQ(hub.health().sources[0].title, "Bohemian Rhapsody");
}

TEST(DemoSource, StartAndStopAreSafeFromManyThreadsInAnyOrder) {
  Hub hub(50);
  // A short step keeps every stop quick; the script itself runs as usual.
  DemoSource demo(hub, wallNowMs,
                  [](int64_t) { std::this_thread::sleep_for(std::chrono::microseconds(200)); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&demo, t] {
      for (int i = 0; i < 60; ++i) ((i + t) % 3 == 0) ? demo.stop() : demo.start();
    });
  }
  for (auto& th : threads) th.join();
  demo.stop();
  EXPECT_TRUE(hub.health().sources.empty());
  demo.stop();  // stopping twice is harmless
  demo.start();
  waitUntil([&] { return !hub.health().sources.empty(); }, 5000, 2);
  EXPECT_EQ(hub.health().sources.size(), 1u);
}

}  // namespace
}  // namespace tunelight
