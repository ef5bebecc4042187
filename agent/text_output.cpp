#include "agent/text_output.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <utility>

#include "agent/hub.h"
#include "agent/log.h"
#include "agent/platform/fs.h"

namespace tunelight {

namespace {

uint32_t crc32(const std::string& bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return c ^ 0xFFFFFFFFu;
}

void appendBe32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void appendChunk(std::string& out, const char* type, const std::string& data) {
  appendBe32(out, static_cast<uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  out += body;
  appendBe32(out, crc32(body));
}

std::string buildBlankPng() {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string ihdr;
  appendBe32(ihdr, 1);                             // width
  appendBe32(ihdr, 1);                             // height
  ihdr += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bit, RGBA, deflate, no filter, no interlace
  appendChunk(png, "IHDR", ihdr);
  // zlib stream of one scanline: filter byte 0 and four zero bytes.
  appendChunk(png, "IDAT", std::string("\x78\x9c\x63\x00\x01\x00\x00\x05\x00\x01", 10));
  appendChunk(png, "IEND", std::string());
  return png;
}

}  // namespace

const std::string& blankCoverPng() {
  static const std::string png = buildBlankPng();
  return png;
}

std::string trackLine(const std::string& artist, const std::string& title) {
  if (!artist.empty() && !title.empty()) return artist + " \xE2\x80\x94 " + title;
  if (!artist.empty()) return artist;
  return title;
}

const std::array<const char*, TextOutput::kFileCount> TextOutput::kFileNames = {
    "track.txt", "title.txt", "artist.txt", "album.txt", "cover.jpg", "nowplaying.json"};

TextOutput::TextOutput(Hub& hub, int recheckMs, MonotonicClock clock)
    : hub_(hub), recheckMs_(recheckMs), clock_(std::move(clock)) {}

TextOutput::~TextOutput() {
  stop();
}

void TextOutput::start() {
  if (worker_.joinable()) return;
  {
    MutexLock lock(mu_);
    stopping_ = false;
  }
  listener_ = hub_.addListener([this] {
    MutexLock lock(mu_);
    changed_ = true;
    wake_.signal();
  });
  worker_ = std::thread([this] { run(); });
}

void TextOutput::stop() {
  {
    MutexLock lock(mu_);
    stopping_ = true;
    wake_.signal();
  }
  if (worker_.joinable()) worker_.join();
  if (listener_) hub_.removeListener(*listener_);
  listener_.reset();
}

void TextOutput::setDir(const std::string& dir) {
  MutexLock lock(mu_);
  outputDir_ = dir;
  changed_ = true;  // written at once rather than at the next re-check
  wake_.signal();
}

void TextOutput::run() {
  for (;;) {
    {
      MutexLock lock(mu_);
      if (stopping_) break;
      changed_ = false;  // a change from now on is seen by the next pass
    }
    try {
      writePass();
    } catch (const std::exception& e) {
      // The next pass starts from scratch and may well succeed.
      written_.fill(std::string());
      log(kLogError, std::string("text output: ") + e.what());
    } catch (...) {
      written_.fill(std::string());
      log(kLogError, "text output: unknown exception");
    }
    // Until the document or the directory changes, a stop, or recheckMs for what no change
    // announces (a deleted folder, a file that could not be written). With no directory there is
    // nothing to re-check, so an idle agent without text files never wakes for them.
    MutexLock lock(mu_);
    if (outputDir_.empty()) {
      while (!changed_ && !stopping_) wake_.wait(mu_);
      continue;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(recheckMs_);
    while (!changed_ && !stopping_ && wake_.waitUntil(mu_, deadline)) {
    }
  }
}

void TextOutput::writePass() {
  std::string dir;
  {
    MutexLock lock(mu_);
    dir = outputDir_;
  }
  if (dir.empty()) {
    lastDir_.clear();
    return;
  }
  // A directory that vanished since the last pass (deleted by the user) is created again and
  // filled completely, as if it were new.
  if (dir != lastDir_ || !isDirectory(dir)) {
    written_.fill(std::string());
    std::string error;
    if (!createDirectories(dir, &error)) {
      lastDir_.clear();
      warn("file output: cannot create " + dir + ": " + error);
      return;
    }
    lastDir_ = dir;
  }

  const std::shared_ptr<const NowPlaying> now = hub_.nowPlaying();
  const std::string& json = now->json;
  const bool active = now->track.has_value();
  std::string title, artist, album;
  std::string cover = blankCoverPng();
  std::string coverKey = "blank";
  if (active) {
    const SourceRecord& t = *now->track;
    title = t.title;
    artist = t.artist;
    album = t.album.value_or("");
    if (!t.coverId.empty()) {
      if (auto stored = hub_.cover(t.coverId)) {
        cover = std::move(stored->bytes);
        coverKey = "/cover/" + t.coverId;
      }
    }
  }
  const std::string line = trackLine(artist, title);

  const std::array<const std::string*, kFileCount> contents = {&line,  &title, &artist,
                                                               &album, &cover, &json};
  const std::array<const std::string*, kFileCount> keys = {&line,  &title,    &artist,
                                                           &album, &coverKey, &json};
  const std::string marker = active ? "1" : "0";
  std::string failure;  // the first failed file of this pass and why
  for (int i = 0; i < kFileCount; ++i) {
    std::string signature = marker + *keys[i];
    if (signature == written_[i]) continue;
    // A failed write keeps the old signature, so the next pass tries again.
    const std::filesystem::path path = joinPath(dir, kFileNames[i]);
    std::string error;
    if (writeFileAtomically(path, *contents[i], &error)) {
      written_[i] = std::move(signature);
    } else if (failure.empty()) {
      failure = path.u8string() + ": " + error;
    }
  }
  // One line per pass: a full disk or a read-only folder fails every file for the same reason.
  if (!failure.empty()) warn("file output: cannot write " + failure);
}

void TextOutput::warn(const std::string& message) {
  std::string text;
  if (warnings_.admit(message, clock_(), text)) log(kLogWarning, text);
}

}  // namespace tunelight
