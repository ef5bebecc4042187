#include "agent/sources/extension_ingest.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/hub.h"
#include "agent/log.h"
#include "agent/sources/cover_allowlist.h"
#include "agent/sources/cover_fetcher.h"
#include "tests/support/wait.h"

namespace tunelight {
namespace {

using nlohmann::json;
using test::waitUntil;

const std::string kNotOk = "{\"ok\":false}";
const std::string kNoCover = "{\"ok\":true,\"needCover\":false}";
const std::string kNeedCover = "{\"ok\":true,\"needCover\":true}";
const std::string kUrlA = "https://i.scdn.co/image/aaaa";
const std::string kUrlB = "https://i.scdn.co/image/bbbb";

std::mutex logMu;
std::vector<std::string> logLines;
void captureSink(int32_t level, const std::string& message) {
  std::lock_guard<std::mutex> lock(logMu);
  logLines.push_back(std::string(logLevelName(level)) + ": " + message);
}

json song(const std::string& id, const std::string& title, const std::string& url = "") {
  json j = {{"id", id}, {"title", title}, {"artist", "Artist"}, {"status", "playing"}};
  if (!url.empty()) j["artworkUrl"] = url;
  return j;
}

std::optional<SourceRecord> find(const Hub& hub, const std::string& key) {
  for (const SourceRecord& r : hub.health().sources) {
    if (r.sourceKey == key) return r;
  }
  return std::nullopt;
}

class IngestTest : public ::testing::Test {
 protected:
  int64_t now = 1700000000000;
  Hub hub{50, [this] { return now; }};
  std::string send(ExtensionIngest& in, const json& j) { return in.handleReport(j.dump(), now); }
};

TEST_F(IngestTest, MalformedReportsAnswerNotOkAndStoreNothing) {
  ExtensionIngest in(hub, false);
  for (const char* body : {"", "not json", "[1,2]", "\"text\"", "{}", "{\"id\":5,\"title\":\"T\"}",
                           "{\"id\":null,\"title\":\"T\"}", "{\"id\":\"a\"}",
                           "{\"id\":\"a\",\"title\":\"\"}", "{\"id\":\"a\",\"title\":\"T\""}) {
    EXPECT_EQ(in.handleReport(body, now), kNotOk) << body;
  }
  EXPECT_TRUE(hub.health().sources.empty());
  EXPECT_EQ(hub.snapshot().first, "{\"active\":false}");
}

TEST_F(IngestTest, WronglyTypedMembersThrowBeforeAnythingIsStored) {
  ExtensionIngest in(hub, false);
  for (const char* key :
       {"service", "browser", "title", "artist", "album", "status", "artworkUrl"}) {
    json j = song("a", "T");
    j[key] = 5;
    EXPECT_THROW(send(in, j), std::exception) << key;
    j[key] = nullptr;
    EXPECT_THROW(send(in, j), std::exception) << key;
  }
  for (const char* key : {"gone", "local"}) {
    json j = song("a", "T");
    j[key] = "true";
    EXPECT_THROW(send(in, j), std::exception) << key;
  }
  EXPECT_TRUE(hub.health().sources.empty());

  // Wrongly typed numbers are ignored; with gone every other key is ignored.
  json j = song("a", "T");
  j["durationMs"] = "1000";
  EXPECT_EQ(send(in, j), kNoCover);
  EXPECT_FALSE(find(hub, "ext:a")->durationMs);
  EXPECT_EQ(send(in, {{"id", "a"}, {"gone", true}, {"title", 5}}), kNoCover);
  EXPECT_TRUE(hub.health().sources.empty());
}

TEST_F(IngestTest, ReportBecomesExtensionRecord) {
  ExtensionIngest in(hub, false);
  json j = {{"id", "tab-1"},      {"service", "yandex"}, {"browser", "chrome"},
            {"title", "Song"},    {"artist", "Band"},    {"album", ""},
            {"status", "paused"}, {"local", false},      {"extra", {1, 2}}};
  EXPECT_EQ(send(in, j), kNoCover);
  auto r = find(hub, "ext:tab-1");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind, kKindExtension);
  EXPECT_EQ(r->service, kServiceYandex);
  EXPECT_EQ(r->app, "chrome");
  EXPECT_EQ(r->player, "");
  EXPECT_EQ(r->title, "Song");
  EXPECT_EQ(r->artist, "Band");
  EXPECT_FALSE(r->album);  // empty album is no album
  EXPECT_EQ(r->status, kStatusPaused);
  EXPECT_FALSE(r->local);
  EXPECT_EQ(r->updatedAt, now);

