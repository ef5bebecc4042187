#include "agent/model.h"

#include <gtest/gtest.h>

namespace tunelight {
namespace {

SourceRecord fullRecord() {
  SourceRecord r;
  r.sourceKey = "smtc:Spotify.exe";
  r.kind = kKindMediaApp;
  r.service = kServiceSpotify;
  r.app = "desktop";
  r.player = "Spotify";
  r.title = "Song";
  r.artist = "Artist";
  r.album = "Album";
  r.durationMs = 200000;
  r.positionMs = 1500;
  r.positionAt = 1700000000123;
  r.status = kStatusPlaying;
  r.coverId = "0123456789abcdef";
  return r;
}

TEST(NowPlayingJson, DocumentsAreByteExact) {
  EXPECT_EQ(nowPlayingJson(std::nullopt), "{\"active\":false}");

  SourceRecord r = fullRecord();
  r.controls = kControlAll;
  EXPECT_EQ(nowPlayingJson(r, 1700000000456),
            "{\"active\":true,\"album\":\"Album\",\"app\":\"desktop\",\"artist\":\"Artist\","
            "\"controls\":[\"playPause\",\"play\",\"pause\",\"next\",\"previous\"],"
            "\"coverUrl\":\"/cover/0123456789abcdef\",\"durationMs\":200000,\"kind\":\"smtc-app\","
            "\"player\":\"Spotify\",\"positionAt\":1700000000123,\"positionMs\":1500,"
            "\"service\":\"spotify\",\"showAt\":1700000000456,\"source\":\"smtc:Spotify.exe\","
            "\"status\":\"playing\","
            "\"title\":\"Song\",\"trackId\":\"" +
                trackId(r) + "\"}");

  SourceRecord bare;
  bare.title = "T";
  bare.status = static_cast<PlaybackStatus>(7);
  bare.kind = static_cast<SourceKind>(9);
  bare.service = static_cast<ServiceId>(42);
  EXPECT_EQ(nowPlayingJson(bare),
            "{\"active\":true,\"album\":null,\"app\":\"\",\"artist\":\"\",\"controls\":[],"
            "\"coverUrl\":null,\"durationMs\":null,\"kind\":\"mock\",\"player\":\"\","
            "\"positionAt\":0,\"positionMs\":null,\"service\":\"unknown\",\"showAt\":null,"
            "\"source\":\"\",\"status\":\"stopped\","
            "\"title\":\"T\",\"trackId\":\"" +
                trackId(bare) + "\"}");
}

TEST(NowPlayingJson, EscapesOnlyWhatJsonRequires) {
  SourceRecord r;
  r.title =
      "a\"b\\c/d\te\x1f \xD0\x9F\xD1\x80\xD0\xB8";  // quote, backslash, slash, tab, US, Cyrillic
  const std::string json = nowPlayingJson(r);
  EXPECT_NE(json.find("\"title\":\"a\\\"b\\\\c/d\\te\\u001f \xD0\x9F\xD1\x80\xD0\xB8\""),
            std::string::npos)
      << json;
}

TEST(NowPlayingJson, InvalidUtf8BecomesReplacementCharacter) {
  SourceRecord r;
  r.title = std::string("ok\xff\xfe end");
  r.artist = std::string("\xD0");  // truncated sequence
  std::string json;
  ASSERT_NO_THROW(json = nowPlayingJson(r));
  EXPECT_NE(json.find("\"title\":\"ok\xEF\xBF\xBD\xEF\xBF\xBD end\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"artist\":\"\xEF\xBF\xBD\""), std::string::npos) << json;
}

TEST(MatchKey, NormalisesBlanksAndCase) {
  EXPECT_EQ(matchKey("  The \t  BEATLES \r\n"), "the beatles");
  EXPECT_EQ(matchKey(""), "");
  EXPECT_EQ(matchKey(" \t "), "");
  // Russian capitals fold, including Ё; other letters are left alone.
  EXPECT_EQ(matchKey("\xD0\x90\xD0\x9F\xD0\xA0\xD0\xAF\xD0\x81"),
            "\xD0\xB0\xD0\xBF\xD1\x80\xD1\x8F\xD1\x91");
  EXPECT_EQ(matchKey("\xC3\x89t\xC3\xA9"), "\xC3\x89t\xC3\xA9");  // É not folded
  EXPECT_EQ(matchKey("A\xD0"), "a\xD0");                          // lone lead byte at the end
}

TEST(TrackIdentity, SameSongWhateverCaseAndSpacing) {
  SourceRecord a, b;
  a.artist = "Queen";
  a.title = "Bohemian   Rhapsody";
  b.artist = " QUEEN ";
  b.title = "bohemian rhapsody\t";
  EXPECT_EQ(trackKey(a), "queen|bohemian rhapsody");
  EXPECT_EQ(trackId(a), trackId(b));
  EXPECT_EQ(trackId(a).size(), 12u);
  b.title = "Bohemian Rhapsody (Live)";
  EXPECT_NE(trackId(a), trackId(b));

  SourceRecord c, d;
  c.artist = "\xD0\x9A\xD0\x98\xD0\x9D\xD0\x9E";  // КИНО
  d.artist = "\xD0\xBA\xD0\xB8\xD0\xBD\xD0\xBE";  // кино
  EXPECT_EQ(trackId(c), trackId(d));
}

TEST(Hashing, FnvAndHex) {
  EXPECT_EQ(hex16(fnv1a64("")), "cbf29ce484222325");
  EXPECT_EQ(hex16(fnv1a64("a")), "af63dc4c8601ec8c");
  EXPECT_EQ(hex16(0x1f), "000000000000001f");
}

TEST(CutUtf8, NeverSplitsACharacter) {
  const std::string s = "ab\xD0\x9F\xE2\x80\x94";  // a b П —
  EXPECT_EQ(cutUtf8(s, 100), s);
  EXPECT_EQ(cutUtf8(s, 3), "ab");
  EXPECT_EQ(cutUtf8(s, 4), "ab\xD0\x9F");
  EXPECT_EQ(cutUtf8(s, 6), "ab\xD0\x9F");
  EXPECT_EQ(cutUtf8(s, 7), s);
}

}  // namespace
}  // namespace tunelight
