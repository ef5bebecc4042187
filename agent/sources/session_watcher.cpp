#include "agent/sources/session_watcher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "agent/hub.h"
#include "agent/log.h"
#include "agent/model.h"

namespace tunelight {

// Log lines keep their "SMTC: " prefix on every platform: users' notes, log searches and the
// tests look for it.

namespace {

constexpr int64_t kThumbnailRefreshMs = 5000;
// Apps often publish the new artwork a little after the new title: the thumbnail is read again
// this long after a track change.
constexpr int64_t kThumbnailSettleMs = 1000;
// Back-off after failures (the manager, one session's reads, one session's thumbnail): the
// first pause, doubled after each further failure up to the last.
constexpr int64_t kFirstBackoffMs = 500;
constexpr int64_t kLastBackoffMs = 5000;
// How long a cycle waits for the properties reads it began; a read still running then is asked
// again in the next cycles (no waiting) and given up after kReadGiveUpMs.
constexpr auto kReadWindow = std::chrono::milliseconds(300);
constexpr int64_t kReadGiveUpMs = 5000;
constexpr auto kCyclePeriod = std::chrono::milliseconds(500);
// With a backend that reports every change, the longest wait while nothing moves: a backstop
// for a player that breaks its promise to signal.
constexpr auto kIdlePeriod = std::chrono::milliseconds(60000);
// A change signal never runs cycles closer together than this.
constexpr auto kMinCycleGap = std::chrono::milliseconds(50);
// A player action is sent no later than this after it was asked for (an older one is dropped
// unsent: a pause that arrives seconds late surprises), and its answer is waited for this long.
constexpr auto kControlSendWithin = std::chrono::milliseconds(700);
constexpr auto kControlAnswerWithin = std::chrono::milliseconds(1000);
// Requests waiting behind the one in progress.
constexpr size_t kMaxQueuedControls = 4;

int64_t nextBackoff(int64_t current) {
  return current == 0 ? kFirstBackoffMs : std::min(current * 2, kLastBackoffMs);
}

// The source key of each session, in the platform's order: the app id, and for the second and
// later sessions of one id that id with "#2", "#3", ... (the first keeps the bare id, so that
// anything stored under it stays valid).
std::string sessionKey(const std::string& appId, std::map<std::string, int>& seen) {
  const int n = ++seen[appId];
  return n == 1 ? appId : appId + "#" + std::to_string(n);
}

}  // namespace

bool MediaBackend::waitForChange(int32_t timeoutMs) {
  MutexLock lock(wakeMu_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!woken_ && wakeCv_.waitUntil(wakeMu_, deadline)) {
  }
  woken_ = false;
  return false;
}

void MediaBackend::wake() {
  MutexLock lock(wakeMu_);
  woken_ = true;
  wakeCv_.signalAll();
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
  s.durationMs = t.endMs - t.startMs;
  s.positionMs = t.positionMs - t.startMs;
  s.positionAt = t.updatedAtMs;
}

SessionTable::SessionTable(Hub& hub, int32_t removeAfterMs, int32_t coverHoldMs)
    : hub_(hub), removeAfterMs_(removeAfterMs), coverHoldMs_(coverHoldMs) {}

void SessionTable::publish(const std::vector<SessionSnapshot>& snapshots, int64_t nowMs) {
  for (auto& [aumid, entry] : entries_) entry.listed = false;
  for (const SessionSnapshot& s : snapshots) {
    const AppIdentity& id = s.identity;
    if (!id.handled || s.title.empty()) continue;
    Entry& e = entries_[s.aumid];
    e.lastSeenMs = nowMs;
    e.listed = true;

    SourceRecord r;
    r.sourceKey = kMediaSessionKeyPrefix + s.aumid;
    r.kind = static_cast<SourceKind>(id.kind);
    r.service = static_cast<ServiceId>(id.service);
    r.app = id.app;
    r.player = id.player;
    r.isVideo = id.isVideo;
    r.title = s.title;
    r.artist = s.artist;
    if (!s.album.empty()) r.album = s.album;
    r.status = static_cast<PlaybackStatus>(s.status);
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
      hub_.removeSource(kMediaSessionKeyPrefix + it->first);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

bool SessionTable::allListed() const {
  return std::all_of(entries_.begin(), entries_.end(),
                     [](const auto& e) { return e.second.listed; });
}

void SessionTable::seenUntil(int64_t nowMs) {
  for (auto& [aumid, entry] : entries_) entry.lastSeenMs = std::max(entry.lastSeenMs, nowMs);
}

void SessionTable::clear() {
  for (const auto& [aumid, entry] : entries_) hub_.removeSource(kMediaSessionKeyPrefix + aumid);
  entries_.clear();
}

SessionWatcher::SessionWatcher(Hub& hub)
    : SessionWatcher(hub, makePlatformMediaBackend(), wallNowMs) {}

SessionWatcher::SessionWatcher(Hub& hub, std::unique_ptr<MediaBackend> backend, WallClock clock)
    : backend_(std::move(backend)),
      clock_(std::move(clock)),
      table_(hub),
      // Without its thread, thumbnails are read within the cycle.
      thumbWorker_(*backend_, faulted_,
                   "SMTC: no thumbnail thread: ", "SMTC: thumbnails unavailable: ", true),
      controlWorker_(*backend_, faulted_,
                     "SMTC: no player actions: ", "SMTC: player actions unavailable: ", false) {
  backend_->setStopFlag(&stop_);
}

SessionWatcher::~SessionWatcher() {
  // A thread that outlived stop()'s wait still uses this object: wait for it after all.
  if (!stop() && thread_.joinable()) thread_.join();
}

void SessionWatcher::start() {
  if (thread_.joinable() || faulted_) return;
  stop_ = false;
  {
    MutexLock lock(doneMu_);
    done_ = false;
  }
  thread_ = std::thread([this] { threadMain(); });
}

bool SessionWatcher::stop(int32_t timeoutMs) {
  stop_ = true;
  if (!thread_.joinable()) return true;
  if (thread_.get_id() == std::this_thread::get_id()) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  backend_->wake();
  {
    MutexLock lock(doneMu_);
    // A platform call that never returns keeps the thread; the process ends without it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done_) {
      if (!doneCv_.waitUntil(doneMu_, deadline) && !done_) return false;
    }
  }
  thread_.join();
  return true;
}

void SessionWatcher::threadMain() {
  bool begun = false;
  try {
    backend_->threadBegin();
    begun = true;
  } catch (const std::exception& e) {
    log(kLogError, std::string("SMTC: cannot start: ") + e.what());
  } catch (...) {
    log(kLogError, "SMTC: cannot start");
  }
  if (begun) {
    thumbWorker_.start();
    controlWorker_.start();
    failureCount_ = 0;
  }
  while (begun && !stop_ && !faulted_) {
    auto cycleStart = std::chrono::steady_clock::now();
    try {
      runCycle();
    } catch (...) {
      // Neither a platform nor a standard error: the watcher cannot go on, the agent can.
      log(kLogError, "SMTC: unexpected failure, watcher stopped");
      break;
    }
    // One wait until the next cycle is due: stop() ends it through the backend's wake(), as does
    // a thumbnail that has been read, and a change signal ends it early.
    const bool quiet = quietWait_;
    const auto deadline = std::chrono::steady_clock::now() + nextCycleIn_;
    bool woke = false;
    while (!stop_ && !woke) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      woke = backend_->waitForChange(static_cast<int32_t>(left.count()));
      if (thumbReady_.exchange(false)) woke = true;
    }
    // Until the wait ended, a backend that reports every change reported none: the sessions of
    // the last listing were all there.
    if (quiet) table_.seenUntil(clock_());
    if (woke && !stop_) {
      auto gap = std::chrono::steady_clock::now() - cycleStart;
      if (gap < kMinCycleGap) std::this_thread::sleep_for(kMinCycleGap - gap);
    }
  }
  if (begun) {
    controlWorker_.stop();
    // The sessions of the last listing are released here, on the watcher thread, while it is
    // still in the apartment.
    publishControls({});
    thumbWorker_.stop();
    {
      MutexLock lock(thumbMu_);
      thumbDone_.clear();
    }
    endCycles();
    try {
      backend_->threadEnd();
    } catch (...) {
    }
  }
  MutexLock lock(doneMu_);
  done_ = true;
  doneCv_.signalAll();
}

void SessionWatcher::endCycles() {
  manager_.reset();
  table_.clear();
  states_.clear();  // gives up reads still running
  failureCount_ = 0;
  managerBackoffMs_ = 0;
  managerRetryAtMs_ = 0;
  sessionsLost_ = false;
}

void SessionWatcher::noteFault(uint32_t code) {
  if (faulted_.exchange(true)) return;
  char line[120];
  std::snprintf(line, sizeof line,
                "SMTC: crash 0x%08lX caught in the media runtime, the agent must restart",
                static_cast<unsigned long>(code));
  log(kLogError, line);
  // The runtime may hold its own locks now: nothing calls into it again in this process.
  stop_ = true;
  thumbWorker_.notify();
  controlWorker_.notify();
  if (onFault_) onFault_();
}

void SessionWatcher::runCycle() {
  if (faulted_) return;
  uint32_t fault = backend_->guard([this] { pollOnce(); });
  if (fault != 0) noteFault(fault);
}

void SessionWatcher::managerFailed(const std::string& what, bool sessionsGone) {
  // An operation abandoned because the watcher is stopping is no platform failure.
  if (!stop_ && ++failureCount_ <= 3) log(kLogWarning, "SMTC: " + what);
  managerBackoffMs_ = nextBackoff(managerBackoffMs_);
  managerRetryAtMs_ = clock_() + managerBackoffMs_;
  sessionsLost_ = sessionsGone;
  dropLostSessions();
}

// Sources of a platform that lost its sessions go by the removal rule; after other failures
// (which say nothing about the sessions) their last records stay.
void SessionWatcher::dropLostSessions() {
  if (!sessionsLost_) return;
  table_.publish({}, clock_());
  for (auto it = states_.begin(); it != states_.end();)
    it = table_.has(it->first) ? std::next(it) : states_.erase(it);
}

void SessionWatcher::sessionFailed(const std::string& key, SessionState& st,
                                   const std::string& what, int64_t nowMs) {
  if (!stop_ && ++st.failures <= 3) {
    log(kLogWarning, "SMTC: session " + (key.empty() ? std::string("?") : key) + ": " + what);
  }
  st.backoffMs = nextBackoff(st.backoffMs);
  st.retryAtMs = nowMs + st.backoffMs;
}

void SessionWatcher::pollOnce() {
  nextCycleIn_ = kCyclePeriod;
  quietWait_ = false;
  if (!manager_) {
    if (clock_() < managerRetryAtMs_) {
      dropLostSessions();
      return;
    }
    try {
      manager_ = backend_->requestManager();
      if (!manager_) throw MediaError(-1, "no session manager");
    } catch (const MediaError& e) {
      managerFailed(std::string(e.what()) + " - retrying", e.sessionsGone());
      return;
    } catch (const std::exception& e) {
      managerFailed(e.what(), false);
      return;
    }
    log(kLogInfo, "SMTC: session manager ready");
  }

  std::vector<std::unique_ptr<MediaSession>> sessions;
  try {
    sessions = manager_->sessions();
  } catch (const MediaError& e) {
    manager_.reset();
    managerFailed(std::string(e.what()) + " - retrying", e.sessionsGone());
    return;
  } catch (const std::exception& e) {
    manager_.reset();
    managerFailed(e.what(), false);
    return;
  }
  failureCount_ = 0;
  managerBackoffMs_ = 0;
  sessionsLost_ = false;
  // Read after the list: a backend that reads its sessions while listing them dates those
  // readings no later than the cycle, so they are not clamped to an earlier time.
  const int64_t nowMs = clock_();

  // Every read begins before any is waited for, so that one slow session costs one window.
  struct Reading {
    size_t index;
    std::string key;
    AppIdentity identity;
    SessionState* state;
  };
  std::vector<Reading> reads;
  std::map<std::string, int> seen;
  std::map<std::string, std::shared_ptr<MediaSessionControl>> controls;
  for (size_t i = 0; i < sessions.size(); ++i) {
    MediaSession& session = *sessions[i];
    std::string key;
    AppIdentity identity;
    try {
      key = sessionKey(session.appId(), seen);
      identity = session.identify();
    } catch (const MediaError& e) {
      // Gone between the list and this read: its source goes by the removal rule.
      SessionState& st = states_[key];
      st.listedAtMs = nowMs;
      sessionFailed(key, st, e.what(), nowMs);
      continue;
    }
    if (!identity.handled) continue;
    if (auto control = session.control()) controls[key] = std::move(control);
    SessionState& st = states_[key];
    st.listedAtMs = nowMs;
    if (!st.pending) {
      if (nowMs < st.retryAtMs) continue;
      try {
        session.beginProperties();
      } catch (const MediaError& e) {
        sessionFailed(key, st, e.what(), nowMs);
        continue;
      }
    }
    reads.push_back({i, std::move(key), std::move(identity), &st});
  }
  publishControls(std::move(controls));

  const auto now = std::chrono::steady_clock::now();
  const auto window = now + kReadWindow;
  std::vector<SessionSnapshot> snapshots;
  for (Reading& r : reads) {
    SessionState& st = *r.state;
    MediaSession& live = *sessions[r.index];
    try {
      // A read that was waited for once, or that timed out before, is only looked at.
      MediaSession& reader = st.pending ? *st.pending : live;
      std::optional<MediaProperties> props =
          reader.tryProperties(st.pending || st.slow ? now : window);
      if (!props) {
        if (!st.pending) {
          st.pending = std::move(sessions[r.index]);
          st.pendingSinceMs = nowMs;
        } else if (nowMs - st.pendingSinceMs >= kReadGiveUpMs) {
          st.pending.reset();  // gives the read up
          st.slow = true;
          throw MediaError(-1, "properties read timed out");
        }
        continue;
      }
      st.pending.reset();
      st.slow = false;
      SessionSnapshot s;
      s.aumid = r.key;
      s.identity = std::move(r.identity);
      s.title = std::move(props->title);
      s.artist = std::move(props->artist);
      s.album = std::move(props->album);
      s.status = live.playbackStatus();
      s.controls = live.controls();
      applyTimeline(live.timeline(), s);
      st.failures = 0;
      st.backoffMs = 0;
      planThumbnail(r.key, st, s.title + '\x1F' + s.artist, std::move(props->thumbnail), nowMs);
      snapshots.push_back(std::move(s));
    } catch (const MediaError& e) {
      sessionFailed(r.key, st, e.what(), nowMs);
    } catch (const std::exception& e) {
      sessionFailed(r.key, st, e.what(), nowMs);
    }
  }

  if (!thumbWorker_.hasThread()) thumbWorker_.runQueuedHere();
  takeThumbnails(snapshots, nowMs);
  table_.publish(snapshots, nowMs);
  // Apps with per-process ids would otherwise leave an entry behind for every run.
  for (auto it = states_.begin(); it != states_.end();) {
    const bool keep = it->second.listedAtMs == nowMs || table_.has(it->first);
    it = keep ? std::next(it) : states_.erase(it);
  }
  planNextCycle(snapshots, nowMs);
}

// A backend that reports every change is polled only for what its signals do not bring: a
// playing session (players do not signal the position as it runs), a published session missing
// from the cycle (the removal rule counts its time), a read still running, and reads due at a
// time (retries after failures, the thumbnail read once a track settled). Otherwise the watcher
// waits for a signal; a paused or stopped player costs no wake-up. The thumbnail refresh every
// 5 s is for platforms without change signals.
void SessionWatcher::planNextCycle(const std::vector<SessionSnapshot>& snapshots, int64_t nowMs) {
  if (!backend_->reportsEveryChange() || !table_.allListed()) return;
  for (const SessionSnapshot& s : snapshots)
    if (s.status == kStatusPlaying) return;
  int64_t dueMs = nowMs + kIdlePeriod.count();
  for (const auto& [key, st] : states_) {
    const ThumbnailState& th = st.thumb;
    if (st.pending || th.inFlight) return;
    if (st.retryAtMs > nowMs) dueMs = std::min(dueMs, st.retryAtMs);
    if (th.ok && !th.settled) dueMs = std::min(dueMs, th.changedAtMs + kThumbnailSettleMs);
    if (!th.ok && th.backoffMs > 0) dueMs = std::min(dueMs, th.retryAtMs + 1);
  }
  nextCycleIn_ =
      std::max<std::chrono::milliseconds>(kCyclePeriod, std::chrono::milliseconds(dueMs - nowMs));
  quietWait_ = true;
}

void SessionWatcher::planThumbnail(const std::string& key, SessionState& st,
                                   const std::string& track, std::shared_ptr<MediaThumbnail> ref,
                                   int64_t nowMs) {
  ThumbnailState& th = st.thumb;
  bool due = false;
  if (track != th.key) {
    th.key = track;
    th.changedAtMs = nowMs;
    th.settled = false;
    th.ok = false;
    th.bytes.clear();
    th.backoffMs = 0;
    th.retryAtMs = 0;
    due = true;
  } else if (th.inFlight) {
    return;
  } else if (!th.ok) {
    due = nowMs > th.retryAtMs;
  } else if (!th.settled && nowMs - th.changedAtMs >= kThumbnailSettleMs) {
    // Replaces the first read when the app published the artwork after the title.
    th.settled = true;
    due = true;
  } else {
    due = nowMs - th.lastAttemptMs > kThumbnailRefreshMs;
  }
  if (!due) return;
  th.lastAttemptMs = nowMs;
  if (!ref) {
    th.ok = false;
    th.bytes.clear();
    th.retryAtMs = nowMs + kFirstBackoffMs;
    return;
  }
  th.inFlight = true;
  // Replaces a read still queued for this session: it is of an older track or reference.
  thumbWorker_.post(key, [this, key, track, ref = std::move(ref)](bool onWorker) mutable {
    ThumbnailResult r = readOne(key, track, std::move(ref));
    {
      MutexLock lock(thumbMu_);
      thumbDone_.push_back(std::move(r));
    }
    if (onWorker) {
      thumbReady_ = true;
      backend_->wake();  // the cycle that shows it runs now
    }
  });
}

void SessionWatcher::takeThumbnails(std::vector<SessionSnapshot>& snapshots, int64_t nowMs) {
  std::vector<ThumbnailResult> done;
  {
    MutexLock lock(thumbMu_);
    done.swap(thumbDone_);
  }
  for (ThumbnailResult& r : done) {
    auto it = states_.find(r.session);
    if (it == states_.end()) continue;
    ThumbnailState& th = it->second.thumb;
    th.inFlight = false;
    if (r.track != th.key) continue;  // of an earlier track: never shown on this one
    if (!r.read.ok) {
      th.ok = false;
      th.bytes.clear();
      // Not yet here: read again at the next cycle, which the picture's arrival starts; nothing
      // is scheduled for it, so a paused player whose cover cannot be fetched stays quiet.
      th.backoffMs = r.notReady ? 0 : nextBackoff(th.backoffMs);
      th.retryAtMs = nowMs + th.backoffMs;
      continue;
    }
    th.ok = true;
    th.backoffMs = 0;
    // A read that came late enough is already the settled one.
    if (nowMs - th.changedAtMs >= kThumbnailSettleMs) th.settled = true;
    th.bytes = std::move(r.read.bytes);
    th.contentType = std::move(r.read.contentType);
    for (SessionSnapshot& s : snapshots) {
      if (s.aumid == r.session) {
        s.thumbnail = th.bytes;
        s.contentType = th.contentType;
      }
    }
  }
}

SessionWatcher::ThumbnailResult SessionWatcher::readOne(const std::string& session,
                                                        const std::string& track,
                                                        std::shared_ptr<MediaThumbnail> ref) {
  ThumbnailResult r{session, track, {}};
  uint32_t fault = backend_->guard([&] {
    try {
      r.read.ok = readThumbnail(ref.get(), r.read);
    } catch (const MediaNotReady&) {
      r.read.ok = false;
      r.notReady = true;
    } catch (const std::exception&) {
      // Unread; the session's back-off decides when it is tried again.
      r.read.ok = false;
    }
  });
  if (fault != 0) noteFault(fault);
  ref.reset();
  return r;
}

void SessionWatcher::publishControls(
    std::map<std::string, std::shared_ptr<MediaSessionControl>> controls) {
  {
    MutexLock lock(controlMu_);
    controls_.swap(controls);
  }
  // The sessions of the listing before are released here, on the watcher thread.
}

std::string SessionWatcher::control(const std::string& sourceKey, uint32_t action) {
  const std::string prefix = kMediaSessionKeyPrefix;
  if (sourceKey.compare(0, prefix.size(), prefix) != 0) return "not a media session";
  const auto now = std::chrono::steady_clock::now();
  const auto deadline = now + kControlSendWithin;
  // Owned by the job alone: a job dropped unsent breaks the promise.
  auto answer = std::make_shared<std::promise<std::string>>();
  std::future<std::string> future = answer->get_future();
  {
    MutexLock lock(controlMu_);
    if (faulted_) return "the media sessions are not watched now";
    const auto it = controls_.find(sourceKey.substr(prefix.size()));
    if (it == controls_.end()) {
      return controlWorker_.hasOpenQueue() ? "the player's session has ended"
                                           : "the media sessions are not watched now";
    }
    // The job holds the session so that this thread never releases it (it is in no apartment).
    std::shared_ptr<MediaSessionControl> session = it->second;
    const SessionWorker::PostResult posted = controlWorker_.post(
        {},
        [this, session, action, deadline, answer = std::move(answer)](bool) mutable {
          answer->set_value(sendControl(*session, action, deadline));
          session.reset();  // released on this thread, which is in the apartment
        },
        kMaxQueuedControls);
    if (posted == SessionWorker::kClosed) return "the media sessions are not watched now";
    if (posted == SessionWorker::kFull) return "the player is still busy with earlier actions";
  }
  if (future.wait_until(now + kControlAnswerWithin) != std::future_status::ready) {
    return "the player did not answer in time";
  }
  try {
    return future.get();
  } catch (const std::future_error&) {
    return "the media sessions are stopping";  // dropped unsent
  }
}

std::string SessionWatcher::sendControl(MediaSessionControl& session, uint32_t action,
                                        std::chrono::steady_clock::time_point deadline) {
  std::string answer;
  if (std::chrono::steady_clock::now() >= deadline) {
    answer = "the player is still busy with an earlier action";
  } else {
    const uint32_t fault = backend_->guard([&] {
      try {
        answer = session.send(action, deadline);
      } catch (const std::exception& e) {
        answer = std::string("the player did not take the action: ") + e.what();
      }
    });
    if (fault != 0) {
      noteFault(fault);
      answer = "the media runtime failed; the agent restarts";
    }
  }
  if (!answer.empty()) log(kLogWarning, "SMTC: player action: " + answer);
  return answer;
}

SessionWorker::SessionWorker(MediaBackend& backend, const std::atomic<bool>& faulted,
                             const char* startFailed, const char* beginFailed, bool runHere)
    : backend_(backend),
      faulted_(faulted),
      startFailed_(startFailed),
      beginFailed_(beginFailed),
      runHere_(runHere),
      open_(runHere) {}

void SessionWorker::start() {
  {
    MutexLock lock(mu_);
    open_ = true;
  }
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& e) {
    log(kLogWarning, startFailed_ + std::string(e.what()));
    MutexLock lock(mu_);
    open_ = runHere_;
  }
}

