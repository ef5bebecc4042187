#include "agent/sources/extension_ingest.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/hub.h"
#include "agent/json_read.h"
#include "agent/log.h"
#include "agent/sources/cover_allowlist.h"
#include "agent/sources/identify.h"

namespace tunelight {

namespace {

using nlohmann::json;

const char kNotOk[] = "{\"ok\":false}";
const char kOkNoCover[] = "{\"ok\":true,\"needCover\":false}";
const char kOkNeedCover[] = "{\"ok\":true,\"needCover\":true}";

constexpr size_t kIdBytes = 100;
constexpr size_t kBrowserBytes = 40;
constexpr size_t kTextBytes = 500;
constexpr size_t kUrlBytes = 1600;
constexpr size_t kChannelBytes = 40;
constexpr size_t kErrorBytes = 200;
constexpr size_t kCoverCacheSize = 200;
// Pending URLs that no live report names are kept (a late upload is still welcome) until
// there are more pending URLs than this; then they are dropped.
constexpr size_t kPendingSoftCap = 200;
constexpr int64_t kSilenceMs = 6000;

std::string optString(const json& doc, const char* key) {
  return json_read::optionalString(doc, key, "ingest").value_or(std::string());
}

bool optBool(const json& doc, const char* key, bool fallback) {
  return json_read::optionalBool(doc, key, "ingest").value_or(fallback);
}

// A number member truncated toward zero to 64 bits; anything else counts as absent.
// positive tells whether the number itself was greater than 0 (before truncation).
std::optional<int64_t> optNumber(const json& doc, const char* key, bool* positive = nullptr) {
  auto it = doc.find(key);
  if (it == doc.end() || !it->is_number()) return std::nullopt;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (it->is_number_unsigned()) {
    uint64_t u = it->get<uint64_t>();
    if (positive) *positive = u > 0;
    return u > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(u);
  }
  if (it->is_number_integer()) {
    int64_t v = it->get<int64_t>();
    if (positive) *positive = v > 0;
    return v;
  }
  double d = it->get<double>();
  if (positive) *positive = d > 0;
  if (d >= 9223372036854775807.0) return kMax;
  if (d <= -9223372036854775808.0) return kMin;
  return static_cast<int64_t>(d);
}

// The ControlAction bits of the report's "actions": known names only; others (from a newer
// extension) are passed over. A member that is not an array is an error like any mistyped one.
uint32_t optActions(const json& doc) {
  auto it = doc.find("actions");
  if (it == doc.end()) return 0;
  if (!it->is_array()) throw std::invalid_argument("ingest: actions is not an array");
  uint32_t bits = 0;
  for (const json& a : *it) {
    if (a.is_string()) bits |= controlFromName(a.get<std::string>());
  }
  return bits;
}

bool isImageType(const std::string& type) {
  return type.compare(0, 6, "image/") == 0;
}

}  // namespace

CoverFetcher::Rules ExtensionIngest::coverRules() {
  CoverFetcher::Rules rules;
  rules.firstPauseMs = kFirstRetryMs;
  rules.longestPauseMs = kLongestRetryMs;
  // Bounded like the cover cache; a URL dropped there is downloaded again at its next report.
  rules.maxUrls = kCoverCacheSize;
  rules.logFailures = true;
  rules.notImageType = "image/jpeg";
  return rules;
}

ExtensionIngest::ExtensionIngest(Hub& hub, bool fetchCovers)
    : ExtensionIngest(hub, fetchCovers ? CoverGetter(httpsCoverGetter) : nullptr) {}

ExtensionIngest::ExtensionIngest(Hub& hub, CoverGetter getter, WallClock now) : hub_(hub) {
  if (!getter) return;
  covers_ = std::make_unique<CoverFetcher>(
      coverRules(), std::move(getter), std::move(now),
      [this](const std::string& url, const std::string& type, const std::string& body) {
        acceptCover(url, type, body);
      });
}

ExtensionIngest::~ExtensionIngest() {
  closeCommands();
  if (covers_) covers_->stop();
}

std::string ExtensionIngest::handleReport(const std::string& body, int64_t nowMs) {
  const json doc = json::parse(body, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return kNotOk;
  const auto id = json_read::memberString(doc, "id");
  if (!id) return kNotOk;
  const std::string key = "ext:" + cutUtf8(*id, kIdBytes);

  if (optBool(doc, "gone", false)) {
    MutexLock publish(publishMu_);
    {
      MutexLock lock(mu_);
      reports_.erase(key);
    }
    hub_.removeSource(key);
    return kOkNoCover;
  }

  // Every typed member is checked before anything is stored.
  const std::string service = optString(doc, "service");
  const std::string browser = optString(doc, "browser");
  const std::string title = optString(doc, "title");
  const std::string artist = optString(doc, "artist");
  const std::string album = optString(doc, "album");
  const std::string status = optString(doc, "status");
  const std::string artworkUrl = optString(doc, "artworkUrl");
  const bool local = optBool(doc, "local", true);
  const std::string channel = cutUtf8(optString(doc, "channel"), kChannelBytes);
  const uint32_t actions = optActions(doc);

  SourceRecord r;
  r.sourceKey = key;
  r.kind = kKindExtension;
  r.service = static_cast<ServiceId>(serviceFromName(service));
  r.app = cutUtf8(browser, kBrowserBytes);
  r.title = cutUtf8(title, kTextBytes);
  r.artist = cutUtf8(artist, kTextBytes);
  std::string cutAlbum = cutUtf8(album, kTextBytes);
  if (!cutAlbum.empty()) r.album = std::move(cutAlbum);
  r.status = status == "playing"  ? kStatusPlaying
             : status == "paused" ? kStatusPaused
                                  : kStatusStopped;
  r.local = local;
  r.updatedAt = nowMs;
  // Actions are taken only through a channel; a report without one (an older extension) offers
  // none.
  r.controls = channel.empty() ? 0 : actions;

  bool durationPositive = false;
  std::optional<int64_t> duration = optNumber(doc, "durationMs", &durationPositive);
  if (duration && durationPositive) {
    r.durationMs = *duration;
    r.positionMs = optNumber(doc, "positionMs").value_or(0);
    int64_t at = optNumber(doc, "positionAt").value_or(nowMs);
    if (at < 1 || at > nowMs) at = nowMs;
    r.positionAt = at;
  }

  if (r.title.empty()) return kNotOk;

  const std::string url = cutUtf8(artworkUrl, kUrlBytes);
  const bool allowed = !url.empty() && isAllowedCoverUrl(url);
  bool needCover = false;

  MutexLock publish(publishMu_);
  SourceRecord copy;
  std::string evicted;
  bool created = false;
  {
    MutexLock lock(mu_);
    auto [it, inserted] = reports_.try_emplace(key);
    created = inserted;
    if (inserted && reports_.size() > kMaxSources) evicted = evictStalestLocked(key);
    ReportEntry& entry = it->second;
    const bool sameTrack = !inserted && trackKey(entry.record) == trackKey(r);
    entry.lastSeenMs = nowMs;
    entry.artworkUrl = url;
    entry.channel = channel;
    if (allowed) {
      auto cached = coverCache_.find(url);
      if (cached != coverCache_.end() && hub_.hasCover(cached->second)) {
        r.coverId = cached->second;
      } else {
        const bool fresh = pendingCovers_.insert(url).second;
        // When the agent could not download it (an image server that refuses programs, no
        // route), the extension, which sees the page's picture, is asked for it, and the agent
        // tries again itself only after its pause, not on every heartbeat.
        needCover = !covers_ || covers_->wish(url) == CoverFetcher::Wish::kFailed;
        // Keep the old picture up until the new one arrives, as long as the song is the same.
        if (sameTrack) r.coverId = entry.record.coverId;
        if (fresh) prunePendingLocked();
      }
    }
    entry.record = r;
    copy = std::move(r);
  }
  if (!evicted.empty()) hub_.removeSource(evicted);
  hub_.putSource(std::move(copy));
  publish.unlock();
  if (created && onNewSource_) onNewSource_();
  return needCover ? kOkNeedCover : kOkNoCover;
}

bool ExtensionIngest::acceptCover(const std::string& url, const std::string& contentType,
                                  const std::string& bytes) {
  if (bytes.empty() || bytes.size() > kCoverMaxBytes || !isImageType(contentType)) return false;
  std::vector<SourceRecord> updated;
  MutexLock publish(publishMu_);
  {
    MutexLock lock(mu_);
    if (pendingCovers_.erase(url) == 0) return false;
    if (covers_) covers_->forget(url);
    const std::string id = hub_.putCover(contentType, bytes);
    coverCache_[url] = id;
    // Bounded by dropping the byte-wise smallest URL.
    if (coverCache_.size() > kCoverCacheSize) coverCache_.erase(coverCache_.begin());
    for (auto& [key, entry] : reports_) {
      if (entry.artworkUrl != url) continue;
      entry.record.coverId = id;
      updated.push_back(entry.record);
    }
  }
  for (SourceRecord& r : updated) hub_.putSource(std::move(r));
  return true;
}

std::string ExtensionIngest::evictStalestLocked(const std::string& keep) {
  auto stalest = reports_.end();
  for (auto it = reports_.begin(); it != reports_.end(); ++it) {
    if (it->first == keep) continue;
    if (stalest == reports_.end() || it->second.lastSeenMs < stalest->second.lastSeenMs)
      stalest = it;
  }
  if (stalest == reports_.end()) return {};
  std::string key = stalest->first;
  reports_.erase(stalest);
  return key;
}

size_t ExtensionIngest::expireReports(int64_t nowMs) {
  std::vector<std::string> expired;
  MutexLock publish(publishMu_);
  {
    MutexLock lock(mu_);
    for (auto it = reports_.begin(); it != reports_.end();) {
      if (nowMs - it->second.lastSeenMs > kSilenceMs) {
        expired.push_back(it->first);
        it = reports_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const std::string& key : expired) hub_.removeSource(key);
  return expired.size();
}

bool ExtensionIngest::hasReports() {
  MutexLock lock(mu_);
  return !reports_.empty();
}

void ExtensionIngest::setOnNewSource(std::function<void()> onNewSource) {
  onNewSource_ = std::move(onNewSource);
}

std::string ExtensionIngest::send(const SourceRecord& source, uint32_t action) {
  const char* name = controlName(action);
  std::string channel;
  {
    MutexLock lock(mu_);
    auto it = reports_.find(source.sourceKey);
    if (it != reports_.end()) channel = it->second.channel;
  }
  if (!name || channel.empty()) return "the tab no longer reports";
  const std::string tab = source.sourceKey.substr(4);  // without "ext:"

  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  MutexLock lock(commandMu_);
  auto c = channels_.find(channel);
  const bool listening = c != channels_.end() && !commandsClosed_ &&
                         (c->second.waiting || now - c->second.lastSeen <= kChannelGrace);
  if (!listening) return "the browser extension of that tab is not listening for commands";
  const uint64_t id = ++lastCommand_;
  c->second.queue.push_back({id, tab, action});
  answers_.emplace(id, std::nullopt);
  commandWake_.signalAll();
  while (!commandsClosed_ && !answers_[id].has_value() &&
         commandWake_.waitUntil(commandMu_, now + kCommandDeadline)) {
  }
  std::optional<std::string> answer = std::move(answers_[id]);
  answers_.erase(id);
  if (answer) return *answer;
  // Not taken: it must not run later, when nobody expects it any more.
  c = channels_.find(channel);
  if (c != channels_.end()) {
    auto& queue = c->second.queue;
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [id](const Command& cmd) { return cmd.id == id; }),
                queue.end());
  }
  return "the tab did not answer in time";
}

ControlAnswer ExtensionIngest::takeCommands(const std::string& body,
                                            std::chrono::milliseconds wait) {
  const auto channel = json_read::memberString(json::parse(body, nullptr, false), "channel");
  if (!channel) return {400, ""};
  const std::string name = cutUtf8(*channel, kChannelBytes);
  if (name.empty()) return {400, ""};

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + wait;
  MutexLock lock(commandMu_);
  auto it = channels_.find(name);
  if (it == channels_.end() || !it->second.waiting) {
    size_t waiting = 0;
    for (const auto& [key, ch] : channels_) waiting += ch.waiting ? 1 : 0;
    if (waiting >= kMaxWaitingChannels) return {503, ""};
  }
  if (it == channels_.end()) {
    // Room for a new one: the channel heard from least recently that waits for nothing goes.
    if (channels_.size() >= kMaxChannels) {
      auto stalest = channels_.end();
      for (auto c = channels_.begin(); c != channels_.end(); ++c) {
        if (c->second.waiting) continue;
        if (stalest == channels_.end() || c->second.lastSeen < stalest->second.lastSeen)
          stalest = c;
      }
      if (stalest == channels_.end()) return {503, ""};
      channels_.erase(stalest);
    }
    it = channels_.try_emplace(name).first;
  }
  const uint64_t request = ++it->second.request;
  it->second.waiting = true;
  commandWake_.signalAll();  // an older request of this channel ends
  // Looked up again after each wake: a channel that no request holds any more may be dropped.
  const auto mine = [&]() REQUIRES(commandMu_) -> Channel* {
    auto c = channels_.find(name);
    return c != channels_.end() && c->second.request == request ? &c->second : nullptr;
  };
  for (Channel* c = mine(); !commandsClosed_ && c && c->queue.empty(); c = mine()) {
    if (!commandWake_.waitUntil(commandMu_, deadline)) break;
  }
  json commands = json::array();
  if (Channel* c = mine()) {
    c->waiting = false;
    c->lastSeen = Clock::now();
    for (const Command& cmd : c->queue) {
      commands.push_back(
          {{"action", controlName(cmd.action)}, {"command", cmd.id}, {"id", cmd.tab}});
    }
    c->queue.clear();
  }
  return {200, dumpJson({{"commands", std::move(commands)}})};
}

bool ExtensionIngest::finishCommand(const std::string& body) {
  const json doc = json::parse(body, nullptr, false);
  if (!doc.is_object()) return false;
  auto id = doc.find("command");
  auto ok = doc.find("ok");
  if (id == doc.end() || !id->is_number_unsigned() || ok == doc.end() || !ok->is_boolean())
    return false;
  std::string error;
  if (!ok->get<bool>()) {
    error = cutUtf8(json_read::memberString(doc, "error").value_or(""), kErrorBytes);
    if (error.empty()) error = "the tab could not take the action";
  }
  MutexLock lock(commandMu_);
  auto it = answers_.find(id->get<uint64_t>());
  if (it == answers_.end() || it->second) return false;
  it->second = std::move(error);
  commandWake_.signalAll();
  return true;
}

void ExtensionIngest::closeCommands() {
  MutexLock lock(commandMu_);
  commandsClosed_ = true;
  commandWake_.signalAll();
}

void ExtensionIngest::prunePendingLocked() {
  if (pendingCovers_.size() <= kPendingSoftCap) return;
  std::set<std::string> named;
  for (const auto& [key, entry] : reports_) {
    if (!entry.artworkUrl.empty()) named.insert(entry.artworkUrl);
  }
  for (auto it = pendingCovers_.begin(); it != pendingCovers_.end();) {
    if (named.count(*it) || (covers_ && covers_->downloading(*it))) {
      ++it;
    } else {
      if (covers_) covers_->unqueue(*it);
      it = pendingCovers_.erase(it);
    }
  }
}

}  // namespace tunelight