  j["status"] = "Playing";  // exact words only
  j["service"] = "Yandex";
  send(in, j);
  EXPECT_EQ(find(hub, "ext:tab-1")->status, kStatusStopped);
  EXPECT_EQ(find(hub, "ext:tab-1")->service, kServiceUnknown);
}

TEST_F(IngestTest, LongFieldsAreCutOnCharacterBoundaries) {
  ExtensionIngest in(hub, false);
  const std::string id150 = std::string(100, 'i') + std::string(50, 'x');
  const std::string id120 = std::string(100, 'i') + std::string(20, 'y');
  send(in, song(id150, "One"));
  send(in, song(id120, "Two"));
  ASSERT_EQ(hub.health().sources.size(), 1u);
  EXPECT_EQ(hub.health().sources[0].sourceKey, "ext:" + std::string(100, 'i'));
  EXPECT_EQ(hub.health().sources[0].title, "Two");

  // 499 ASCII bytes then a two-byte letter: the letter would straddle byte 500.
  json j = song("cut", std::string(499, 't') + "ж");
  j["artist"] = std::string(498, 'a') + "€";  // three bytes straddling 500
  j["album"] = std::string(600, 'b');
  j["browser"] = std::string(39, 'c') + "я";
  EXPECT_EQ(send(in, j), kNoCover);
  auto r = find(hub, "ext:cut");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->title, std::string(499, 't'));
  EXPECT_EQ(r->artist, std::string(498, 'a'));
  EXPECT_EQ(*r->album, std::string(500, 'b'));
  EXPECT_EQ(r->app, std::string(39, 'c'));
  // The published document stays valid UTF-8 text.
  EXPECT_NE(hub.snapshot().first.find(std::string(499, 't') + "\""), std::string::npos);
}

TEST_F(IngestTest, TimelineRules) {
  ExtensionIngest in(hub, false);
  auto timeline = [&](json extra) {
    json j = song("t", "T");
    j.update(extra);
    send(in, j);
    return *find(hub, "ext:t");
  };
  SourceRecord r = timeline({{"durationMs", 0}, {"positionMs", 5}, {"positionAt", now - 10}});
  EXPECT_FALSE(r.durationMs);
  EXPECT_FALSE(r.positionMs);
  EXPECT_EQ(r.positionAt, 0);
  r = timeline({{"durationMs", -3}, {"positionMs", 5}});
  EXPECT_FALSE(r.durationMs);

  r = timeline({{"durationMs", 200000}});
  EXPECT_EQ(r.durationMs, 200000);
  EXPECT_EQ(r.positionMs, 0);
  EXPECT_EQ(r.positionAt, now);

  r = timeline({{"durationMs", 1234.9}, {"positionMs", 99.99}, {"positionAt", now - 500}});
  EXPECT_EQ(r.durationMs, 1234);
  EXPECT_EQ(r.positionMs, 99);
  EXPECT_EQ(r.positionAt, now - 500);

  EXPECT_EQ(timeline({{"durationMs", 10}, {"positionAt", now + 5000}}).positionAt, now);
  EXPECT_EQ(timeline({{"durationMs", 10}, {"positionAt", 0}}).positionAt, now);
  EXPECT_EQ(timeline({{"durationMs", 10}, {"positionAt", -7}}).positionAt, now);
  EXPECT_EQ(timeline({{"durationMs", 10}, {"positionAt", "x"}}).positionAt, now);
  EXPECT_EQ(timeline({{"durationMs", 1e30}}).durationMs, INT64_MAX);
}

TEST_F(IngestTest, GoneAndExpiry) {
  ExtensionIngest in(hub, false);
  EXPECT_EQ(send(in, {{"id", "never"}, {"gone", true}}), kNoCover);

  send(in, song("a", "A"));
  send(in, song("b", "B"));
  EXPECT_EQ(send(in, {{"id", "a"}, {"gone", true}}), kNoCover);
  EXPECT_FALSE(find(hub, "ext:a"));

  const int64_t seen = now;
  now += 5000;
  // A report that answers not ok does not keep the source alive.
  EXPECT_EQ(send(in, {{"id", "b"}, {"title", ""}}), kNotOk);
  in.expireReports(seen + 6000);
  EXPECT_TRUE(find(hub, "ext:b"));
  in.expireReports(seen + 6001);
  EXPECT_FALSE(find(hub, "ext:b"));
}

