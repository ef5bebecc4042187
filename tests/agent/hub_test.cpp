#include "agent/hub.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tunelight {
namespace {

class HubTest : public ::testing::Test {
 protected:
  int64_t now = 1000000;
  Hub hub{50, [this] { return now; }};

  static SourceRecord rec(const std::string& key, SourceKind kind, const std::string& artist,
                          const std::string& title, PlaybackStatus status = kStatusPlaying) {
    SourceRecord r;
    r.sourceKey = key;
    r.kind = kind;
    r.artist = artist;
    r.title = title;
    r.status = status;
    return r;
  }
  std::string current() { return hub.snapshot().first; }
  // Waits until the change counter differs from since or timeoutMs passed, as a reader that
  // follows the Hub through a listener does.
  uint64_t waitChange(uint64_t since, int32_t timeoutMs) {
    std::mutex mu;
    std::condition_variable cv;
    const size_t id = hub.addListener([&] {
      std::lock_guard<std::mutex> lock(mu);
      cv.notify_all();
    });
    {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                  [&] { return hub.changeCounter() != since; });
    }
    hub.removeListener(id);
    return hub.changeCounter();
  }
  bool shows(const std::string& title) {
    return current().find("\"title\":\"" + title + "\"") != std::string::npos;
  }
};

TEST_F(HubTest, PlayingBeatsPausedAndLaterStartWins) {
  hub.putSource(rec("smtc:a", kKindMediaApp, "A", "Paused", kStatusPaused));
  now += 10;
  hub.putSource(rec("smtc:b", kKindMediaBrowser, "B", "Tab"));
  now += 10;
  hub.putSource(rec("smtc:a", kKindMediaApp, "A", "Paused", kStatusPaused));  // newer, still paused
  EXPECT_TRUE(shows("Tab"));

  hub.putSource(rec("smtc:c", kKindMediaApp, "C", "Later"));
  EXPECT_TRUE(shows("Later"));
  now += 10;
  hub.putSource(rec("smtc:b", kKindMediaBrowser, "B", "Tab"));  // refresh keeps playingSince
  EXPECT_TRUE(shows("Later"));

  // A playing record with local=false loses to any local playing one, however recent.
  now += 10;
  SourceRecord remote = rec("ext:r", kKindExtension, "R", "Remote");
  remote.local = false;
  hub.putSource(remote);
  EXPECT_TRUE(shows("Later"));
}

TEST_F(HubTest, StartTimeCountsBeforeTheKindOfSource) {
  SourceRecord ext = rec("ext:1", kKindExtension, "A", "An Hour Old");
  ext.playingSince = now - 3600000;
  hub.putSource(ext);
  hub.putSource(rec("smtc:tab", kKindMediaBrowser, "B", "Just Started"));
  EXPECT_TRUE(shows("Just Started"));
}

TEST_F(HubTest, FullyTiedScoresGoToTheSmallerTrackKey) {
  // Same status, start time and kind; the source keys sort the other way round.
  hub.putSource(rec("smtc:a", kKindMediaApp, "Artist", "Beta"));
  hub.putSource(rec("smtc:b", kKindMediaApp, "Artist", "Alpha"));
  EXPECT_TRUE(shows("Alpha"));
  hub.putSource(rec("smtc:c", kKindMediaApp, "Artist", "Gamma"));
  EXPECT_TRUE(shows("Alpha"));
}

TEST_F(HubTest, EmptyTitleNeverCurrent) {
  hub.putSource(rec("smtc:a", kKindMediaApp, "A", ""));
  EXPECT_EQ(current(), "{\"active\":false}");
  EXPECT_EQ(hub.changeCounter(), 0u);
}