void SessionWorker::run() {
  bool joined = false;
  try {
    backend_.workerBegin();
    joined = true;
  } catch (const std::exception& e) {
    log(kLogWarning, beginFailed_ + std::string(e.what()));
  } catch (...) {
  }
  MutexLock lock(mu_);
  while (joined) {
    while (!stop_ && !faulted_ && queue_.empty()) cv_.wait(mu_);
    if (stop_ || faulted_) break;
    Job job = std::move(queue_.front().second);
    queue_.pop_front();
    lock.unlock();
    try {
      job(true);
    } catch (const std::exception& e) {
      // Its session sees no answer (a dropped action breaks its promise); the worker goes on.
      log(kLogError, std::string("SMTC: worker job: ") + e.what());
    } catch (...) {
      log(kLogError, "SMTC: worker job: unknown exception");
    }
    job = nullptr;  // what it holds is released on this thread
    lock.lock();
  }
  // Nothing is taken any more; what is queued is dropped by stop().
  open_ = false;
  lock.unlock();
  if (joined) {
    try {
      backend_.workerEnd();
    } catch (...) {
    }
  }
}

void SessionWorker::stop() {
  {
    MutexLock lock(mu_);
    open_ = false;
    stop_ = true;
    cv_.signalAll();
  }
  if (thread_.joinable()) thread_.join();
  std::deque<std::pair<std::string, Job>> dropped;
  MutexLock lock(mu_);
  dropped.swap(queue_);
  stop_ = false;
  open_ = runHere_;  // for cycles run without the thread
  lock.unlock();
  // The dropped jobs are released here, on the calling thread.
}