TEST_F(IngestTest, UploadFlowWhenExtensionsSendCovers) {
  ExtensionIngest in(hub, false);
  EXPECT_EQ(send(in, song("a", "A", kUrlA)), kNeedCover);
  EXPECT_EQ(send(in, song("a", "A", kUrlA)), kNeedCover);  // asked until it arrives
  EXPECT_TRUE(find(hub, "ext:a")->coverId.empty());

  EXPECT_FALSE(in.acceptCover(kUrlB, "image/png", "png"));  // never asked for
  EXPECT_FALSE(in.acceptCover(kUrlA, "text/html", "png"));  // not an image
  EXPECT_FALSE(in.acceptCover(kUrlA, "Image/png", "png"));  // case-sensitive
  EXPECT_FALSE(in.acceptCover(kUrlA, "image/png", ""));     // empty
  EXPECT_FALSE(in.acceptCover(kUrlA, "image/png", std::string(kCoverMaxBytes + 1, 'x')));
  EXPECT_TRUE(in.acceptCover(kUrlA, "image/png", std::string(kCoverMaxBytes, 'x')));
  EXPECT_FALSE(in.acceptCover(kUrlA, "image/png", "again"));  // no longer pending

  const std::string id = find(hub, "ext:a")->coverId;
  ASSERT_EQ(id.size(), 16u);
  EXPECT_EQ(hub.cover(id)->contentType, "image/png");
  EXPECT_EQ(send(in, song("a", "A", kUrlA)), kNoCover);
  EXPECT_EQ(find(hub, "ext:a")->coverId, id);

  // Not allowlisted: never asks, never carries a cover.
  EXPECT_EQ(send(in, song("a", "A", "http://i.scdn.co/image/aaaa")), kNoCover);
  EXPECT_TRUE(find(hub, "ext:a")->coverId.empty());
}

TEST_F(IngestTest, OldCoverStaysOnlyForTheSameSong) {
  ExtensionIngest in(hub, false);
  send(in, song("a", "Song", kUrlA));
  ASSERT_TRUE(in.acceptCover(kUrlA, "image/jpeg", "cover-a"));
  const std::string idA = find(hub, "ext:a")->coverId;

  json same = song("a", "  SONG ", kUrlB);  // same song after normalisation, new artwork
  EXPECT_EQ(send(in, same), kNeedCover);
  EXPECT_EQ(find(hub, "ext:a")->coverId, idA);

  EXPECT_EQ(send(in, song("a", "Other", kUrlB)), kNeedCover);
  EXPECT_TRUE(find(hub, "ext:a")->coverId.empty());
}

TEST_F(IngestTest, OneUploadServesEveryIdOfTheUrlAndLateCoversAreKept) {
  ExtensionIngest in(hub, false);
  EXPECT_EQ(send(in, song("a", "A", kUrlA)), kNeedCover);
  EXPECT_EQ(send(in, song("b", "B", kUrlA)), kNeedCover);
  ASSERT_TRUE(in.acceptCover(kUrlA, "image/png", "shared"));
  EXPECT_FALSE(find(hub, "ext:a")->coverId.empty());
  EXPECT_EQ(find(hub, "ext:a")->coverId, find(hub, "ext:b")->coverId);

  // The reporter leaves before its upload arrives: the cover is still stored and cached.
  EXPECT_EQ(send(in, song("c", "C", kUrlB)), kNeedCover);
  send(in, {{"id", "c"}, {"gone", true}});
  EXPECT_TRUE(in.acceptCover(kUrlB, "image/png", "late"));
  EXPECT_TRUE(hub.health().sources.size() == 2u);
  EXPECT_EQ(send(in, song("d", "D", kUrlB)), kNoCover);
  EXPECT_FALSE(find(hub, "ext:d")->coverId.empty());
}

