#include "agent/hub.h"

#include <algorithm>
#include <tuple>

#include <nlohmann/json.hpp>

namespace tunelight {

namespace {

constexpr size_t kHistoryCapacity = 20;

// The switch that decides whether r may be shown; none for records no switch applies to.
const ServiceSwitch* switchOf(const SourceRecord& r) {
  if (r.service == kServiceOther)
    return findSwitchByKey(r.isVideo ? "videoPlayers" : "otherPlayers");
  if (const ServiceSwitch* sw = findSwitchByService(serviceName(r.service))) return sw;
  // Unrecognised service: only browser sessions have a switch.
  if (r.kind == kKindMediaBrowser) return findSwitchByKey("browserWithoutExtension");
  return nullptr;
}

bool switchAllows(const SourceRecord& r, const FilterSettings& s) {
  const auto sw = switchOf(r);
  return !sw || s.*(sw->on);
}

int playRank(const SourceRecord& r) {
  if (r.status != kStatusPlaying) return 0;
  return r.local ? 2 : 1;
}

int kindRank(int32_t kind) {
  switch (kind) {
    case kKindExtension:
      return 3;
    case kKindMediaApp:
      return 2;
    case kKindMediaBrowser:
      return 1;
    default:
      return 0;
  }
}

std::tuple<int, int64_t, int> selectScore(const SourceRecord& r) {
  int64_t time;
  if (r.status == kStatusPlaying)
    time = r.playingSince;
  else
    time = r.stateSince != 0 ? r.stateSince : r.updatedAt;
  return {playRank(r), time, kindRank(r.kind)};
}

std::tuple<int, int, int64_t> primaryScore(const SourceRecord& r) {
  return {playRank(r), kindRank(r.kind), r.updatedAt};
}

SourceRecord mergeGroup(const std::vector<const SourceRecord*>& group) {
  size_t primary = 0;
  for (size_t i = 1; i < group.size(); ++i)
    if (primaryScore(*group[i]) > primaryScore(*group[primary])) primary = i;
  SourceRecord result = *group[primary];
  for (size_t i = 0; i < group.size(); ++i) {
    if (i == primary) continue;
    const SourceRecord& m = *group[i];
    if (result.coverId.empty() && !m.coverId.empty()) result.coverId = m.coverId;
    if (!result.album && m.album && m.kind != kKindMediaBrowser) result.album = m.album;
    if (result.service == kServiceUnknown && m.service != kServiceUnknown)
      result.service = m.service;
    if (!result.durationMs && m.durationMs && m.status == result.status) {
      result.durationMs = m.durationMs;
      result.positionMs = m.positionMs;
      result.positionAt = m.positionAt;
    }
  }
  return result;
}

// Whether s is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF):
// exactly what the document writes unchanged.
bool isUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i++]);
    if (c < 0x80) continue;
    int more;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the next byte
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    for (; more > 0; --more, ++i) {
      if (i >= s.size()) return false;
      const auto b = static_cast<unsigned char>(s[i]);
      if (b < lo || b > hi) return false;
      lo = 0x80;
      hi = 0xBF;
    }
  }
  return true;
}

// s as the document writes it. Real sources give UTF-8, so the JSON library's own replacement
// runs only for the odd broken text, and then gives exactly the document's bytes.
std::string asDocumentText(const std::string& s) {
  if (isUtf8(s)) return s;
  return nlohmann::json::parse(dumpJson(nlohmann::json(s))).get<std::string>();
}

std::optional<std::string> cutAtSeparator(const std::string& e, std::string* after) {
  static const char* const kSeparators[] = {" - ", " \xE2\x80\x93 ", " \xE2\x80\x94 "};
  for (const char* sep : kSeparators) {
    const size_t at = e.find(sep);
    if (at == std::string::npos) continue;
    *after = e.substr(at + std::char_traits<char>::length(sep));
    return e.substr(0, at);
  }
  return std::nullopt;
}

}  // namespace

