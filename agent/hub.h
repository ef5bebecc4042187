#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/clock.h"
#include "agent/model.h"
#include "agent/services.h"
#include "agent/thread_annotations.h"

namespace tunelight {

// The service switches (agent/services.h) and the blocklist.
struct FilterSettings : ServiceSwitches {
  std::vector<std::string> blocklist;
};

struct HistoryEntry {
  std::string key;
  std::string title;
  std::string artist;
  std::string album;
  std::string service;
  std::string coverId;
  int64_t startedAt = 0;
};

struct StoredCover {
  std::string contentType;
  std::string bytes;
};

// Blocklist matching helpers (exposed for tests).
std::vector<std::string> splitArtists(const std::string& a);
std::string baseTitle(const std::string& t);
std::string trimSpaces(const std::string& s);
bool isBlocked(const SourceRecord& r, const std::vector<std::string>& blocklist);
// The configuration key of the service switch that decides whether r may be shown
// ("videoPlayers", "spotify", ...); empty for records no switch applies to.
std::string switchKey(const SourceRecord& r);
// Arbitration over all records; no result when no record qualifies.
std::optional<SourceRecord> selectCurrent(const std::vector<SourceRecord>& all,
                                          const FilterSettings& settings);

// The now-playing document and what it says as fields, published together at every change of the
// document. Immutable once published: a reader keeps one without any lock.
struct NowPlaying {
  uint64_t version = 0;  // the Hub's change counter when it was published
  std::string json;      // the document
  // The record the document describes; none when nothing is on the card. Its title, artist and
  // album are as the document writes them (bytes that are not UTF-8 as U+FFFD).
  std::optional<SourceRecord> track;
  int64_t showAt = 0;  // the document's "showAt"; 0 for null
};

// The single store of what plays. Every public operation locks mu_ for its whole run and never
// calls out while holding it (change listeners are called after it is released).
class Hub {
 public:
  explicit Hub(size_t coverCapacity, WallClock clock = wallNowMs);

  void putSource(SourceRecord r);
  void removeSource(const std::string& sourceKey);
  std::string putCover(const std::string& contentType, const std::string& bytes);
  std::optional<StoredCover> cover(const std::string& coverId) const;
  // Whether the cover is still stored, without copying its bytes.
  bool hasCover(const std::string& coverId) const;

  FilterSettings settings() const;
  void setSettings(const FilterSettings& s);

  // (document, changeCounter) taken together.
  std::pair<std::string, uint64_t> snapshot() const;
  // The document with its fields; never null.
  std::shared_ptr<const NowPlaying> nowPlaying() const;
  uint64_t changeCounter() const;
  // onChange is called after every change of the document, on the thread that made it and
  // outside the Hub's lock; it must return at once, for further changes wait for it. The id is
  // for removeListener, which returns when no call of that listener is in progress.
  size_t addListener(std::function<void()> onChange);
  void removeListener(size_t id);

  // The record on the card now (the one the document describes), if any.
  std::optional<SourceRecord> current() const;
  // Asks every card to show again for its show-for window: stamps the document's "showAt" with
  // the clock. Returns the card's source key, or nothing (and no change) when nothing is on it.
  std::optional<std::string> show();

  // Every source's record; `hidden`, the playing record that only the blocklist keeps off the
  // card; `filtered`, the record that would be current if every service switch were on, while it
  // plays, nothing is shown, and a switch hides it. Taken under one lock, so that they describe
  // the same moment.
  struct Health {
    std::vector<SourceRecord> sources;
    std::optional<SourceRecord> hidden;
    std::optional<SourceRecord> filtered;
  };
  Health health() const;
  std::string historyJson() const;

 private:
  bool recompute() REQUIRES(mu_);  // true when the document changed
  void notifyListeners() EXCLUDES(mu_);
  void updateHistory(const SourceRecord& w) REQUIRES(mu_);

  const WallClock clock_;
  const size_t coverCapacity_;
  mutable Mutex mu_;
  std::map<std::string, SourceRecord> sources_ GUARDED_BY(mu_);
  std::map<std::string, StoredCover> covers_ GUARDED_BY(mu_);
  std::deque<std::string> coverOrder_ GUARDED_BY(mu_);
  FilterSettings settings_ GUARDED_BY(mu_);
  std::shared_ptr<const NowPlaying> published_ GUARDED_BY(mu_);
  std::deque<HistoryEntry> history_ GUARDED_BY(mu_);  // newest first
  std::optional<SourceRecord> hidden_ GUARDED_BY(mu_);
  std::optional<SourceRecord> filtered_ GUARDED_BY(mu_);
  std::optional<SourceRecord> current_ GUARDED_BY(mu_);
  int64_t showAt_ GUARDED_BY(mu_) = 0;
  // Taken after mu_ is released, never together with it.
  Mutex listenersMu_;
  std::vector<std::pair<size_t, std::function<void()>>> listeners_ GUARDED_BY(listenersMu_);
  size_t nextListener_ GUARDED_BY(listenersMu_) = 0;
};

}  // namespace tunelight