TEST_F(IngestTest, CacheDropsSmallestUrlAndRefetchesCoversTheHubDropped) {
  Hub big(500, [this] { return now; });
  ExtensionIngest in(big, false);
  auto url = [](int i) {
    char buf[64];
    snprintf(buf, sizeof buf, "https://i.scdn.co/image/%03d", i);
    return std::string(buf);
  };
  // Inserted largest first, so the oldest entry is not the smallest.
  for (int i = 200; i >= 0; --i) {
    ASSERT_EQ(in.handleReport(song("a", "A", url(i)).dump(), now), kNeedCover);
    ASSERT_TRUE(in.acceptCover(url(i), "image/png", "img" + std::to_string(i)));
  }
  EXPECT_EQ(in.handleReport(song("a", "A", url(200)).dump(), now), kNoCover);
  EXPECT_EQ(in.handleReport(song("a", "A", url(1)).dump(), now), kNoCover);
  EXPECT_EQ(in.handleReport(song("a", "A", url(0)).dump(), now), kNeedCover);

  // A cover the Hub has evicted is asked for again.
  Hub tiny(1, [this] { return now; });
  ExtensionIngest in2(tiny, false);
  send(in2, song("a", "A", kUrlA));
  ASSERT_TRUE(in2.acceptCover(kUrlA, "image/png", "first"));
  EXPECT_EQ(send(in2, song("a", "A", kUrlA)), kNoCover);
  tiny.putCover("image/png", "someone else's cover");
  EXPECT_EQ(send(in2, song("a", "A", kUrlA)), kNeedCover);
  EXPECT_TRUE(in2.acceptCover(kUrlA, "image/png", "first"));
}

TEST_F(IngestTest, PendingUrlsStayBoundedUnderAFlood) {
  ExtensionIngest in(hub, false);
  auto url = [](int i) { return "https://i.scdn.co/image/flood" + std::to_string(i); };
  for (int i = 0; i < 1000; ++i) send(in, song("a", "A", url(i)));
  // URLs nobody names any more were dropped; the current one is still welcome.
  EXPECT_FALSE(in.acceptCover(url(0), "image/png", "x"));
  EXPECT_TRUE(in.acceptCover(url(999), "image/png", "x"));
}

class FakeFetcher {
 public:
  // Blocks every download until release() when gated.
  // Honours the cancel flag the way the real download does.
  bool fetch(const std::string& url, std::string& type, std::string& body,
             const std::atomic<bool>& cancel) {
    std::unique_lock<std::mutex> lock(mu_);
    calls_.push_back(url);
    cv_.notify_all();
    while (gated_ && !cancel) cv_.wait_for(lock, std::chrono::milliseconds(5));
    if (fail_ || cancel) return false;
    type = "application/octet-stream";
    body = "bytes of " + url;
    return true;
  }
  CoverGetter fn() {
    return [this](const std::string& u, std::string& t, std::string& b,
                  const std::atomic<bool>& c) { return fetch(u, t, b, c); };
  }
  void gate() {
    set([this] { gated_ = true; });
  }
  void release() {
    set([this] { gated_ = false; });
  }
  void failing(bool f) {
    set([this, f] { fail_ = f; });
  }
  size_t calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_.size();
  }

 private:
  template <typename F>
  void set(F f) {
    std::lock_guard<std::mutex> lock(mu_);
    f();
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> calls_;
  bool gated_ = false;
  bool fail_ = false;
};

