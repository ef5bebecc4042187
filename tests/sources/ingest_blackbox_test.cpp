#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "tests/support/agent_process.h"

namespace tunelight {
namespace {

using nlohmann::json;
using test::waitUntil;

const httplib::Headers kExtension = {{"Origin", "chrome-extension://abcdefghijklmnop"}};

struct Agent {
  std::unique_ptr<test::RunningAgent> run = test::startAgent();
  std::unique_ptr<httplib::Client> http;

  Agent() {
    if (run->port == 0) return;
    http = std::make_unique<httplib::Client>("127.0.0.1", run->port);
    http->set_read_timeout(5, 0);
  }
  bool up() const { return http != nullptr; }
  // (status, body) of a POST.
  std::pair<int, std::string> post(const std::string& path, const std::string& body,
                                   const httplib::Headers& headers = kExtension,
                                   const std::string& type = "application/json") {
    auto res = http->Post(path, headers, body, type);
    return res ? std::make_pair(res->status, res->body) : std::make_pair(0, std::string());
  }
  json nowPlaying() {
    auto res = http->Get("/api/now-playing");
    return res ? json::parse(res->body, nullptr, false) : json();
  }
};

std::string report(const std::string& id, const std::string& title, json extra = json::object()) {
  json j = {{"id", id},
            {"title", title},
            {"artist", "Daft Punk"},
            {"status", "playing"},
            {"service", "spotify"},
            {"browser", "chrome"}};
  j.update(extra);
  return j.dump();
}

const std::pair<int, std::string> kStored{200, R"({"ok":true,"needCover":false})"};

TEST(IngestBlackbox, ReportsAppearInNowPlayingAndOnTheEventStream) {
  Agent a;
  ASSERT_TRUE(a.up());
  std::mutex mu;
  std::string streamed;
  std::atomic<bool> done{false};
  std::thread events([&] {
    httplib::Client c("127.0.0.1", a.run->port);
    c.set_read_timeout(8, 0);
    c.Get("/events", [&](const char* data, size_t n) {
      std::lock_guard<std::mutex> lock(mu);
      streamed.append(data, n);
      return !done && streamed.find("Get Lucky") == std::string::npos;
    });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  auto res =
      a.http->Post("/api/ingest", kExtension, report("tab-1", "Get Lucky"), "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, kStored.second);
  EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");

  json np = a.nowPlaying();
  EXPECT_EQ(np["title"], "Get Lucky");
  EXPECT_EQ(np["kind"], "extension");
  EXPECT_EQ(np["source"], "ext:tab-1");
  EXPECT_EQ(np["service"], "spotify");
  EXPECT_EQ(np["app"], "chrome");
  EXPECT_TRUE(waitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mu);
        return streamed.find("data: {\"active\":true") != std::string::npos &&
               streamed.find("Get Lucky") != std::string::npos;
      },
      5000, 20));
  done = true;
  events.join();

  // A firefox extension origin is accepted too; gone removes the source at once.
  const httplib::Headers firefox = {{"Origin", "moz-extension://"}};
  EXPECT_EQ(a.post("/api/ingest", R"({"id":"tab-1","gone":true})", firefox), kStored);
  EXPECT_EQ(a.nowPlaying(), json::parse(R"({"active":false})"));
}

TEST(IngestBlackbox, BadRequestsGetTheirAnswersAndChangeNothing) {
  Agent a;
  ASSERT_TRUE(a.up());
  const std::string good = report("tab-1", "Get Lucky");
  EXPECT_EQ(a.post("/api/ingest", good, {}), std::make_pair(403, std::string()));
  EXPECT_EQ(a.post("/api/ingest", good, {{"Origin", "http://localhost:5173"}}).first, 403);
  EXPECT_EQ(a.post("/api/ingest", good, {{"Origin", "chrome-extension:/"}}).first, 403);
  EXPECT_EQ(a.post("/api/ingest", "{not json"), std::make_pair(200, std::string("{\"ok\":false}")));
  EXPECT_EQ(a.post("/api/ingest", R"({"id":"x","title":""})").second, "{\"ok\":false}");
  EXPECT_EQ(a.post("/api/ingest", R"({"id":"x","title":7})").first, 500);
  EXPECT_EQ(a.post("/api/ingest", R"({"id":"x","title":"T","gone":"yes"})").first, 500);
  EXPECT_EQ(a.nowPlaying(), json::parse(R"({"active":false})"));

  EXPECT_EQ(a.post("/api/ingest/cover?url=https://i.scdn.co/image/x", "png", {}, "image/png").first,
            403);
  EXPECT_EQ(
      a.post("/api/ingest/cover?url=https://i.scdn.co/image/x", "png", kExtension, "image/png"),
      std::make_pair(400, std::string()));
  EXPECT_EQ(a.post("/api/ingest/cover", "png", kExtension, "image/png").first, 400);
}

// The tab's actions reach the extension that waits on the report's channel, and its answer
// is the API's; without anyone waiting the API says so at once.
TEST(IngestBlackbox, ControlsReachTheChannelOfTheTabAndItsAnswerComesBack) {
  Agent a;
  ASSERT_TRUE(a.up());
  const httplib::Headers owner = {{"X-Tunelight-Token", a.run->token}};
  auto control = [&](const std::string& action) {
    return a.post("/api/control", json{{"action", action}}.dump(), owner);
  };
  // An older extension: no actions, no channel.
  ASSERT_EQ(a.post("/api/ingest", report("old-tab", "Get Lucky")), kStored);
  EXPECT_EQ(a.nowPlaying()["controls"], json::array());
  EXPECT_EQ(control("pause").first, 422);

  ASSERT_EQ(a.post("/api/ingest",
                   report("tab-1", "Get Lucky",
                          {{"channel", "c1"}, {"actions", {"playPause", "next", "rewind"}}})),
            kStored);
  ASSERT_EQ(a.post("/api/ingest", report("old-tab", "", {{"gone", true}})), kStored);
  EXPECT_EQ(a.nowPlaying()["controls"], json({"playPause", "next"}));
  EXPECT_EQ(control("previous").first, 422);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(control("next").first, 502);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));

