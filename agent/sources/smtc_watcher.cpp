#include "agent/sources/smtc_watcher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <system_error>
#include <utility>

#include "agent/hub.h"
#include "agent/log.h"
#include "agent/model.h"

namespace tunelight {

namespace {

constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kThumbnailRetryMs = 500;
constexpr int64_t kThumbnailRefreshMs = 5000;
constexpr auto kCyclePeriod = std::chrono::milliseconds(500);
// A change signal never runs cycles closer together than this.
constexpr auto kMinCycleGap = std::chrono::milliseconds(50);

}  // namespace

bool MediaBackend::waitForChange(int32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(wakeMu_);
  wakeCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return woken_; });
  woken_ = false;
  return false;
}

void MediaBackend::wake() {
  std::lock_guard<std::mutex> lock(wakeMu_);
  woken_ = true;
  wakeCv_.notify_all();
}

std::string sniffImageType(const std::string& b) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(b[i]); };
  if (b.size() >= 4 && at(0) == 0x89 && at(1) == 0x50) return "image/png";
  if (b.size() >= 3 && at(0) == 0xFF && at(1) == 0xD8) return "image/jpeg";
  if (b.size() >= 13 && b.compare(8, 4, "WEBP") == 0) return "image/webp";
  return "image/png";
}

bool readThumbnail(MediaThumbnail* thumbnail, ThumbnailState& state) {
  if (!thumbnail) return false;
  std::unique_ptr<MediaThumbnailStream> stream = thumbnail->open();
  if (!stream) return false;
  uint64_t size = stream->size();
  if (size == 0 || size > kMaxThumbnailBytes) return false;
  std::string bytes = stream->read(static_cast<uint32_t>(size));
  if (bytes.size() > size) bytes.resize(size);  // never more than the buffer's capacity
  state.bytes = std::move(bytes);
  std::string type = stream->contentType();
  state.contentType = type.compare(0, 6, "image/") == 0 ? type : sniffImageType(state.bytes);
  return !state.bytes.empty();
}

void applyTimeline(const MediaTimeline& t, SessionSnapshot& s) {
  s.durationMs = (t.endTime - t.startTime) / kTicksPerMs;
  s.positionMs = (t.position - t.startTime) / kTicksPerMs;
  s.positionAt = t.lastUpdatedTime > 0 ? (t.lastUpdatedTime - kUnixEpochTicks) / kTicksPerMs : 0;
}

SessionTable::SessionTable(Hub& hub, int32_t removeAfterMs, int32_t coverHoldMs)
    : hub_(hub), removeAfterMs_(removeAfterMs), coverHoldMs_(coverHoldMs) {}

void SessionTable::publish(const std::vector<SessionSnapshot>& snapshots, int64_t nowMs) {
  for (const SessionSnapshot& s : snapshots) {
    const AppIdentity& id = s.identity;
    if (!id.handled || s.title.empty()) continue;
    Entry& e = entries_[s.aumid];
    e.lastSeenMs = nowMs;

    SourceRecord r;
    r.sourceKey = "smtc:" + s.aumid;
    r.kind = id.kind;
    r.service = id.service;
    r.app = id.app;
    r.player = id.player;
    r.isVideo = id.isVideo;
    r.title = s.title;
    r.artist = s.artist;
    if (!s.album.empty()) r.album = s.album;
    r.status = s.status;
    r.controls = s.controls;
    r.local = true;
    r.updatedAt = nowMs;
    if (s.durationMs > 0) {
      r.durationMs = s.durationMs;
      r.positionMs = s.positionMs;
      r.positionAt = s.positionAt < 1 ? nowMs : std::min(s.positionAt, nowMs);
    }

    std::string key = trackKey(r);
    if (key != e.trackKey) {
      e.trackKey = std::move(key);
      e.trackChangedAt = nowMs;
      e.coverFresh = false;
    }
    if (s.thumbnail && !s.thumbnail->empty()) {
      e.coverId = hub_.putCover(s.contentType, *s.thumbnail);
      e.coverFresh = true;
    } else if (!e.coverFresh && nowMs - e.trackChangedAt > coverHoldMs_) {
      e.coverId.clear();
    }
    r.coverId = e.coverId;
    hub_.putSource(std::move(r));
  }

  for (auto it = entries_.begin(); it != entries_.end();) {
    if (nowMs - it->second.lastSeenMs > removeAfterMs_) {
      hub_.removeSource("smtc:" + it->first);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

void SessionTable::clear() {
  for (const auto& [aumid, entry] : entries_) hub_.removeSource("smtc:" + aumid);
  entries_.clear();
}

SmtcWatcher::SmtcWatcher(Hub& hub) : SmtcWatcher(hub, makePlatformMediaBackend(), wallNowMs) {}

SmtcWatcher::SmtcWatcher(Hub& hub, std::unique_ptr<MediaBackend> backend, WallClock clock)
    : backend_(std::move(backend)), clock_(std::move(clock)), table_(hub) {
  backend_->setStopFlag(&stop_);
}

SmtcWatcher::~SmtcWatcher() {
  stop();
}

void SmtcWatcher::start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { threadMain(); });
}

void SmtcWatcher::stop() {
  stop_ = true;
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  backend_->wake();
  thread_.join();
}

void SmtcWatcher::threadMain() {
  try {
    backend_->threadBegin();
  } catch (const std::exception& e) {
    log(kLogError, std::string("SMTC: cannot start: ") + e.what());
    return;
  } catch (...) {
    log(kLogError, "SMTC: cannot start");
    return;
  }
  failureCount_ = 0;
  while (!stop_) {
    auto cycleStart = std::chrono::steady_clock::now();
    try {
      runCycle();
    } catch (...) {
      // Neither a platform nor a standard error: the watcher cannot go on, the agent can.
      log(kLogError, "SMTC: unexpected failure, watcher stopped");
      break;
    }
    // One wait for the rest of the period: an idle watcher wakes twice a second, and stop()
    // ends the wait through the backend's wake().
    const auto deadline = std::chrono::steady_clock::now() + kCyclePeriod;
    bool woke = false;
    while (!stop_ && !woke) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      woke = backend_->waitForChange(static_cast<int32_t>(left.count()));
    }
    if (woke && !stop_) {
      auto gap = std::chrono::steady_clock::now() - cycleStart;
      if (gap < kMinCycleGap) std::this_thread::sleep_for(kMinCycleGap - gap);
    }
  }
  endCycles();
  try {
    backend_->threadEnd();
  } catch (...) {
  }
}