TEST_F(HubTest, ServiceSwitches) {
  SourceRecord yt = rec("ext:1", kKindExtension, "A", "Video");
  yt.service = kServiceYoutube;
  hub.putSource(yt);
  EXPECT_EQ(current(), "{\"active\":false}");

  SourceRecord vlc = rec("smtc:vlc", kKindMediaApp, "B", "Film");
  vlc.service = kServiceOther;
  vlc.isVideo = true;
  now += 1000;
  hub.putSource(vlc);
  EXPECT_EQ(current(), "{\"active\":false}");
  // Playing but kept off by a switch: the Hub names the song that would be shown, and the
  // switch that hides it.
  ASSERT_TRUE(hub.health().filtered.has_value());
  EXPECT_EQ(switchKey(*hub.health().filtered), "videoPlayers");
  vlc.status = kStatusPaused;
  hub.putSource(vlc);
  EXPECT_EQ(switchKey(*hub.health().filtered), "youtube");
  vlc.status = kStatusPlaying;
  vlc.isVideo = false;
  hub.putSource(vlc);
  EXPECT_TRUE(shows("Film"));
  EXPECT_FALSE(hub.health().filtered.has_value());
  hub.removeSource("smtc:vlc");
  hub.removeSource("ext:1");
  EXPECT_FALSE(hub.health().filtered.has_value());

  FilterSettings off;
  off.yandex = off.vk = off.spotify = off.appleMusic = off.youtubeMusic = off.soundcloud =
      off.deezer = off.tidal = off.amazonMusic = off.otherPlayers = off.browserWithoutExtension =
          false;
  hub.setSettings(off);
  hub.putSource(rec("smtc:app", kKindMediaApp, "C", "Unknown app"));  // unknown service, app kind
  EXPECT_TRUE(shows("Unknown app"));
  hub.removeSource("smtc:app");
  hub.putSource(rec("smtc:chrome", kKindMediaBrowser, "D", "Browser"));
  EXPECT_EQ(current(), "{\"active\":false}");
  off.browserWithoutExtension = true;
  hub.setSettings(off);
  EXPECT_TRUE(shows("Browser"));
}

TEST_F(HubTest, MergesOneSongFromSeveralSources) {
  SourceRecord session = rec("smtc:chrome", kKindMediaBrowser, "Artist", "Song");
  session.service = kServiceYandex;
  session.album = "Session album";
  session.coverId = "00000000000000aa";
  session.durationMs = 1000;
  session.positionMs = 10;
  session.positionAt = 5;
  hub.putSource(session);
  now += 100;
  SourceRecord ext = rec("ext:tab", kKindExtension, " ARTIST ", "song");
  ext.app = "chrome";
  hub.putSource(ext);

  const std::string doc = current();
  EXPECT_NE(doc.find("\"source\":\"ext:tab\""), std::string::npos) << doc;  // extension primary
  EXPECT_NE(doc.find("\"coverUrl\":\"/cover/00000000000000aa\""), std::string::npos);
  EXPECT_NE(doc.find("\"service\":\"yandex\""), std::string::npos);
  EXPECT_NE(doc.find("\"durationMs\":1000"), std::string::npos);
  EXPECT_NE(doc.find("\"positionAt\":5"), std::string::npos);
  EXPECT_NE(doc.find("\"album\":null"), std::string::npos);  // never from a browser session

  // Duration is only borrowed from a member in the same state.
  session.status = kStatusPaused;
  hub.putSource(session);
  EXPECT_NE(current().find("\"durationMs\":null"), std::string::npos);
}

TEST_F(HubTest, BlocklistRulesAndHiddenRecord) {
  SourceRecord r = rec("mock:demo", kKindMock, "The Beatles feat. The London Symphony Orchestra",
                       "Lucy In The Sky With Diamonds - Remastered 2009 (Original Mono Version)");
  hub.putSource(r);
  const auto blockedBy = [&](std::vector<std::string> list) {
    FilterSettings s;
    s.blocklist = std::move(list);
    hub.setSettings(s);
    return current() == "{\"active\":false}";
  };
  EXPECT_TRUE(blockedBy({"the london  symphony orchestra"}));
  EXPECT_TRUE(blockedBy({"THE BEATLES"}));
  EXPECT_TRUE(blockedBy({"The Beatles - Lucy in the Sky with Diamonds"}));
  EXPECT_TRUE(blockedBy({"the beatles \xE2\x80\x94 lucy in the sky with diamonds"}));  // em dash
  EXPECT_TRUE(blockedBy({"The Beatles \xE2\x80\x93 Lucy In The Sky With Diamonds"}));  // en dash
  EXPECT_TRUE(blockedBy({"Lucy In The Sky With Diamonds"}));
  EXPECT_FALSE(blockedBy({"Queen - Lucy In The Sky With Diamonds"}));
  EXPECT_FALSE(blockedBy({"Beatles", "  ", "Sky"}));
  ASSERT_TRUE(blockedBy({"The Beatles"}));
  auto hidden = hub.health().hidden;
  ASSERT_TRUE(hidden.has_value());
  EXPECT_EQ(hidden->sourceKey, "mock:demo");
  r.status = kStatusPaused;
  hub.putSource(r);
  EXPECT_FALSE(hub.health().hidden.has_value());

  EXPECT_EQ(splitArtists("a, b & c ft d"),
            (std::vector<std::string>{"a, b & c ft d", "a", "b", "c", "d"}));
  EXPECT_EQ(baseTitle("song (live) - x"), "song");
}