// The rules the media sessions use: a fixed pause after failures, covers kept here, the oldest
// URL forgotten first, and a stop that forgets only what was never downloaded.
TEST(CoverFetcherTest, KeptCoversFixedPauseOldestFirstAndStop) {
  FakeFetcher fake;
  std::atomic<int64_t> t{1000};
  CoverFetcher::Rules rules;
  rules.firstPauseMs = rules.longestPauseMs = 30000;
  rules.maxUrls = 2;
  rules.keepCovers = true;
  CoverFetcher f(rules, fake.fn(), [&] { return t.load(); });
  using Wish = CoverFetcher::Wish;
  auto quietFor = [&](size_t calls) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return fake.calls() == calls;
  };

  fake.failing(true);
  EXPECT_EQ(f.wish(kUrlA), Wish::kPending);
  ASSERT_TRUE(waitUntil([&] { return f.wish(kUrlA) == Wish::kFailed; }, 2000, 5));
  t += 29999;
  EXPECT_EQ(f.wish(kUrlA), Wish::kFailed);
  EXPECT_TRUE(quietFor(1));
  t += 1;
  EXPECT_EQ(f.wish(kUrlA), Wish::kFailed);  // asked again once the pause is over
  ASSERT_TRUE(waitUntil([&] { return fake.calls() == 2 && !f.downloading(kUrlA); }, 2000, 5));
  t += 30000;  // the pause does not grow
  fake.failing(false);
  f.wish(kUrlA);
  ASSERT_TRUE(waitUntil([&] { return f.cover(kUrlA).has_value(); }, 2000, 5));
  EXPECT_EQ(f.cover(kUrlA)->contentType, "application/octet-stream");  // the server's word
  EXPECT_EQ(f.cover(kUrlA)->bytes, "bytes of " + kUrlA);
  EXPECT_EQ(f.wish(kUrlA), Wish::kKept);
  EXPECT_EQ(fake.calls(), 3u);

  // Two URLs remembered: a third pushes out the one known longest, kept or not.
  f.wish(kUrlB);
  ASSERT_TRUE(waitUntil([&] { return f.cover(kUrlB).has_value(); }, 2000, 5));
  fake.gate();
  const std::string urlC = "https://i.scdn.co/image/cccc";
  EXPECT_EQ(f.wish(urlC), Wish::kPending);
  EXPECT_FALSE(f.cover(kUrlA));
  EXPECT_TRUE(f.cover(kUrlB));
  ASSERT_TRUE(waitUntil([&] { return fake.calls() == 5; }, 2000, 5));
  // Stop abandons the download in progress, which is asked for again later; kept covers stay.
  auto begin = std::chrono::steady_clock::now();
  f.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(500));
  EXPECT_TRUE(f.cover(kUrlB));
  fake.release();
  EXPECT_EQ(f.wish(urlC), Wish::kPending);
  ASSERT_TRUE(waitUntil([&] { return f.cover(urlC).has_value(); }, 2000, 5));
  EXPECT_EQ(fake.calls(), 6u);
}

TEST_F(IngestTest, WorkerDownloadsEachPendingUrlOnce) {
  FakeFetcher fake;
  fake.gate();
  ExtensionIngest in(hub, fake.fn());
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(send(in, song("a", "A", kUrlA)), kNoCover);  // never asks the extension
    EXPECT_EQ(send(in, song("b", "B", kUrlA)), kNoCover);
  }
  ASSERT_TRUE(waitUntil([&] { return fake.calls() == 1; }, 2000, 5));
  fake.release();
  ASSERT_TRUE(waitUntil(
      [&] {
        auto a = find(hub, "ext:a");
        auto b = find(hub, "ext:b");
        return a && b && !a->coverId.empty() && a->coverId == b->coverId;
      },
      2000, 5));
  EXPECT_EQ(hub.cover(find(hub, "ext:a")->coverId)->contentType, "image/jpeg");
  EXPECT_EQ(fake.calls(), 1u);
}

TEST_F(IngestTest, FailedDownloadBacksOffAndAsksTheExtensionMeanwhile) {
  LogSink previous = setSink(captureSink);
  {
    std::lock_guard<std::mutex> lock(logMu);
    logLines.clear();
  }
  auto logged = [] {
    std::lock_guard<std::mutex> lock(logMu);
    return logLines.size();
  };
  FakeFetcher fake;
  fake.failing(true);
  std::atomic<int64_t> t{now};
  ExtensionIngest in(hub, fake.fn(), [&] { return t.load(); });
  auto report = [&](int64_t advanceMs) {
    t += advanceMs;
    return in.handleReport(song("a", "A", kUrlA).dump(), t);
  };
  auto quietFor = [&](size_t calls) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return fake.calls() == calls;
  };

  EXPECT_EQ(report(0), kNoCover);  // the agent tries itself first
  ASSERT_TRUE(waitUntil([&] { return logged() == 1; }, 2000, 5));
  {
    std::lock_guard<std::mutex> lock(logMu);
    EXPECT_EQ(logLines[0], "warning: cover download failed: " + kUrlA);
  }
  // The heartbeats of the next 10 s ask the extension for the picture, and download nothing.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(report(1999), kNeedCover);
  EXPECT_TRUE(quietFor(1));
  // Then the agent tries again; a second failure doubles the pause.
  EXPECT_EQ(report(5), kNeedCover);
  ASSERT_TRUE(waitUntil([&] { return logged() == 2; }, 2000, 5));
  EXPECT_EQ(report(19999), kNeedCover);
  EXPECT_TRUE(quietFor(2));
  fake.failing(false);
  report(1);
  ASSERT_TRUE(waitUntil([&] { return !find(hub, "ext:a")->coverId.empty(); }, 2000, 5));
  EXPECT_EQ(report(1), kNoCover);
  EXPECT_EQ(fake.calls(), 3u);

  // An upload is taken for a URL whose download failed.
  fake.failing(true);
  in.handleReport(song("b", "B", kUrlB).dump(), t);
  ASSERT_TRUE(waitUntil([&] { return logged() == 3; }, 2000, 5));
  EXPECT_EQ(in.handleReport(song("b", "B", kUrlB).dump(), t), kNeedCover);
  EXPECT_TRUE(in.acceptCover(kUrlB, "image/png", "png bytes"));
  EXPECT_EQ(hub.cover(find(hub, "ext:b")->coverId)->bytes, "png bytes");
  EXPECT_EQ(in.handleReport(song("b", "B", kUrlB).dump(), t), kNoCover);
  setSink(previous);
}

}  // namespace
}  // namespace tunelight

