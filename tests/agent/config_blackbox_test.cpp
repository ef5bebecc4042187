#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "agent/demo_source.h"
#include "tests/support/agent_process.h"

namespace tunelight {
namespace {

using nlohmann::json;
using test::readFile;
using test::waitUntil;

const std::string kInactive = R"({"active":false})";

struct Agent {
  std::unique_ptr<test::RunningAgent> run;
  std::unique_ptr<httplib::Client> http;

  explicit Agent(const std::vector<std::string>& args = {}) : run(test::startAgent(args)) {
    if (run->port == 0) return;
    http = std::make_unique<httplib::Client>("127.0.0.1", run->port);
    http->set_read_timeout(5, 0);
  }
  bool up() const { return http != nullptr; }

  // (status, body) of POST /api/config.
  std::pair<int, std::string> config(const std::string& body) {
    auto res =
        http->Post("/api/config", {{"X-Tunelight-Token", run->token}}, body, "application/json");
    if (!res) return {0, ""};
    return {res->status, res->body};
  }
  std::string nowPlaying() {
    auto res = http->Get("/api/now-playing");
    return res && res->status == 200 ? res->body : "";
  }
  std::string title() {
    json d = json::parse(nowPlaying(), nullptr, false);
    return d.is_object() && d.value("active", false) ? d.value("title", "") : "";
  }
};

const std::pair<int, std::string> kOk{200, R"({"ok":true})"};

TEST(ConfigBlackbox, DemoAndFiltersFollowTheConfiguration) {
  Agent a;
  ASSERT_TRUE(a.up());
  EXPECT_EQ(a.nowPlaying(), kInactive);
  EXPECT_EQ(a.config(R"({"demo":true})"), kOk);
  ASSERT_TRUE(waitUntil([&] { return a.title() == "Bohemian Rhapsody"; }, 3000, 20));

  // Filters take effect before the answer.
  EXPECT_EQ(a.config(R"({"yandex":false})"), kOk);
  EXPECT_EQ(a.nowPlaying(), kInactive);
  EXPECT_EQ(a.config(R"({"yandex":true})"), kOk);
  EXPECT_EQ(a.title(), "Bohemian Rhapsody");
  EXPECT_EQ(a.config(R"({"blocklist":["  QUEEN "]})"), kOk);
  EXPECT_EQ(a.nowPlaying(), kInactive);
  EXPECT_EQ(a.config(R"({"blocklist":[]})"), kOk);
  EXPECT_EQ(a.title(), "Bohemian Rhapsody");

  EXPECT_EQ(a.config(R"({"demo":false})"), kOk);
  EXPECT_EQ(a.nowPlaying(), kInactive);
}

TEST(ConfigBlackbox, DemoFlagAtStartShowsTheDemo) {
  Agent a({"--demo"});
  ASSERT_TRUE(a.up());
  ASSERT_TRUE(waitUntil([&] { return a.title() == "Bohemian Rhapsody"; }, 3000, 20));
  EXPECT_EQ(a.config(R"({"demo":false})"), kOk);
  EXPECT_EQ(a.nowPlaying(), kInactive);
}

TEST(ConfigBlackbox, OutputDirectoryGetsTheFilesAndEmptyingItStopsWriting) {
  Agent a;
  ASSERT_TRUE(a.up());
  const std::string dir = a.run->dir.file("text out");
  EXPECT_EQ(a.config(R"({"demo":true,"outputDir":")" + dir + R"("})"), kOk);
  ASSERT_TRUE(
      waitUntil([&] { return readFile(dir + "/title.txt") == "Bohemian Rhapsody"; }, 3000, 20));
  EXPECT_TRUE(
      waitUntil([&] { return readFile(dir + "/nowplaying.json") == a.nowPlaying(); }, 3000, 20));
  EXPECT_EQ(readFile(dir + "/track.txt"), "Queen \xE2\x80\x94 Bohemian Rhapsody");
  EXPECT_EQ(readFile(dir + "/artist.txt"), "Queen");
  EXPECT_EQ(readFile(dir + "/album.txt"), "A Night at the Opera");
  EXPECT_EQ(readFile(dir + "/cover.jpg"), demoCoverSvg("#d7263d", "#3b1f2b", "A"));
  const std::string written = readFile(dir + "/nowplaying.json");

  EXPECT_EQ(a.config(R"({"outputDir":""})"), kOk);
  EXPECT_EQ(a.config(R"({"demo":false})"), kOk);
  EXPECT_EQ(a.nowPlaying(), kInactive);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(readFile(dir + "/nowplaying.json"), written);
  EXPECT_EQ(readFile(dir + "/title.txt"), "Bohemian Rhapsody");
}

TEST(ConfigBlackbox, BadBodiesGetTheirAnswersAndTheAgentKeepsServing) {
  Agent a;
  ASSERT_TRUE(a.up());
  EXPECT_EQ(a.config(R"({"demo":true})"), kOk);
  ASSERT_TRUE(waitUntil([&] { return a.title() == "Bohemian Rhapsody"; }, 3000, 20));

  EXPECT_EQ(a.config("this is not json"), kOk);
  EXPECT_EQ(a.config(""), kOk);
  EXPECT_EQ(a.config(R"({"blocklist":["Queen"])"), kOk);  // cut short: not JSON
  EXPECT_EQ(a.title(), "Bohemian Rhapsody");

  EXPECT_EQ(a.config("[]").first, 500);
  EXPECT_EQ(a.config(R"("demo")").first, 500);
  // A wrongly typed switch: nothing of the body is applied.
  EXPECT_EQ(a.config(R"({"blocklist":["Queen"],"demo":false,"yandex":1})").first, 500);
  EXPECT_EQ(a.title(), "Bohemian Rhapsody");
  // A wrongly typed "demo": the filter before it is applied, the demo stays on.
  EXPECT_EQ(a.config(R"({"yandex":false,"demo":"off"})").first, 500);
  EXPECT_EQ(a.nowPlaying(), kInactive);
  EXPECT_EQ(a.config(R"({"yandex":true})"), kOk);
  EXPECT_EQ(a.title(), "Bohemian Rhapsody");

  auto health = a.http->Get("/api/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
}

}  // namespace
}  // namespace tunelight