TEST_F(HubTest, StateTimesAndChangeSignals) {
  hub.putSource(rec("s", kKindMediaApp, "A", "One"));
  const uint64_t c1 = hub.changeCounter();
  now += 100;
  hub.putSource(rec("s", kKindMediaApp, "A", "One"));
  EXPECT_EQ(hub.changeCounter(), c1);  // identical document: nobody woken
  auto s = hub.health().sources.at(0);
  EXPECT_EQ(s.stateSince, 1000000);
  EXPECT_EQ(s.playingSince, 1000000);

  now += 100;
  hub.putSource(rec("s", kKindMediaApp, "A", "Two"));  // next song while playing
  s = hub.health().sources.at(0);
  EXPECT_EQ(s.playingSince, 1000000);
  EXPECT_EQ(s.stateSince, 1000200);

  now += 100;
  hub.putSource(rec("s", kKindMediaApp, "A", "Two", kStatusPaused));
  now += 100;
  hub.putSource(rec("s", kKindMediaApp, "A", "Two"));
  EXPECT_EQ(hub.health().sources.at(0).playingSince, 1000400);
}

TEST_F(HubTest, CoverStoreEvictsOldestWithoutRenewal) {
  Hub small(3, [this] { return now; });
  const std::string a = small.putCover("image/png", "A");
  EXPECT_EQ(a, hex16(fnv1a64("A")));
  small.putCover("image/png", "B");
  small.putCover("image/png", "C");
  EXPECT_EQ(small.putCover("image/jpeg", "A"), a);  // same bytes: same id, not renewed
  EXPECT_EQ(small.cover(a)->contentType, "image/png");
  small.putCover("image/png", "D");
  EXPECT_FALSE(small.cover(a).has_value());
  EXPECT_TRUE(small.cover(hex16(fnv1a64("D"))).has_value());
  EXPECT_EQ(small.changeCounter(), 0u);
}

TEST_F(HubTest, ListenersWakeAWaiterOnAChange) {
  const uint64_t c = hub.changeCounter();
  EXPECT_EQ(waitChange(c + 5, 15000), c);  // stale: returns at once
  EXPECT_EQ(waitChange(c, 20), c);         // times out unchanged
  std::thread waker([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    hub.putSource(rec("s", kKindMediaApp, "A", "One"));
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waitChange(c, 15000), c + 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  waker.join();
}

TEST_F(HubTest, HistoryOfPlayedSongs) {
  EXPECT_EQ(hub.historyJson(), "[]");
  hub.putSource(rec("s", kKindMediaApp, "A", "First", kStatusPaused));
  EXPECT_EQ(hub.historyJson(), "[]");  // paused songs do not count
  now = 2000;
  hub.putSource(rec("s", kKindMediaApp, "A", "First"));
  now = 3000;
  SourceRecord b = rec("s", kKindMediaApp, "B", "Second");
  b.service = kServiceVk;
  b.album = "LP";
  hub.putSource(b);
  b.coverId = "00000000000000cc";
  hub.putSource(b);  // cover arrives later: filled into the newest entry
  now = 4000;
  hub.putSource(rec("s", kKindMediaApp, "a", "FIRST"));
  EXPECT_EQ(hub.historyJson(),
            "[{\"album\":null,\"artist\":\"a\",\"coverUrl\":null,\"service\":\"unknown\","
            "\"startedAt\":4000,\"title\":\"FIRST\"},"
            "{\"album\":\"LP\",\"artist\":\"B\",\"coverUrl\":\"/cover/00000000000000cc\","
            "\"service\":\"vk\",\"startedAt\":3000,\"title\":\"Second\"},"
            "{\"album\":null,\"artist\":\"A\",\"coverUrl\":null,\"service\":\"unknown\","
            "\"startedAt\":2000,\"title\":\"First\"}]");

  for (int i = 0; i < 25; ++i)
    hub.putSource(rec("s", kKindMediaApp, "X", "Song " + std::to_string(i)));
  const std::string h = hub.historyJson();
  size_t entries = 0;
  for (size_t at = h.find("startedAt"); at != std::string::npos; at = h.find("startedAt", at + 1))
    ++entries;
  EXPECT_EQ(entries, 20u);
  EXPECT_EQ(h.find("Song 4\""), std::string::npos);  // the oldest fell out
  EXPECT_NE(h.find("Song 5\""), std::string::npos);
}

}  // namespace
}  // namespace tunelight