  // The extension's side: waits for commands, answers the first with ok, the second with an
  // error.
  std::vector<json> seen;
  std::thread background([&] {
    httplib::Client c("127.0.0.1", a.run->port);
    c.set_read_timeout(25, 0);
    for (bool ok : {true, false}) {
      auto res =
          c.Post("/api/ingest/commands", kExtension, R"({"channel":"c1"})", "application/json");
      if (!res || res->status != 200) return;
      json got = json::parse(res->body, nullptr, false);
      if (!got.is_object() || got["commands"].size() != 1) return;
      seen.push_back(got["commands"][0]);
      json done = {{"command", got["commands"][0]["command"]}, {"ok", ok}};
      if (!ok) done["error"] = "no handler";
      c.Post("/api/ingest/done", kExtension, done.dump(), "application/json");
    }
  });
  std::pair<int, std::string> first;
  ASSERT_TRUE(waitUntil([&] { return (first = control("next")).first != 502; }, 3000, 20));
  EXPECT_EQ(first, std::make_pair(200, std::string(R"({"ok":true,"source":"ext:tab-1"})")));
  const auto failed = control("playPause");
  EXPECT_EQ(failed.first, 502);
  EXPECT_NE(failed.second.find("no handler"), std::string::npos) << failed.second;
  background.join();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0]["action"], "next");
  EXPECT_EQ(seen[0]["id"], "tab-1");
  EXPECT_EQ(seen[1]["action"], "playPause");
  // Only extension pages may wait for commands.
  EXPECT_EQ(a.post("/api/ingest/commands", R"({"channel":"c1"})", {}).first, 403);
  EXPECT_EQ(a.post("/api/ingest/commands", R"({"channel":7})").first, 400);

  // A waiting request does not hold the agent's shutdown up.
  std::thread waiting([&] {
    httplib::Client c("127.0.0.1", a.run->port);
    c.set_read_timeout(25, 0);
    c.Post("/api/ingest/commands", kExtension, R"({"channel":"c1"})", "application/json");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto stopAt = std::chrono::steady_clock::now();
  EXPECT_EQ(a.post("/api/shutdown", "", owner).first, 200);
  EXPECT_TRUE(a.run->process->waitExit(2000).has_value());
  waiting.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(1500));
}

TEST(IngestBlackbox, TwoIdsOfOneSongMergeAndSilentSourcesExpire) {
  Agent a;
  ASSERT_TRUE(a.up());
  EXPECT_EQ(a.post("/api/ingest",
                   report("tab-a", "Get Lucky", {{"durationMs", 248000}, {"positionMs", 1000}})),
            kStored);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(a.post("/api/ingest", report("tab-b", "  get LUCKY ", {{"album", "RAM"}})), kStored);
  json np = a.nowPlaying();
  EXPECT_EQ(np["source"], "ext:tab-b");  // the most recently updated report leads
  EXPECT_EQ(np["album"], "RAM");
  EXPECT_EQ(np["durationMs"], 248000);  // filled in from the other id
  EXPECT_EQ(np["positionMs"], 1000);

  // Allowlisted artwork is downloaded by the agent itself; without a network it fails and
  // says so in the log. From then on the reports ask the extension to upload the picture, and
  // the heartbeats do not make the agent download it again.
  const std::string art = "https://i.scdn.co/image/ab67";
  const std::string withArt = report("tab-b", "Get Lucky", {{"artworkUrl", art}});
  EXPECT_EQ(a.post("/api/ingest", withArt), kStored);
  const std::string failed = "[warning] cover download failed: " + art;
  EXPECT_TRUE(waitUntil([&] { return a.run->log().find(failed) != std::string::npos; }, 10000, 20));
  const std::pair<int, std::string> askUpload{200, R"({"ok":true,"needCover":true})"};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(a.post("/api/ingest", withArt), askUpload);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const std::string log = a.run->log();
  EXPECT_EQ(log.find(failed), log.rfind(failed)) << "downloaded once only";
  const std::string png("\x89PNG\r\n\x1a\n\0picture", 16);
  EXPECT_EQ(a.post("/api/ingest/cover?url=" + art, png, kExtension, "image/png"),
            std::make_pair(200, std::string()));
  const std::string coverUrl = a.nowPlaying().value("coverUrl", "");
  ASSERT_FALSE(coverUrl.empty());
  auto cover = a.http->Get(coverUrl);
  ASSERT_TRUE(cover);
  EXPECT_EQ(cover->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(cover->body, png);
  EXPECT_EQ(a.post("/api/ingest", withArt), kStored);

  // Both fall silent: the card empties between 6 and about 6.25 s after the last report.
  a.post("/api/ingest", report("tab-a", "Get Lucky"));
  a.post("/api/ingest", report("tab-b", "Get Lucky"));
  auto last = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitUntil([&] { return a.nowPlaying()["active"] == false; }, 9000, 20));
  auto gone =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - last)
          .count();
  EXPECT_GE(gone, 5900);
  EXPECT_LE(gone, 7500);
}

