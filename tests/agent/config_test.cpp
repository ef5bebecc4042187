#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "agent/agent_config.h"
#include "agent/demo_source.h"
#include "agent/hub.h"
#include "agent/text_output.h"
#include "tests/agent/demo_fake_time.h"
#include "tests/support/agent_process.h"

namespace tunelight {
namespace {

using nlohmann::json;
using test::DemoFakeTime;

struct ConfigUnderTest {
  test::TempDir tmp;
  DemoFakeTime time;
  Hub hub{50, [this] { return time.now(); }};
  TextOutput out{hub};  // not started: passes are run by hand
  DemoSource demo{hub, [this] { return time.now(); }, [this](int64_t ms) { time.sleep(ms); }};
  ConfigTargets targets{{}, hub, out, demo};

  ~ConfigUnderTest() {
    time.release();
    demo.stop();
  }
  void apply(const std::string& body) { applyConfig(targets, body); }
  bool demoEnabled() {
    MutexLock lock(targets.configLock);
    return targets.demoEnabled;
  }
  json doc() { return json::parse(hub.snapshot().first); }
};

using Switch = bool FilterSettings::*;
const std::vector<std::pair<const char*, Switch>> kSwitches = {
    {"yandex", &FilterSettings::yandex},
    {"vk", &FilterSettings::vk},
    {"spotify", &FilterSettings::spotify},
    {"appleMusic", &FilterSettings::appleMusic},
    {"youtubeMusic", &FilterSettings::youtubeMusic},
    {"youtube", &FilterSettings::youtube},
    {"soundcloud", &FilterSettings::soundcloud},
    {"deezer", &FilterSettings::deezer},
    {"tidal", &FilterSettings::tidal},
    {"amazonMusic", &FilterSettings::amazonMusic},
    {"otherPlayers", &FilterSettings::otherPlayers},
    {"videoPlayers", &FilterSettings::videoPlayers},
    {"browserWithoutExtension", &FilterSettings::browserWithoutExtension},
};

std::vector<bool> switches(const FilterSettings& s) {
  std::vector<bool> v;
  for (const auto& sw : kSwitches) v.push_back(s.*sw.second);
  return v;
}

TEST(AgentConfig, EachSwitchKeySetsItsOwnSwitchOnly) {
  for (size_t i = 0; i < kSwitches.size(); ++i) {
    SCOPED_TRACE(kSwitches[i].first);
    ConfigUnderTest t;
    std::vector<bool> expected = switches(FilterSettings());
    expected[i] = !expected[i];
    t.apply(json{{kSwitches[i].first, static_cast<bool>(expected[i])}}.dump());
    EXPECT_EQ(switches(t.hub.settings()), expected);
    t.apply("{}");  // missing keys keep their values
    EXPECT_EQ(switches(t.hub.settings()), expected);
  }
}

TEST(AgentConfig, BlocklistIsReplacedOnlyByAnArray) {
  ConfigUnderTest t;
  using List = std::vector<std::string>;
  t.apply(R"({"blocklist":["Queen","x - y"]})");
  EXPECT_EQ(t.hub.settings().blocklist, (List{"Queen", "x - y"}));
  t.apply(R"({"blocklist":"Queen"})");
  EXPECT_EQ(t.hub.settings().blocklist, (List{"Queen", "x - y"}));
  t.apply(R"({"yandex":false})");
  EXPECT_EQ(t.hub.settings().blocklist, (List{"Queen", "x - y"}));
  t.apply(R"({"blocklist":["a",1,null,"b",{},["c"]]})");
  EXPECT_EQ(t.hub.settings().blocklist, (List{"a", "b"}));
  t.apply(R"({"blocklist":[]})");
  EXPECT_EQ(t.hub.settings().blocklist, List{});
}

TEST(AgentConfig, ABodyThatIsNotJsonChangesNothing) {
  ConfigUnderTest t;
  t.apply(R"({"yandex":false,"blocklist":["Queen"]})");
  for (const char* body : {"", "not json", "{", R"({"yandex":true,"demo":true)", "[1,"}) {
    EXPECT_NO_THROW(t.apply(body)) << body;
    EXPECT_FALSE(t.hub.settings().yandex) << body;
    EXPECT_EQ(t.hub.settings().blocklist.size(), 1u) << body;
    EXPECT_FALSE(t.demoEnabled()) << body;
  }
}

TEST(AgentConfig, AWrongShapeOrTypeThrowsBeforeAnythingIsApplied) {
  ConfigUnderTest t;
  const std::string dir = t.tmp.file("out");
  for (const std::string& body :
       {std::string("[]"), std::string(R"([{"yandex":false}])"), std::string("42"),
        std::string(R"("text")"), std::string("null"), std::string("true"),
        std::string(R"({"yandex":1})"), std::string(R"({"vk":"false"})"),
        std::string(R"({"browserWithoutExtension":null})"),
        R"({"yandex":false,"blocklist":["Queen"],"outputDir":")" + dir +
            R"(","demo":true,"videoPlayers":0})"}) {
    SCOPED_TRACE(body);
    EXPECT_ANY_THROW(t.apply(body));
    EXPECT_EQ(switches(t.hub.settings()), switches(FilterSettings()));
    EXPECT_TRUE(t.hub.settings().blocklist.empty());
    EXPECT_FALSE(t.demoEnabled());
  }
  t.out.writePass();
  EXPECT_FALSE(test::fileExists(dir));
  EXPECT_TRUE(t.hub.health().sources.empty());
  // The lock is free again after an error.
  const bool free = t.targets.configLock.try_lock();
  EXPECT_TRUE(free);
  if (free) t.targets.configLock.unlock();
}

