#include "agent/sources/mpris_identify.h"

#include <gtest/gtest.h>

#include <limits>

namespace tunelight {
namespace {

TEST(MprisIdentify, PlayersBrowsersAndElectronApps) {
  AppIdentity a = identifyMprisPlayer("spotify", "Spotify");
  EXPECT_TRUE(a.handled);
  EXPECT_EQ(a.kind, kKindMediaApp);
  EXPECT_EQ(a.service, kServiceSpotify);
  EXPECT_EQ(a.app, "desktop");

  a = identifyMprisPlayer("vlc.instance4242", "VLC media player");
  EXPECT_EQ(a.player, "VLC");
  EXPECT_TRUE(a.isVideo);
  EXPECT_EQ(identifyMprisPlayer("mpv.instance77", "mpv").player, "mpv");
  EXPECT_EQ(identifyMprisPlayer("GnomeMusic", "").player, "GNOME Music");  // any letter case
  EXPECT_FALSE(identifyMprisPlayer("Rhythmbox", "Rhythmbox").isVideo);

  a = identifyMprisPlayer("firefox.instance_1_24", "Mozilla Firefox");
  EXPECT_EQ(a.kind, kKindMediaBrowser);
  EXPECT_EQ(a.service, kServiceUnknown);
  EXPECT_EQ(a.app, "firefox");
  EXPECT_EQ(identifyMprisPlayer("chrome.instance26232", "").app, "chrome");

  // Everything Chromium-based registers as chromium: the Identity decides.
  a = identifyMprisPlayer("chromium.instance575", "Chromium");
  EXPECT_EQ(a.kind, kKindMediaBrowser);
  EXPECT_EQ(a.player, "Chromium");
  EXPECT_EQ(identifyMprisPlayer("chromium.instance9", "Microsoft Edge").app, "edge");
  a = identifyMprisPlayer("chromium.instance575", "YouTube Music");
  EXPECT_EQ(a.kind, kKindMediaApp);
  EXPECT_EQ(a.service, kServiceYoutubeMusic);
  EXPECT_FALSE(identifyMprisPlayer("chromium.instance575", "Some Chat App").handled);

  // Proxies and duplicates of other players are not sessions of their own.
  EXPECT_FALSE(identifyMprisPlayer("plasma-browser-integration", "").handled);
  EXPECT_FALSE(identifyMprisPlayer("kdeconnect.mpris_000001", "").handled);
  EXPECT_FALSE(identifyMprisPlayer("", "").handled);
}

TEST(MprisIdentify, TimelineFromMicroseconds) {
  MediaTimeline t = mprisTimeline(183'500'000, 61'000'123, 1'700'000'000'123);
  EXPECT_EQ(t.startMs, 0);
  EXPECT_EQ(t.endMs, 183'500);
  EXPECT_EQ(t.positionMs, 61'000);
  EXPECT_EQ(t.updatedAtMs, 1'700'000'000'123);

  // Players report negative positions around track changes.
  EXPECT_EQ(mprisTimeline(1'000'000, -40'000, 5).positionMs, 0);
  // No length: no timeline at all.
  t = mprisTimeline(0, 5'000'000, 5);
  EXPECT_EQ(t.endMs, t.startMs);
  EXPECT_EQ(t.updatedAtMs, 0);
  // Absurd values must not overflow.
  t = mprisTimeline(std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max(), 5);
  EXPECT_GT(t.endMs, 0);
  EXPECT_GT(t.positionMs, 0);
}

TEST(MprisIdentify, CoverUrls) {
  EXPECT_EQ(fileUrlPath("file:///tmp/a%20b/%D0%BE%D0%B1.png"), "/tmp/a b/об.png");
  EXPECT_EQ(fileUrlPath("file://localhost/x.jpg"), "/x.jpg");
  EXPECT_EQ(fileUrlPath("FILE:///x.jpg"), "/x.jpg");
  EXPECT_FALSE(fileUrlPath("file://otherhost/x.jpg"));
  EXPECT_FALSE(fileUrlPath("file:///bad%2"));
  EXPECT_FALSE(fileUrlPath("file:///bad%zz"));
  EXPECT_FALSE(fileUrlPath("file:///nul%00byte"));
  EXPECT_FALSE(fileUrlPath("https://example.com/x.png"));
  EXPECT_FALSE(fileUrlPath("/tmp/x.png"));

  EXPECT_EQ(coverDownloadUrl("https://open.spotify.com/image/ab67616d0000b273"),
            "https://i.scdn.co/image/ab67616d0000b273");
  EXPECT_EQ(coverDownloadUrl("https://i.scdn.co/image/x"), "https://i.scdn.co/image/x");
}

TEST(MprisIdentify, TimelineAnchorKeepsAgreeingReadingsAndFollowsChanges) {
  MprisPlayerState s;
  s.status = "Playing";
  s.title = "Song";
  s.lengthUs = 200'000'000;
  s.positionUs = 10'000'000;
  TimelineAnchor a;
  anchorTimeline(a, s, 1000, false);
  EXPECT_EQ(a.positionUs, 10'000'000);
  EXPECT_EQ(a.atMs, 1000);

  // Readings that run with the clock, within 1 s either way, keep the pair.
  s.positionUs = 15'900'000;
  anchorTimeline(a, s, 6000, false);
  s.positionUs = 16'000'000;
  anchorTimeline(a, s, 7000, false);
  EXPECT_EQ(a.positionUs, 10'000'000);
  EXPECT_EQ(a.atMs, 1000);
  // A jump beyond the tolerance, a seek and a new track each give a new pair.
  s.positionUs = 18'100'000;
  anchorTimeline(a, s, 8000, false);
  EXPECT_EQ(a.atMs, 8000);
  s.positionUs = 18'600'000;
  anchorTimeline(a, s, 8500, true);
  EXPECT_EQ(a.atMs, 8500);
  s.title = "Next";
  s.positionUs = 19'100'000;
  anchorTimeline(a, s, 9000, false);
  EXPECT_EQ(a.atMs, 9000);

  // Paused: the position stands; the clock moving on changes nothing.
  s.status = "Paused";
  anchorTimeline(a, s, 9500, false);
  EXPECT_EQ(a.atMs, 9500);  // the status changed
  anchorTimeline(a, s, 60'000, false);
  EXPECT_EQ(a.atMs, 9500);
  s.positionUs = 20'200'000;  // moved while paused
  anchorTimeline(a, s, 61'000, false);
  EXPECT_EQ(a.atMs, 61'000);

  // At double speed the position runs twice as fast; a changed rate is a new pair.
  s.status = "Playing";
  s.rate = 2.0;
  s.positionUs = 0;
  anchorTimeline(a, s, 100'000, false);
  s.positionUs = 8'000'000;
  anchorTimeline(a, s, 104'000, false);
  EXPECT_EQ(a.atMs, 100'000);
  s.rate = 1.0;
  anchorTimeline(a, s, 104'000, false);
  EXPECT_EQ(a.atMs, 104'000);
  // Negative positions count as 0.
  s.positionUs = -50'000;
  anchorTimeline(a, s, 200'000, true);
  EXPECT_EQ(a.positionUs, 0);
}

TEST(MprisIdentify, ImageSignatures) {
  EXPECT_EQ(imageTypeFromSignature(std::string("\x89PNG\r\n\x1A\n", 8)), "image/png");
  EXPECT_EQ(imageTypeFromSignature("\xFF\xD8\xFF\xE0"), "image/jpeg");
  EXPECT_EQ(imageTypeFromSignature("GIF87a"), "image/gif");
  EXPECT_EQ(imageTypeFromSignature("GIF89a"), "image/gif");
  EXPECT_EQ(imageTypeFromSignature(std::string("RIFF\0\0\0\0WEBP", 12)), "image/webp");
  // Near misses: too short, a damaged signature, another RIFF format, text.
  EXPECT_EQ(imageTypeFromSignature(std::string("\x89PNG\r\n\x1A", 7)), "");
  EXPECT_EQ(imageTypeFromSignature(std::string("\x89PNG\n\n\x1A\n", 8)), "");
  EXPECT_EQ(imageTypeFromSignature("\xFF\xD8"), "");
  EXPECT_EQ(imageTypeFromSignature("GIF88a"), "");
  EXPECT_EQ(imageTypeFromSignature(std::string("RIFF\0\0\0\0WAVE", 12)), "");
  EXPECT_EQ(imageTypeFromSignature("RIFF\0\0\0\0WEB"), "");
  EXPECT_EQ(imageTypeFromSignature("root:x:0:0:root"), "");
  EXPECT_EQ(imageTypeFromSignature(""), "");
}

}  // namespace
}  // namespace tunelight