// libcurl is loaded at the first cover download: an agent that cannot load it still starts and
// serves, has the extension upload every picture, and says why in one line.
TEST(IngestLinuxBlackbox, WithoutLibcurlTheAgentServesAndSaysSoOnce) {
  if (std::getenv("TUNELIGHT_AGENT_RUNNER")) GTEST_SKIP() << "Windows downloads through WinHTTP";
  ::setenv("TUNELIGHT_LIBCURL", "/nonexistent/libcurl.so.4", 1);
  Agent a;
  ::unsetenv("TUNELIGHT_LIBCURL");
  ASSERT_TRUE(a.up());
  const std::pair<int, std::string> askUpload{200, R"({"ok":true,"needCover":true})"};
  for (const std::string id : {"one", "two"}) {
    const std::string art = "https://i.scdn.co/image/" + id;
    const std::string withArt = report("tab-" + id, "Song " + id, {{"artworkUrl", art}});
    EXPECT_EQ(a.post("/api/ingest", withArt), kStored);
    const std::string failed = "[warning] cover download failed: " + art;
    EXPECT_TRUE(
        waitUntil([&] { return a.run->log().find(failed) != std::string::npos; }, 5000, 20));
    EXPECT_EQ(a.post("/api/ingest", withArt), askUpload);
  }
  EXPECT_EQ(a.nowPlaying()["title"], "Song two");
  const std::string log = a.run->log();
  const std::string why = "[warning] https: cannot load /nonexistent/libcurl.so.4";
  EXPECT_NE(log.find(why), std::string::npos) << log;
  EXPECT_EQ(log.find(why), log.rfind(why)) << "said once";
}

// Resident memory of a process in KiB, from /proc.
long residentKiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

size_t liveSources(Agent& a) {
  auto res = a.http->Get("/api/health");
  if (!res) return 0;
  json doc = json::parse(res->body, nullptr, false);
  return doc.is_object() ? doc["sources"].size() : 0;
}

// Sends `count` reports from each of `threads` clients; id(thread, i) names the source.
void sendReports(Agent& a, int threads, int count, const std::function<std::string(int, int)>& id) {
  std::vector<std::thread> clients;
  for (int t = 0; t < threads; ++t) {
    clients.emplace_back([&, t] {
      httplib::Client c("127.0.0.1", a.run->port);
      c.set_keep_alive(true);
      c.set_tcp_nodelay(true);
      for (int i = 0; i < count; ++i) {
        const std::string key = id(t, i);
        c.Post("/api/ingest", kExtension, report(key, "Song " + key), "application/json");
      }
    });
  }
  for (auto& c : clients) c.join();
}

TEST(IngestFloodBlackbox, ThousandsOfIdsKeepAtMost64SourcesAndGiveTheMemoryBack) {
  Agent a;
  ASSERT_TRUE(a.up());
  const int pid = a.run->process->pid();
  // The same clients, threads and routes as the flood, so the start level includes their
  // first allocations.
  sendReports(a, 4, 100, [](int t, int) { return "warm-up-" + std::to_string(t); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long before = residentKiB(pid);
  ASSERT_GT(before, 0);

  std::atomic<bool> flooding{true};
  std::atomic<size_t> mostSeen{0};
  std::thread watcher([&] {
    while (flooding) {
      mostSeen = std::max(mostSeen.load(), liveSources(a));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  sendReports(a, 4, 750, [](int t, int i) { return "flood-" + std::to_string(t * 750 + i); });
  flooding = false;
  watcher.join();
  EXPECT_EQ(liveSources(a), 64u);
  EXPECT_LE(mostSeen.load(), 64u);
  EXPECT_EQ(a.nowPlaying()["active"], true);

  ASSERT_TRUE(waitUntil([&] { return liveSources(a) == 0; }, 9000, 20));
  if (test::kSanitizedBuild) GTEST_SKIP() << "a sanitizer's allocator keeps freed memory by design";
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const long after = residentKiB(pid);
  EXPECT_LE(after, before + 4096) << "before " << before << " KiB, after " << after << " KiB";
  RecordProperty("rss_before_kib", std::to_string(before));
  RecordProperty("rss_after_kib", std::to_string(after));
}

}  // namespace
}  // namespace tunelight