TEST(AgentConfig, AMistypedDemoThrowsAfterFilterAndDirectoryWereApplied) {
  ConfigUnderTest t;
  const std::string dir = t.tmp.file("out");
  EXPECT_ANY_THROW(t.apply(R"({"yandex":false,"outputDir":")" + dir + R"(","demo":"yes"})"));
  EXPECT_FALSE(t.hub.settings().yandex);
  EXPECT_FALSE(t.demoEnabled());
  t.out.writePass();
  EXPECT_EQ(test::readFile(dir + "/nowplaying.json"), R"({"active":false})");
}

TEST(AgentConfig, DemoSwitchStartsOnceStopsAndFiltersApplyAtOnce) {
  ConfigUnderTest t;
  const int64_t t0 = DemoFakeTime::kStart;
  t.apply(R"({"demo":true})");
  EXPECT_TRUE(t.demoEnabled());
  t.time.runUntil(t0);
  EXPECT_EQ(t.doc()["title"], "Bohemian Rhapsody");

  t.apply(R"({"yandex":false})");
  EXPECT_EQ(t.doc()["active"], false);
  t.apply(R"({"yandex":true})");
  EXPECT_EQ(t.doc()["title"], "Bohemian Rhapsody");

  // Song 2: a blocklist entry naming its second artist hides it.
  t.time.runUntil(t0 + 25000);
  EXPECT_EQ(t.doc()["service"], "vk");
  t.apply(R"({"blocklist":["The London Symphony Orchestra"]})");
  EXPECT_EQ(t.doc()["active"], false);
  t.apply(R"({"blocklist":[]})");
  EXPECT_EQ(t.doc()["service"], "vk");

  // A second "on" does not restart the script from song 1.
  t.apply(R"({"demo":true})");
  t.time.runUntil(t0 + 25050);
  EXPECT_EQ(t.doc()["service"], "vk");

  t.time.release();
  t.apply(R"({"demo":false})");
  EXPECT_FALSE(t.demoEnabled());
  EXPECT_TRUE(t.hub.health().sources.empty());
  EXPECT_EQ(t.doc()["active"], false);
}

TEST(AgentConfig, OutputDirectoryIsSetAndAnEmptyOneStopsWriting) {
  ConfigUnderTest t;
  const std::string dir = t.tmp.file("out");
  t.apply(R"({"outputDir":")" + dir + R"("})");
  t.out.writePass();
  EXPECT_EQ(test::readFile(dir + "/nowplaying.json"), R"({"active":false})");

  t.apply(R"({"outputDir":42})");  // not a string: the directory stays
  SourceRecord r;
  r.sourceKey = "smtc:x";
  r.title = "One";
  r.status = kStatusPlaying;
  t.hub.putSource(r);
  t.out.writePass();
  EXPECT_EQ(test::readFile(dir + "/title.txt"), "One");

  t.apply(R"({"outputDir":""})");
  r.title = "Two";
  t.hub.putSource(r);
  t.out.writePass();
  EXPECT_EQ(test::readFile(dir + "/title.txt"), "One");
}

TEST(AgentConfig, CallsAreSerialisedByTheConfigLock) {
  ConfigUnderTest t;
  MutexLock held(t.targets.configLock);
  std::thread other([&] { t.apply(R"({"yandex":false})"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(t.hub.settings().yandex);
  held.unlock();
  other.join();
  EXPECT_FALSE(t.hub.settings().yandex);
}

TEST(AgentConfig, AfterTheDemoIsClosedConfigurationCannotStartIt) {
  ConfigUnderTest t;
  t.apply(R"({"demo":true})");
  t.time.runUntil(DemoFakeTime::kStart);  // song 1 is up
  ASSERT_EQ(t.hub.health().sources.size(), 1u);
  t.time.release();
  closeDemo(t.targets);
  EXPECT_TRUE(t.hub.health().sources.empty());
  t.apply(R"({"demo":true,"yandex":false})");  // still answered; the filter still applies
  EXPECT_FALSE(t.hub.settings().yandex);
  EXPECT_FALSE(t.demoEnabled());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(t.hub.health().sources.empty());
}

}  // namespace
}  // namespace tunelight