std::string trimSpaces(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

std::vector<std::string> splitArtists(const std::string& a) {
  std::vector<std::string> out{a};
  std::string copy = a;
  for (const char* sep : {", ", " & ", " feat. ", " feat ", " ft. ", " ft "}) {
    const std::string s(sep);
    for (size_t at = copy.find(s); at != std::string::npos; at = copy.find(s, at + 1))
      copy.replace(at, s.size(), "\x01");
  }
  size_t start = 0;
  for (;;) {
    const size_t end = copy.find('\x01', start);
    std::string piece =
        trimSpaces(copy.substr(start, end == std::string::npos ? end : end - start));
    if (!piece.empty() && piece != a) out.push_back(piece);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

std::string baseTitle(const std::string& t) {
  const size_t cut = std::min(t.find(" - "), t.find(" ("));
  return trimSpaces(cut == std::string::npos ? t : t.substr(0, cut));
}

bool isBlocked(const SourceRecord& r, const std::vector<std::string>& blocklist) {
  const std::string t = matchKey(r.title);
  const std::vector<std::string> artists = splitArtists(matchKey(r.artist));
  const auto isArtist = [&](const std::string& x) {
    for (const auto& a : artists)
      if (a == x) return true;
    return false;
  };
  for (const auto& entry : blocklist) {
    const std::string e = trimSpaces(matchKey(entry));
    if (e.empty()) continue;
    std::string titlePart;
    const auto artistPart = cutAtSeparator(e, &titlePart);
    if (!artistPart) {
      if (isArtist(e) || e == t || e == baseTitle(t)) return true;
    } else if (isArtist(trimSpaces(*artistPart))) {
      const std::string s = trimSpaces(titlePart);
      if (s == t || s == baseTitle(t)) return true;
    }
  }
  return false;
}

std::string switchKey(const SourceRecord& r) {
  const auto sw = switchOf(r);
  return sw ? sw->configKey : "";
}

namespace {

// Arbitration; the service switches are left out when useSwitches is false.
std::optional<SourceRecord> select(const std::vector<SourceRecord>& all,
                                   const FilterSettings& settings, bool useSwitches) {
  // Groups by song identity, visited in ascending key order; members keep input order.
  std::map<std::string, std::vector<const SourceRecord*>> groups;
  for (const auto& r : all) {
    if (r.title.empty()) continue;
    if (!settings.blocklist.empty() && isBlocked(r, settings.blocklist)) continue;
    if (useSwitches && !switchAllows(r, settings)) continue;
    groups[trackKey(r)].push_back(&r);
  }
  const std::vector<const SourceRecord*>* winner = nullptr;
  std::tuple<int, int64_t, int> winnerScore;
  for (const auto& [key, members] : groups) {
    auto best = selectScore(*members[0]);
    for (size_t i = 1; i < members.size(); ++i) best = std::max(best, selectScore(*members[i]));
    if (!winner || best > winnerScore) {
      winner = &members;
      winnerScore = best;
    }
  }
  if (!winner) return std::nullopt;
  return mergeGroup(*winner);
}

}  // namespace

std::optional<SourceRecord> selectCurrent(const std::vector<SourceRecord>& all,
                                          const FilterSettings& settings) {
  return select(all, settings, true);
}

Hub::Hub(size_t coverCapacity, WallClock clock)
    : clock_(std::move(clock)),
      coverCapacity_(coverCapacity),
      published_(std::make_shared<const NowPlaying>(NowPlaying{0, nowPlayingJson({}), {}, 0})) {}

void Hub::putSource(SourceRecord r) {
  if (r.updatedAt == 0) r.updatedAt = clock_();
  bool changed;
  {
    MutexLock lock(mu_);
    const auto old = sources_.find(r.sourceKey);
    const bool hasOld = old != sources_.end();
    if (r.status == kStatusPlaying && r.playingSince == 0) {
      r.playingSince =
          hasOld && old->second.status == kStatusPlaying ? old->second.playingSince : r.updatedAt;
    }
    const bool same =
        hasOld && old->second.status == r.status && trackKey(old->second) == trackKey(r);
    r.stateSince = same ? old->second.stateSince : r.updatedAt;
    sources_[r.sourceKey] = std::move(r);
    changed = recompute();
  }
  if (changed) notifyListeners();
}

void Hub::removeSource(const std::string& sourceKey) {
  bool changed;
  {
    MutexLock lock(mu_);
    changed = sources_.erase(sourceKey) > 0 && recompute();
  }
  if (changed) notifyListeners();
}

std::string Hub::putCover(const std::string& contentType, const std::string& bytes) {
  const std::string id = hex16(fnv1a64(bytes));
  MutexLock lock(mu_);
  if (covers_.count(id) == 0) {
    covers_[id] = StoredCover{contentType, bytes};
    coverOrder_.push_back(id);
    while (coverOrder_.size() > coverCapacity_) {
      covers_.erase(coverOrder_.front());
      coverOrder_.pop_front();
    }
  }
  return id;
}

std::optional<StoredCover> Hub::cover(const std::string& coverId) const {
  MutexLock lock(mu_);
  const auto it = covers_.find(coverId);
  if (it == covers_.end()) return std::nullopt;
  return it->second;
}

bool Hub::hasCover(const std::string& coverId) const {
  MutexLock lock(mu_);
  return covers_.count(coverId) > 0;
}

FilterSettings Hub::settings() const {
  MutexLock lock(mu_);
  return settings_;
}

void Hub::setSettings(const FilterSettings& s) {
  bool changed;
  {
    MutexLock lock(mu_);
    settings_ = s;
    changed = recompute();
  }
  if (changed) notifyListeners();
}

std::pair<std::string, uint64_t> Hub::snapshot() const {
  MutexLock lock(mu_);
  return {published_->json, published_->version};
}

std::shared_ptr<const NowPlaying> Hub::nowPlaying() const {
  MutexLock lock(mu_);
  return published_;
}

uint64_t Hub::changeCounter() const {
  MutexLock lock(mu_);
  return published_->version;
}

size_t Hub::addListener(std::function<void()> onChange) {
  MutexLock lock(listenersMu_);
  listeners_.emplace_back(nextListener_, std::move(onChange));
  return nextListener_++;
}

void Hub::removeListener(size_t id) {
  MutexLock lock(listenersMu_);
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [id](const auto& l) { return l.first == id; }),
                   listeners_.end());
}

void Hub::notifyListeners() {
  MutexLock lock(listenersMu_);
  for (const auto& l : listeners_) l.second();
}

std::optional<SourceRecord> Hub::current() const {
  MutexLock lock(mu_);
  return current_;
}

std::optional<std::string> Hub::show() {
  std::string key;
  bool changed;
  {
    MutexLock lock(mu_);
    if (!current_) return std::nullopt;
    key = current_->sourceKey;
    // Strictly later than the last stamp, so that two requests within one millisecond still
    // change the document twice.
    showAt_ = std::max(clock_(), showAt_ + 1);
    changed = recompute();
  }
  if (changed) notifyListeners();
  return key;
}

Hub::Health Hub::health() const {
  MutexLock lock(mu_);
  Health h;
  h.sources.reserve(sources_.size());
  for (const auto& [key, r] : sources_) h.sources.push_back(r);
  h.hidden = hidden_;
  h.filtered = filtered_;
  return h;
}

std::string Hub::historyJson() const {
  MutexLock lock(mu_);
  nlohmann::json arr = nlohmann::json::array();
  for (const auto& e : history_) {
    nlohmann::json o = nlohmann::json::object();
    o["album"] = e.album.empty() ? nlohmann::json(nullptr) : nlohmann::json(e.album);
    o["artist"] = e.artist;
    o["coverUrl"] =
        e.coverId.empty() ? nlohmann::json(nullptr) : nlohmann::json("/cover/" + e.coverId);
    o["service"] = e.service;
    o["startedAt"] = e.startedAt;
    o["title"] = e.title;
    arr.push_back(std::move(o));
  }
  return dumpJson(arr);
}

bool Hub::recompute() {
  std::vector<SourceRecord> all;
  all.reserve(sources_.size());
  for (const auto& [key, r] : sources_) all.push_back(r);
  const std::optional<SourceRecord> winner = selectCurrent(all, settings_);
  hidden_.reset();
  if (!winner && !settings_.blocklist.empty()) {
    FilterSettings unblocked = settings_;
    unblocked.blocklist.clear();
    auto alt = selectCurrent(all, unblocked);
    if (alt && alt->status == kStatusPlaying) hidden_ = std::move(alt);
  }
  // A playing song that only a service switch keeps off the card: the panel names the switch.
  filtered_.reset();
  if (!winner) {
    auto alt = select(all, settings_, false);
    if (alt && alt->status == kStatusPlaying && !switchAllows(*alt, settings_)) {
      filtered_ = std::move(alt);
    }
  }
  if (winner && winner->status == kStatusPlaying) updateHistory(*winner);
  current_ = winner;
  std::string json = nowPlayingJson(winner, showAt_);
  if (json == published_->json) return false;
  auto next = std::make_shared<NowPlaying>();
  next->version = published_->version + 1;
  next->json = std::move(json);
  next->track = winner;
  if (next->track) {
    SourceRecord& t = *next->track;
    t.title = asDocumentText(t.title);
    t.artist = asDocumentText(t.artist);
    if (t.album) t.album = asDocumentText(*t.album);
  }
  next->showAt = showAt_;
  published_ = std::move(next);
  return true;
}

void Hub::updateHistory(const SourceRecord& w) {
  const std::string k = trackKey(w);
  if (!history_.empty() && history_.front().key == k) {
    if (history_.front().coverId.empty() && !w.coverId.empty())
      history_.front().coverId = w.coverId;
    return;
  }
  history_.push_front(HistoryEntry{k, w.title, w.artist, w.album.value_or(""),
                                   serviceName(w.service), w.coverId, clock_()});
  if (history_.size() > kHistoryCapacity) history_.pop_back();
}

}  // namespace tunelight