SessionWorker::PostResult SessionWorker::post(const std::string& key, Job job, size_t maxQueued) {
  MutexLock lock(mu_);
  if (!open_ || faulted_) return kClosed;
  if (!key.empty()) {
    queue_.erase(
        std::remove_if(queue_.begin(), queue_.end(),
                       [&](const std::pair<std::string, Job>& j) { return j.first == key; }),
        queue_.end());
  }
  if (queue_.size() >= maxQueued) return kFull;
  queue_.emplace_back(key, std::move(job));
  cv_.signalAll();
  return kQueued;
}

bool SessionWorker::hasOpenQueue() {
  MutexLock lock(mu_);
  return open_ && !faulted_;
}

void SessionWorker::runQueuedHere() {
  for (;;) {
    Job job;
    {
      MutexLock lock(mu_);
      if (queue_.empty() || faulted_) return;
      job = std::move(queue_.front().second);
      queue_.pop_front();
    }
    job(false);
  }
}

void SessionWorker::notify() {
  MutexLock lock(mu_);
  cv_.signalAll();
}

namespace {

int64_t msSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

#ifdef _WIN32
constexpr char kPlatform[] = "windows";
#else
constexpr char kPlatform[] = "linux";
#endif

}  // namespace

std::string diagnoseMediaSessions(MediaBackend& backend, const std::string& version) {
  using nlohmann::json;
  json doc = {{"agent", "tunelight-agent"}, {"version", version}, {"platform", kPlatform}};
  json sessions = json::array();
  try {
    backend.threadBegin();
  } catch (const std::exception& e) {
    doc["error"] = e.what();
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  }
  // Each call timed, its failure noted under its name; a fault passes on to the guard.
  auto step = [](json& ms, json& errors, const char* name, auto&& call) {
    const auto t = std::chrono::steady_clock::now();
    bool ok = false;
    try {
      call();
      ok = true;
    } catch (const std::exception& e) {
      errors[name] = e.what();
    }
    ms[name] = msSince(t);
    return ok;
  };
  std::unique_ptr<MediaManager> manager;
  std::vector<std::unique_ptr<MediaSession>> list;
  json ms = json::object();
  json errors = json::object();
  const uint32_t fault = backend.guard([&] {
    if (!step(ms, errors, "manager", [&] { manager = backend.requestManager(); }) || !manager) {
      return;
    }
    // Players that answer on their own time (MPRIS) are listed from a later look on.
    for (int look = 0; look < 3 && list.empty(); ++look) {
      if (look > 0) backend.waitForChange(200);
      if (!step(ms, errors, "sessions", [&] { list = manager->sessions(); })) return;
    }
    std::map<std::string, int> seen;
    for (std::unique_ptr<MediaSession>& session : list) {
      json s = json::object();
      json sms = json::object();
      json serrors = json::object();
      std::string id;
      if (step(sms, serrors, "appId", [&] { id = session->appId(); })) {
        s["appId"] = id;
        s["key"] = kMediaSessionKeyPrefix + sessionKey(id, seen);
      }
      AppIdentity a;
      if (step(sms, serrors, "identify", [&] { a = session->identify(); })) {
        s["handled"] = a.handled;
        s["kind"] = kindName(a.kind);
        s["service"] = serviceName(a.service);
        s["app"] = a.app;
        s["player"] = a.player;
        s["isVideo"] = a.isVideo;
      }
      MediaProperties props;
      if (step(sms, serrors, "properties", [&] { props = session->properties(); })) {
        s["title"] = props.title;
        s["artist"] = props.artist;
        s["album"] = props.album;
      }
      PlaybackStatus status = kStatusStopped;
      if (step(sms, serrors, "status", [&] { status = session->playbackStatus(); })) {
        s["status"] = statusName(status);
      }
      uint32_t controls = 0;
      if (step(sms, serrors, "controls", [&] { controls = session->controls(); })) {
        json names = json::array();
        for (uint32_t bit = 1; bit & kControlAll; bit <<= 1)
          if (controls & bit) names.push_back(controlName(bit));
        s["controls"] = std::move(names);
      }
      MediaTimeline t;
      if (step(sms, serrors, "timeline", [&] { t = session->timeline(); })) {
        s["timeline"] = {{"startMs", t.startMs},
                         {"endMs", t.endMs},
                         {"positionMs", t.positionMs},
                         {"lastUpdatedMs", t.updatedAtMs}};
      }
      s["thumbnail"] = nullptr;  // none offered
      if (props.thumbnail) {
        ThumbnailState th;
        bool read = false;
        if (step(sms, serrors, "thumbnail",
                 [&] { read = readThumbnail(props.thumbnail.get(), th); })) {
          s["thumbnail"] = read ? json{{"bytes", th.bytes.size()}, {"contentType", th.contentType}}
                                : json{{"bytes", 0}};
        } else {
          s["thumbnail"] = {{"error", serrors["thumbnail"]}};
        }
      }
      s["ms"] = sms;
      if (!serrors.empty()) s["errors"] = serrors;
      sessions.push_back(std::move(s));
    }
  });
  doc["ms"] = ms;
  if (!errors.empty()) doc["errors"] = errors;
  doc["sessions"] = std::move(sessions);
  if (fault == 0) {
    list.clear();  // released while the thread may still call the platform
    manager.reset();
  }
  if (fault != 0) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(fault));
    doc["fault"] = code;
  } else {
    try {
      backend.threadEnd();
    } catch (...) {
    }
  }
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace tunelight
