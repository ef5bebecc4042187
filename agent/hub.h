#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/clock.h"
#include "agent/model.h"
#include "agent/services.h"

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

  // (cachedJson, changeCounter) taken together.
  std::pair<std::string, uint64_t> snapshot() const;
  uint64_t changeCounter() const;
  // Waits (monotonic clock) until the counter differs from since or timeoutMs passed.
  uint64_t waitChange(uint64_t since, int32_t timeoutMs) const;
  void wakeAll();
  // onChange is called after every change of the document, on the thread that made it and
  // outside the Hub's lock; it must return at once, for further changes wait for it. The id is
  // for removeListener, which returns when no call of that listener is in progress.
  size_t addListener(std::function<void()> onChange);
  void removeListener(size_t id);

  std::vector<SourceRecord> sources() const;
  std::optional<SourceRecord> hiddenRecord() const;
  // The record on the card now (the one the document describes), if any.
  std::optional<SourceRecord> current() const;
  // Asks every card to show again for its show-for window: stamps the document's "showAt" with
  // the clock. Returns the card's source key, or nothing (and no change) when nothing is on it.
  std::optional<std::string> show();

  // The above under one lock, so that they describe the same moment; with `filtered`, the
  // record that would be current if every service switch were on, while it plays, nothing is
  // shown, and a switch hides it.
  struct Health {
    std::vector<SourceRecord> sources;
    std::optional<SourceRecord> hidden;
    std::optional<SourceRecord> filtered;
  };
  Health health() const;
  std::string historyJson() const;

 private:
  bool recompute();                           // requires mu_ held; true when the document changed
  void notifyListeners();                     // requires mu_ not held
  void updateHistory(const SourceRecord& w);  // requires mu_ held

  const WallClock clock_;
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::map<std::string, SourceRecord> sources_;  // guarded by mu_
  std::map<std::string, StoredCover> covers_;    // guarded by mu_
  std::deque<std::string> coverOrder_;           // guarded by mu_
  const size_t coverCapacity_;
  FilterSettings settings_;               // guarded by mu_
  std::string cachedJson_;                // guarded by mu_
  std::deque<HistoryEntry> history_;      // guarded by mu_, newest first
  std::optional<SourceRecord> hidden_;    // guarded by mu_
  std::optional<SourceRecord> filtered_;  // guarded by mu_
  std::optional<SourceRecord> current_;   // guarded by mu_
  int64_t showAt_ = 0;                    // guarded by mu_
  uint64_t changeCounter_ = 0;            // guarded by mu_
  std::mutex listenersMu_;
  std::vector<std::pair<size_t, std::function<void()>>> listeners_;  // guarded by listenersMu_
  size_t nextListener_ = 0;                                          // guarded by listenersMu_
};

}  // namespace tunelight
