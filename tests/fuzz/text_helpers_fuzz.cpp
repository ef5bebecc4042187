// The text rules every comparison and every published document rests on: normalisation, artist
// splitting, the blocklist, the now-playing document and the choice of the current song.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "agent/hub.h"
#include "agent/model.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace tunelight;

bool hasOuterSpaces(const std::string& s) {
  return !s.empty() && (s.front() == ' ' || s.back() == ' ');
}

SourceRecord record(FuzzedDataProvider& in, int index) {
  SourceRecord r;
  r.sourceKey = "k" + std::to_string(index) + in.ConsumeRandomLengthString(16);
  r.kind = static_cast<SourceKind>(in.ConsumeIntegralInRange<int32_t>(-1, 4));
  r.service = static_cast<ServiceId>(in.ConsumeIntegralInRange<int32_t>(-1, 12));
  r.app = in.ConsumeRandomLengthString(16);
  r.player = in.ConsumeRandomLengthString(16);
  r.isVideo = in.ConsumeBool();
  r.title = in.ConsumeRandomLengthString(64);
  r.artist = in.ConsumeRandomLengthString(64);
  if (in.ConsumeBool()) r.album = in.ConsumeRandomLengthString(32);
  if (in.ConsumeBool()) r.durationMs = in.ConsumeIntegral<int64_t>();
  if (in.ConsumeBool()) r.positionMs = in.ConsumeIntegral<int64_t>();
  r.positionAt = in.ConsumeIntegral<int64_t>();
  r.status = static_cast<PlaybackStatus>(in.ConsumeIntegralInRange<int32_t>(-1, 3));
  if (in.ConsumeBool()) r.coverId = in.ConsumeRandomLengthString(20);
  r.local = in.ConsumeBool();
  r.controls = in.ConsumeIntegral<uint32_t>();
  r.playingSince = in.ConsumeIntegral<int64_t>();
  r.stateSince = in.ConsumeIntegral<int64_t>();
  r.updatedAt = in.ConsumeIntegral<int64_t>();
  return r;
}

void checkDocument(const std::string& doc) {
  const nlohmann::json j = nlohmann::json::parse(doc, nullptr, false);
  FUZZ_CHECK(j.is_object());
  // Equal states must give byte-identical texts: writing the parsed document again gives it back.
  FUZZ_CHECK(dumpJson(j) == doc);
  if (j.size() == 1) {
    FUZZ_CHECK(doc == R"({"active":false})");
    return;
  }
  FUZZ_CHECK(j.size() == 17);
  FUZZ_CHECK(j["controls"].is_array() && j["controls"].size() <= 5);
  const std::string id = j["trackId"].get<std::string>();
  FUZZ_CHECK(id.size() == 12 && id.find_first_not_of("0123456789abcdef") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  FilterSettings settings;
  settings.yandex = in.ConsumeBool();
  settings.youtube = in.ConsumeBool();
  settings.otherPlayers = in.ConsumeBool();
  settings.videoPlayers = in.ConsumeBool();
  settings.browserWithoutExtension = in.ConsumeBool();
  const int entries = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < entries; ++i) settings.blocklist.push_back(in.ConsumeRandomLengthString(48));

  std::vector<SourceRecord> records;
  const int count = in.ConsumeIntegralInRange(1, 5);
  for (int i = 0; i < count; ++i) records.push_back(record(in, i));

  for (const SourceRecord& r : records) {
    const std::string title = matchKey(r.title);
    // Blanks around a text do not matter (unless a lone 0xD0 at its end pairs with the first).
    if (r.title.empty() || r.title.back() != '\xD0')
      FUZZ_CHECK(matchKey(std::string(" \t") + r.title + "\r\n ") == title);
    const std::string artist = matchKey(r.artist);
    for (const std::string& a : splitArtists(artist)) FUZZ_CHECK(a == artist || !hasOuterSpaces(a));
    FUZZ_CHECK(!hasOuterSpaces(baseTitle(title)));
    FUZZ_CHECK(!hasOuterSpaces(trimSpaces(r.title)));
    isBlocked(r, settings.blocklist);
    checkDocument(nowPlayingJson(r));
    FUZZ_CHECK(trackId(r) == trackId(r));
  }
  checkDocument(nowPlayingJson(std::nullopt));

  const std::optional<SourceRecord> current = selectCurrent(records, settings);
  if (current) {
    FUZZ_CHECK(!current->title.empty());
    FUZZ_CHECK(settings.blocklist.empty() || !isBlocked(*current, settings.blocklist));
    checkDocument(nowPlayingJson(current));
  }

  // What the Hub publishes as fields is what its document says, broken UTF-8 included.
  Hub hub(50);
  hub.setSettings(settings);
  for (const SourceRecord& r : records) hub.putSource(r);
  const std::shared_ptr<const NowPlaying> now = hub.nowPlaying();
  FUZZ_CHECK(hub.snapshot() == std::make_pair(now->json, now->version));
  const nlohmann::json doc = nlohmann::json::parse(now->json);
  FUZZ_CHECK(doc["active"].get<bool>() == now->track.has_value());
  if (now->track) {
    const SourceRecord& t = *now->track;
    FUZZ_CHECK(doc["title"] == t.title && doc["artist"] == t.artist);
    FUZZ_CHECK(doc["album"] == (t.album ? nlohmann::json(*t.album) : nlohmann::json(nullptr)));
    FUZZ_CHECK(doc["status"] == statusName(t.status));
  }
  return 0;
}
