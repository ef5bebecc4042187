#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/hub.h"
#include "agent/log.h"
#include "agent/platform/fs.h"
#include "agent/text_output.h"
#include "tests/support/agent_process.h"

namespace tunelight {
namespace {

namespace stdfs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::waitUntil;

const std::array<std::string, 6> kFiles = {"track.txt", "title.txt", "artist.txt",
                                           "album.txt", "cover.jpg", "nowplaying.json"};

// Collects log lines while installed.
class LogCapture {
 public:
  LogCapture() { previous_ = setSink(&LogCapture::sink); }
  ~LogCapture() { setSink(previous_); }
  static std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mu());
    return store();
  }
  static void clear() {
    std::lock_guard<std::mutex> lock(mu());
    store().clear();
  }

 private:
  static void sink(int32_t level, const std::string& message) {
    std::lock_guard<std::mutex> lock(mu());
    store().push_back(std::string(logLevelName(level)) + ": " + message);
  }
  static std::mutex& mu() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& store() {
    static std::vector<std::string> s;
    return s;
  }
  LogSink previous_;
};

SourceRecord song(const std::string& title, const std::string& artist) {
  SourceRecord r;
  r.sourceKey = "smtc:player";
  r.kind = kKindMediaApp;
  r.service = kServiceSpotify;
  r.title = title;
  r.artist = artist;
  r.status = kStatusPlaying;
  r.durationMs = 200000;
  r.positionMs = 1000;
  r.positionAt = 1700000000000;
  return r;
}

struct OutputUnderTest {
  TempDir tmp;
  std::string dir = tmp.file("out");
  Hub hub{50};
  TextOutput out{hub};

  std::string read(const std::string& name) const { return readFile(dir + "/" + name); }
  // Overwrites every output file with a marker, so a later pass shows which it rewrote.
  void mark() const {
    for (const auto& f : kFiles) ASSERT_TRUE(writeFileAtomically(dir + "/" + f, "x"));
  }
  std::vector<std::string> rewritten() const {
    std::vector<std::string> r;
    for (const auto& f : kFiles)
      if (read(f) != "x") r.push_back(f);
    return r;
  }
};

using Names = std::vector<std::string>;

TEST(TextOutput, BlankCoverIsAValidTransparentPng) {
  // Chunk CRCs and the zlib stream checked with an independent PNG/zlib implementation.
  const unsigned char expected[] = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
      0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
      0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0a, 0x49, 0x44, 0x41, 0x54, 0x78,
      0x9c, 0x63, 0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x01, 0x0d, 0x0a, 0x2d, 0xb4, 0x00,
      0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  EXPECT_EQ(blankCoverPng(), std::string(reinterpret_cast<const char*>(expected), 67));
}

TEST(TextOutput, TrackLineJoinsArtistAndTitleWithAnEmDash) {
  EXPECT_EQ(trackLine("Queen", "Bohemian Rhapsody"), "Queen \xE2\x80\x94 Bohemian Rhapsody");
  EXPECT_EQ(trackLine("Queen", ""), "Queen");
  EXPECT_EQ(trackLine("", "Bohemian Rhapsody"), "Bohemian Rhapsody");
  EXPECT_EQ(trackLine("", ""), "");
}

TEST(TextOutput, WritesTheSixFilesWithExactContents) {
  OutputUnderTest t;
  const std::string jpeg("\xff\xd8\xff\xe0 not really a jpeg \x00\x01", 24);
  SourceRecord r = song("Кино \"Группа\"", "Виктор Цой");
  r.album = "Альбом";
  r.coverId = t.hub.putCover("image/jpeg", jpeg);
  t.hub.putSource(r);
  t.out.setDir(t.dir);
  t.out.writePass();

  EXPECT_EQ(t.read("track.txt"), "Виктор Цой — Кино \"Группа\"");
  EXPECT_EQ(t.read("title.txt"), "Кино \"Группа\"");
  EXPECT_EQ(t.read("artist.txt"), "Виктор Цой");
  EXPECT_EQ(t.read("album.txt"), "Альбом");
  EXPECT_EQ(t.read("cover.jpg"), jpeg);
  EXPECT_EQ(t.read("nowplaying.json"), t.hub.snapshot().first);
  for (const auto& f : kFiles) EXPECT_FALSE(test::fileExists(t.dir + "/" + f + ".tmp"));
}

