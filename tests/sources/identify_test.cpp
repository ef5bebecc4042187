#include "agent/sources/identify.h"

#include <gtest/gtest.h>

namespace tunelight {
namespace {

struct Case {
  const char* aumid;
  bool handled;
  int32_t kind;
  int32_t service;
  const char* app;
  const char* player;
  bool isVideo;
};

TEST(IdentifyAppTest, Table) {
  const Case cases[] = {
      {"Spotify.exe", true, kKindMediaApp, kServiceSpotify, "desktop", "Spotify", false},
      {"SPOTIFY.EXE", true, kKindMediaApp, kServiceSpotify, "desktop", "Spotify", false},
      {"C:\\Program Files\\foobar2000\\foobar2000.exe", true, kKindMediaApp, kServiceOther,
       "desktop", "foobar2000", false},
      {"/opt/players/VLC.exe", true, kKindMediaApp, kServiceOther, "desktop", "VLC", true},
      {"49586DaveAntoine.MediaControllerforiTunes_h3t9ksh0vhsja!App", true, kKindMediaApp,
       kServiceAppleMusic, "store", "iTunes", false},
      {"com.github.th-ch.youtube-music", true, kKindMediaApp, kServiceYoutubeMusic, "desktop",
       "YouTube Music", false},
      {"NimiGames68.AimpSmtc", true, kKindMediaApp, kServiceOther, "store", "AIMP", false},
      {"50072StevenMayall.MusicBee_kcr266et74avj!MusicBee", true, kKindMediaApp, kServiceOther,
       "store", "MusicBee", false},
      {"org.jeffvli.feishin", true, kKindMediaApp, kServiceOther, "desktop", "Feishin", false},
      {"18496Starpine.Screenbox_rm8wvch11q4my!App", true, kKindMediaApp, kServiceOther, "store",
       "Screenbox", true},
      // Installed web apps.
      {"music.youtube.com-5929F88E_v6b2kxsy0mbmp!App", true, kKindMediaApp, kServiceYoutubeMusic,
       "pwa", "YouTube Music", false},
      {"www.youtube.com-3E8A2B1_q1w2e3r4!App", true, kKindMediaApp, kServiceYoutube, "pwa",
       "YouTube", true},
      {"example.com-5929F88E_v6b2kxsy0mbmp!App", false, kKindMediaApp, kServiceUnknown, "", "",
       false},
      {"music.youtube.com-5929F_v6b!App", false, kKindMediaApp, kServiceUnknown, "", "", false},
      // Browsers.
      {"Chrome", true, kKindMediaBrowser, kServiceUnknown, "chrome", "Chrome", false},
      {"chrome.exe.beta", false, kKindMediaApp, kServiceUnknown, "", "", false},
      {"OperaSoftware.OperaWebBrowser", true, kKindMediaBrowser, kServiceUnknown, "opera", "Opera",
       false},
      {"308046B0AF4A39CB", true, kKindMediaBrowser, kServiceUnknown, "firefox", "Firefox", false},
      {"308046B0AF4A39C", false, kKindMediaApp, kServiceUnknown, "", "", false},
      {"308046B0AF4A39CBA", false, kKindMediaApp, kServiceUnknown, "", "", false},
      {"308046B0AF4A39CG", false, kKindMediaApp, kServiceUnknown, "", "", false},
      {"", false, kKindMediaApp, kServiceUnknown, "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.aumid);
    AppIdentity id = identifyApp(c.aumid);
    EXPECT_EQ(id.handled, c.handled);
    EXPECT_EQ(id.kind, c.kind);
    EXPECT_EQ(id.service, c.service);
    EXPECT_EQ(id.app, c.app);
    EXPECT_EQ(id.player, c.player);
    EXPECT_EQ(id.isVideo, c.isVideo);
  }
}

TEST(IdentifyAppTest, ExactAndPrefixRows) {
  // "wacup" is exact: a longer id is not WACUP.
  EXPECT_FALSE(identifyApp("wacup2").handled);
  // "cidercollective.cider" is a prefix row.
  EXPECT_EQ(identifyApp("CiderCollective.Cider_abc!App").player, "Cider");
  EXPECT_TRUE(identifyApp("VideoLAN.VLC_paz6r1rewnh0a!App").isVideo);
  // A known executable behind a path wins over the browser checks.
  EXPECT_EQ(identifyApp("D:/Apps/msedge/../Spotify.exe").service, kServiceSpotify);
}

TEST(ServiceFromNameTest, ExactNamesOnly) {
  EXPECT_EQ(serviceFromName("yandex"), kServiceYandex);
  EXPECT_EQ(serviceFromName("youtube"), kServiceYoutube);
  EXPECT_EQ(serviceFromName("youtube-music"), kServiceYoutubeMusic);
  EXPECT_EQ(serviceFromName("amazon-music"), kServiceAmazonMusic);
  EXPECT_EQ(serviceFromName("other"), kServiceOther);
  EXPECT_EQ(serviceFromName("YouTube"), kServiceUnknown);
  EXPECT_EQ(serviceFromName("unknown"), kServiceUnknown);
  EXPECT_EQ(serviceFromName(""), kServiceUnknown);
  EXPECT_EQ(serviceFromName("spotify "), kServiceUnknown);
}

}  // namespace
}  // namespace tunelight