void SmtcWatcher::endCycles() {
  manager_.reset();
  table_.clear();
  thumbnails_.clear();
  failureCount_ = 0;
}

void SmtcWatcher::dropThumbnails(const std::vector<SessionSnapshot>& listed) {
  // Apps with per-process ids would otherwise leave an entry behind for every run.
  for (auto it = thumbnails_.begin(); it != thumbnails_.end();) {
    const bool keep = table_.has(it->first) ||
                      std::any_of(listed.begin(), listed.end(),
                                  [&](const SessionSnapshot& s) { return s.aumid == it->first; });
    it = keep ? std::next(it) : thumbnails_.erase(it);
  }
}

void SmtcWatcher::runCycle() {
  uint32_t fault = backend_->guard([this] { pollOnce(); });
  if (fault != 0) {
    char line[80];
    std::snprintf(line, sizeof line, "SMTC: crash 0x%08lX caught, restarting session manager",
                  static_cast<unsigned long>(fault));
    log(kLogError, line);
    manager_.reset();
  }
}

void SmtcWatcher::pollOnce() {
  try {
    if (!manager_) {
      manager_ = backend_->requestManager();
      if (!manager_) throw MediaError(-1, "no session manager");
      log(kLogInfo, "SMTC: session manager ready");
    }
    std::vector<std::unique_ptr<MediaSession>> sessions = manager_->sessions();
    // Read after the list: a backend that reads its sessions while listing them dates those
    // readings no later than the cycle, so they are not clamped to an earlier time.
    const int64_t nowMs = clock_();
    std::vector<SessionSnapshot> snapshots;
    for (std::unique_ptr<MediaSession>& session : sessions) {
      SessionSnapshot s;
      s.aumid = session->appId();
      s.identity = session->identify();
      if (!s.identity.handled) continue;
      MediaProperties props = session->properties();
      s.title = std::move(props.title);
      s.artist = std::move(props.artist);
      s.album = std::move(props.album);
      s.status = session->playbackStatus();
      s.controls = session->controls();
      applyTimeline(session->timeline(), s);

      ThumbnailState& th = thumbnails_[s.aumid];
      std::string key = s.title + '\x1F' + s.artist;
      bool reread = key != th.key || (!th.ok && nowMs - th.lastAttemptMs > kThumbnailRetryMs) ||
                    nowMs - th.lastAttemptMs > kThumbnailRefreshMs;
      if (reread) {
        th.key = std::move(key);
        th.lastAttemptMs = nowMs;
        try {
          th.ok = readThumbnail(props.thumbnail.get(), th);
        } catch (const MediaError&) {
          th.ok = false;
        }
        if (th.ok) {
          s.thumbnail = th.bytes;
          s.contentType = th.contentType;
        } else {
          th.bytes.clear();
        }
      }
      snapshots.push_back(std::move(s));
    }
    table_.publish(snapshots, nowMs);
    dropThumbnails(snapshots);
    failureCount_ = 0;
  } catch (const MediaError& e) {
    // An operation abandoned because the watcher is stopping is no platform failure.
    const bool stopping = stop_.load();
    if (!stopping && ++failureCount_ <= 3) {
      log(kLogWarning, std::string("SMTC: ") + e.what() + " - retrying");
    }
    manager_.reset();
    if (e.sessionsGone()) {
      table_.publish({}, clock_());
      dropThumbnails({});
    }
  } catch (const std::exception& e) {
    if (++failureCount_ <= 3) log(kLogWarning, std::string("SMTC: ") + e.what());
    manager_.reset();
  }
}

}  // namespace tunelight