TEST(TextOutput, RewritesOnlyTheFilesWhoseContentChanged) {
  OutputUnderTest t;
  SourceRecord r = song("One", "Artist");
  t.hub.putSource(r);
  t.out.setDir(t.dir);
  t.out.writePass();

  t.mark();
  t.out.writePass();  // nothing changed
  EXPECT_EQ(t.rewritten(), Names{});

  r.positionMs = 5000;
  t.hub.putSource(r);
  t.out.writePass();
  EXPECT_EQ(t.rewritten(), Names{"nowplaying.json"});

  t.mark();
  r.title = "Two";
  t.hub.putSource(r);
  t.out.writePass();
  EXPECT_EQ(t.rewritten(), (Names{"track.txt", "title.txt", "nowplaying.json"}));
  EXPECT_EQ(t.read("track.txt"), "Artist — Two");

  // Playing -> nothing playing rewrites all six, the empty ones too.
  t.mark();
  t.hub.removeSource(r.sourceKey);
  t.out.writePass();
  EXPECT_EQ(t.rewritten(), Names(kFiles.begin(), kFiles.end()));
  EXPECT_EQ(t.read("track.txt"), "");
  EXPECT_EQ(t.read("album.txt"), "");
  EXPECT_EQ(t.read("cover.jpg"), blankCoverPng());
  EXPECT_EQ(t.read("nowplaying.json"), R"({"active":false})");
}

TEST(TextOutput, ANewDirectoryGetsAllFilesAndAnEmptyOneStopsWriting) {
  OutputUnderTest t;
  t.hub.putSource(song("One", "Artist"));
  t.out.setDir(t.dir);
  t.out.writePass();

  const std::string second = t.tmp.file("a/b/second/");  // missing parents, trailing separator
  t.out.setDir(second);
  t.out.writePass();
  for (const auto& f : kFiles) EXPECT_TRUE(test::fileExists(second + f)) << f;
  EXPECT_EQ(readFile(second + "title.txt"), "One");

  t.out.setDir("");
  t.hub.putSource(song("Two", "Artist"));
  t.out.writePass();
  EXPECT_EQ(readFile(second + "title.txt"), "One");  // left as it was
  EXPECT_EQ(t.read("title.txt"), "One");

  // Back to the first directory: everything is written again.
  t.mark();
  t.out.setDir(t.dir);
  t.out.writePass();
  EXPECT_EQ(t.rewritten(), Names(kFiles.begin(), kFiles.end()));
  EXPECT_EQ(t.read("title.txt"), "Two");
}

TEST(TextOutput, AnEvictedCoverGivesTheBlankImage) {
  TempDir tmp;
  Hub hub(1);
  TextOutput out(hub);
  SourceRecord r = song("One", "Artist");
  r.coverId = hub.putCover("image/png", "first");
  hub.putCover("image/png", "second");  // evicts the first
  hub.putSource(r);
  out.setDir(tmp.path());
  out.writePass();
  EXPECT_EQ(readFile(tmp.file("cover.jpg")), blankCoverPng());
  EXPECT_NE(readFile(tmp.file("nowplaying.json")).find("/cover/" + r.coverId), std::string::npos);
}

TEST(TextOutput, ACoverThatArrivesAfterTheSongIsWritten) {
  OutputUnderTest t;
  SourceRecord r = song("One", "Artist");
  t.hub.putSource(r);  // reported first; the cover is uploaded later
  t.out.setDir(t.dir);
  t.out.writePass();
  EXPECT_EQ(t.read("cover.jpg"), blankCoverPng());

  r.coverId = t.hub.putCover("image/png", "the uploaded cover");
  t.hub.putSource(r);
  t.out.writePass();
  EXPECT_EQ(t.read("cover.jpg"), "the uploaded cover");

  t.hub.putSource(song("Two", "Artist"));  // the next song has no cover yet
  t.out.writePass();
  EXPECT_EQ(t.read("cover.jpg"), blankCoverPng());
}

TEST(TextOutput, AnUnusableDirectoryIsRetriedEveryPassAndWarnedAboutOnceAMinute) {
  LogCapture capture;
  LogCapture::clear();
  TempDir tmp;
  const std::string dir = tmp.file("out");
  Hub hub(50);
  int64_t now = 0;
  TextOutput out(hub, 1000, [&] { return now; });
  hub.putSource(song("One", "Artist"));
  ASSERT_TRUE(writeFileAtomically(dir, "a file in the way"));
  const std::string sub = dir + "/sub";
  const std::string warning = "warning: file output: cannot create " + sub + ": " +
                              std::make_error_code(std::errc::not_a_directory).message();

  out.setDir(sub);
  for (int pass = 0; pass < 3; ++pass) out.writePass();
  now += 59999;
  out.writePass();
  EXPECT_EQ(LogCapture::lines(), Names{warning});
  now += 1;
  out.writePass();
  EXPECT_EQ(LogCapture::lines(), (Names{warning, warning + " (3 more since the last such line)"}));

  // Fixed: the very next pass writes everything, without a word.
  LogCapture::clear();
  ASSERT_TRUE(removeFile(dir));
  out.writePass();
  EXPECT_EQ(LogCapture::lines(), Names{});
  EXPECT_EQ(readFile(sub + "/title.txt"), "One");
  EXPECT_EQ(readFile(sub + "/cover.jpg"), blankCoverPng());
}