namespace tunelight {
namespace {

TEST_F(IngestTest, AFloodOfIdsKeepsTheMostRecentlyReportedSources) {
  ExtensionIngest in(hub, false);
  // "keep" reports between the others, so it is never the least recently reported one.
  for (int i = 0; i < 3000; ++i) {
    ++now;
    send(in, song("id-" + std::to_string(i), "Song " + std::to_string(i)));
    if (i % 10 == 0) send(in, song("keep", "Kept"));
  }
  std::vector<SourceRecord> live = hub.health().sources;
  ASSERT_EQ(live.size(), ExtensionIngest::kMaxSources);
  EXPECT_TRUE(find(hub, "ext:keep"));
  EXPECT_TRUE(find(hub, "ext:id-2999"));
  EXPECT_TRUE(find(hub, "ext:id-2937"));
  EXPECT_FALSE(find(hub, "ext:id-2936"));  // the 63 newest ids and "keep" remain
  // An evicted id comes back like a new one, pushing out the stalest again.
  send(in, song("id-0", "Song 0"));
  EXPECT_TRUE(find(hub, "ext:id-0"));
  EXPECT_FALSE(find(hub, "ext:id-2937"));
  EXPECT_EQ(hub.health().sources.size(), ExtensionIngest::kMaxSources);
  // All of them expire as usual.
  now += 6001;
  EXPECT_EQ(in.expireReports(now), ExtensionIngest::kMaxSources);
  EXPECT_TRUE(hub.health().sources.empty());
}

TEST_F(IngestTest, StopAbortsAStalledDownloadAndSaysNothing) {
  LogSink previous = setSink(captureSink);
  {
    std::lock_guard<std::mutex> lock(logMu);
    logLines.clear();
  }
  FakeFetcher fake;
  fake.gate();  // never answers until cancelled
  auto in = std::make_unique<ExtensionIngest>(hub, fake.fn());
  send(*in, song("a", "A", kUrlA));
  ASSERT_TRUE(waitUntil([&] { return fake.calls() == 1; }, 2000, 5));
  auto begin = std::chrono::steady_clock::now();
  in.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(500));
  std::lock_guard<std::mutex> lock(logMu);
  EXPECT_EQ(logLines, std::vector<std::string>{});
  setSink(previous);
}

// Accepts connections at the kernel level and never answers, not even the TLS handshake.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(fd_, 16);
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() { close(fd_); }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/cover.png"; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(IngestTest, StopAbortsARealDownloadFromAServerThatNeverAnswers) {
  SilentServer silent;
  {
    // The download itself must honour the flag for the worker to come back in time.
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      cancel = true;
    });
    auto begin = std::chrono::steady_clock::now();
    std::string type, body;
    coverFetcher(silent.url(), type, body, &cancel);
    canceller.join();
    ASSERT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000))
        << "the HTTPS download does not honour its cancel flag";
  }
  // Allowlisted hosts cannot point at a local server: the real fetcher gets the local URL.
  std::atomic<int> started{0};
  auto in = std::make_unique<ExtensionIngest>(
      hub, [&](const std::string&, std::string& type, std::string& body,
               const std::atomic<bool>& cancel) {
        ++started;
        return coverFetcher(silent.url(), type, body, &cancel);
      });
  send(*in, song("a", "A", kUrlA));
  ASSERT_TRUE(waitUntil([&] { return started == 1; }, 2000, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // well into the handshake
  auto begin = std::chrono::steady_clock::now();
  in.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
}

}  // namespace
}  // namespace tunelight