TEST(TextOutput, AFileThatCannotBeReplacedIsRetriedAlone) {
  LogCapture capture;
  LogCapture::clear();
  OutputUnderTest t;
  t.hub.putSource(song("One", "Artist"));
  ASSERT_TRUE(createDirectories(t.dir + "/title.txt"));  // a directory where the file goes
  t.out.setDir(t.dir);
  t.out.writePass();
  EXPECT_TRUE(isDirectory(t.dir + "/title.txt"));
  EXPECT_FALSE(test::fileExists(t.dir + "/title.txt.tmp"));
  EXPECT_EQ(t.read("artist.txt"), "Artist");
  const std::string reason = std::make_error_code(std::errc::is_a_directory).message();
  EXPECT_EQ(LogCapture::lines(),
            Names{"warning: file output: cannot write " + t.dir + "/title.txt: " + reason});

  stdfs::remove(t.dir + "/title.txt");
  for (const auto& f : kFiles) {
    if (f == "title.txt") continue;
    ASSERT_TRUE(writeFileAtomically(t.dir + "/" + f, "x"));
  }
  LogCapture::clear();
  t.out.writePass();
  EXPECT_EQ(t.read("title.txt"), "One");
  EXPECT_EQ(t.rewritten(), Names{"title.txt"});
  EXPECT_EQ(LogCapture::lines(), Names{});
}

TEST(TextOutput, ADeletedDirectoryIsCreatedAndFilledAgain) {
  OutputUnderTest t;
  t.hub.putSource(song("One", "Artist"));
  t.out.setDir(t.dir);
  t.out.writePass();
  stdfs::remove_all(t.dir);
  t.out.writePass();
  for (const auto& f : kFiles) EXPECT_TRUE(test::fileExists(t.dir + "/" + f)) << f;
}

TEST(TextOutput, WorkerFollowsChangesAndRechecksWithoutThem) {
  LogCapture capture;
  LogCapture::clear();
  TempDir tmp;
  const std::string dir = tmp.file("out");
  Hub hub(50);
  std::atomic<int64_t> now{0};
  // Re-check every 50 ms instead of every second; a minute passes between passes, so every
  // failed pass warns.
  TextOutput out(hub, 50, [&] { return now += 60000; });
  out.start();
  ASSERT_TRUE(writeFileAtomically(dir, "in the way"));
  out.setDir(dir);
  hub.putSource(song("One", "Artist"));
  // Tried again and again while the directory cannot be created, with no state change.
  EXPECT_TRUE(waitUntil([] { return LogCapture::lines().size() >= 3; }, 3000, 5));

  ASSERT_TRUE(removeFile(dir));
  EXPECT_TRUE(waitUntil([&] { return readFile(dir + "/title.txt") == "One"; }, 3000, 5));
  hub.putSource(song("Two", "Artist"));
  EXPECT_TRUE(waitUntil([&] { return readFile(dir + "/title.txt") == "Two"; }, 3000, 5));
  EXPECT_TRUE(waitUntil([&] { return readFile(dir + "/nowplaying.json") == hub.snapshot().first; },
                        3000, 5));

  auto begin = std::chrono::steady_clock::now();
  out.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
}

TEST(TextOutput, ADirectoryAChangeAndAStopWakeTheWorkerAtOnce) {
  TempDir tmp;
  Hub hub(50);
  TextOutput out(hub, 600000);  // no re-check while the test runs
  out.start();
  out.setDir(tmp.path());  // the worker already waits, with no directory to look at
  ASSERT_TRUE(waitUntil([&] { return test::fileExists(tmp.file("nowplaying.json")); }, 3000, 5));
  hub.putSource(song("One", "Artist"));
  EXPECT_TRUE(waitUntil([&] { return readFile(tmp.file("title.txt")) == "One"; }, 3000, 5));

  auto begin = std::chrono::steady_clock::now();
  out.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace tunelight
