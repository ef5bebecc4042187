#include "agent/sources/cover_fetcher.h"

#if defined(__linux__)
#include <pthread.h>
#endif

#include <algorithm>
#include <exception>
#include <utility>

#include "agent/log.h"
#include "agent/model.h"
#include "agent/sources/cover_allowlist.h"

namespace tunelight {

namespace {

// For the worker's steps outside its lock, which nothing may leave: a line that cannot be
// written (no memory) is dropped. detail is shortened to 120 bytes.
void logQuietly(LogLevel level, const char* text, const std::string& detail = {}) noexcept {
  try {
    log(level, detail.empty() ? std::string(text) : text + cutUtf8(detail, 120));
  } catch (...) {
  }
}

}  // namespace

bool httpsCoverGetter(const std::string& url, std::string& contentType, std::string& body,
                      const std::atomic<bool>& cancel) {
  return coverFetcher(url, contentType, body, &cancel);
}

CoverFetcher::CoverFetcher(Rules rules, CoverGetter getter, WallClock now, OnCover onCover)
    : rules_(rules),
      getter_(std::move(getter)),
      now_(std::move(now)),
      onCover_(std::move(onCover)) {}

CoverFetcher::~CoverFetcher() {
  stop();
}

CoverFetcher::Wish CoverFetcher::wish(const std::string& url) {
  const int64_t now = now_();
  MutexLock lock(mu_);
  auto [it, inserted] = entries_.try_emplace(url);
  Entry& e = it->second;
  if (inserted) e.order = nextOrder_++;
  if (e.kept) return Wish::kKept;
  const bool failed = e.pauseMs > 0;
  if (!e.queued && inFlight_ != url && (!failed || now >= e.retryAtMs)) {
    e.queued = true;
    queue_.push_back(url);
    // Not while stopping: what is wished meanwhile goes with the queue.
    if (!stop_ && !worker_.joinable()) worker_ = std::thread([this] { run(); });
    wake_.signalAll();
  }
  if (inserted) evict();
  return failed ? Wish::kFailed : Wish::kPending;
}

std::optional<CoverFetcher::Cover> CoverFetcher::cover(const std::string& url) {
  MutexLock lock(mu_);
  auto it = entries_.find(url);
  if (it == entries_.end()) return std::nullopt;
  return it->second.kept;
}

bool CoverFetcher::downloading(const std::string& url) {
  MutexLock lock(mu_);
  return !url.empty() && inFlight_ == url;
}

void CoverFetcher::unqueue(const std::string& url) {
  MutexLock lock(mu_);
  auto it = entries_.find(url);
  if (it == entries_.end() || !it->second.queued) return;
  queue_.erase(std::remove(queue_.begin(), queue_.end(), url), queue_.end());
  it->second.queued = false;
  if (it->second.pauseMs == 0 && !it->second.kept) entries_.erase(it);
}

void CoverFetcher::forget(const std::string& url) {
  MutexLock lock(mu_);
  auto it = entries_.find(url);
  if (it == entries_.end()) return;
  if (it->second.queued) queue_.erase(std::remove(queue_.begin(), queue_.end(), url), queue_.end());
  entries_.erase(it);
}

void CoverFetcher::stop() {
  std::thread worker;
  {
    MutexLock lock(mu_);
    stop_ = true;
    worker = std::move(worker_);
    wake_.signalAll();
  }
  cancel_ = true;
  if (worker.joinable()) worker.join();
  MutexLock lock(mu_);
  // What was queued or cut short was never tried: wished for again when next wanted.
  for (auto it = entries_.begin(); it != entries_.end();) {
    it->second.queued = false;
    it = it->second.pauseMs == 0 && !it->second.kept ? entries_.erase(it) : std::next(it);
  }
  queue_.clear();
  stop_ = false;
  cancel_ = false;
}

// The one known longest goes first, finished or only queued alike: covers of tracks long gone
// are not fetched.
void CoverFetcher::evict() {
  while (entries_.size() > rules_.maxUrls) {
    auto oldest = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->first == inFlight_) continue;  // the worker still fills it
      if (oldest == entries_.end() || it->second.order < oldest->second.order) oldest = it;
    }
    if (oldest == entries_.end()) return;
    if (oldest->second.queued)
      queue_.erase(std::remove(queue_.begin(), queue_.end(), oldest->first), queue_.end());
    entries_.erase(oldest);
  }
}

void CoverFetcher::run() {
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "tl-covers");
#endif
  MutexLock lock(mu_);
  for (;;) {
    while (!stop_ && queue_.empty()) wake_.wait(mu_);
    if (stop_) return;
    try {
      fetchOne();
    } catch (const std::exception& e) {
      inFlight_.clear();
      log(kLogError, std::string("cover worker: ") + e.what());
    } catch (...) {
      inFlight_.clear();
      log(kLogError, "cover worker: unknown exception");
    }
  }
}

// Steps out of the lock for the download; throws only with the lock held.
void CoverFetcher::fetchOne() {
  const std::string url = queue_.front();
  queue_.pop_front();
  auto queued = entries_.find(url);
  if (queued != entries_.end()) queued->second.queued = false;
  inFlight_ = url;
  mu_.unlock();

  // Nothing may leave this part: the lock must be taken again first.
  Cover got;
  bool ok = false;
  try {
    ok = getter_ && getter_(url, got.contentType, got.bytes, cancel_);
    ok = ok && !got.bytes.empty() && got.bytes.size() <= kCoverMaxBytes;
    if (ok && rules_.notImageType && got.contentType.compare(0, 6, "image/") != 0)
      got.contentType = rules_.notImageType;
  } catch (...) {
    ok = false;
  }
  // Handed over before the URL leaves the fetcher, so that a wish in between does not queue it
  // again.
  if (ok && onCover_ && !cancel_) {
    try {
      onCover_(url, got.contentType, got.bytes);
    } catch (const std::exception& e) {
      logQuietly(kLogError, "cover worker: ", e.what());
    } catch (...) {
      logQuietly(kLogError, "cover worker: unknown exception");
    }
  }
  int64_t failedAt = 0;
  if (!ok) {
    try {
      failedAt = now_();
    } catch (...) {
    }
  }

  mu_.lock();
  inFlight_.clear();
  if (stop_) return;  // abandoned: not a failure of the URL
  auto it = entries_.find(url);
  if (it != entries_.end()) {
    Entry& e = it->second;
    if (!ok) {
      e.pauseMs =
          e.pauseMs == 0 ? rules_.firstPauseMs : std::min(e.pauseMs * 2, rules_.longestPauseMs);
      e.retryAtMs = failedAt + e.pauseMs;
    } else if (rules_.keepCovers) {
      e.pauseMs = 0;
      e.kept = std::move(got);
    } else {
      entries_.erase(it);
    }
  }
  // Written once the failure is noted, and outside the lock.
  if (!ok && rules_.logFailures) {
    mu_.unlock();
    logQuietly(kLogWarning, "cover download failed: ", url);
    mu_.lock();
  }
}

}  // namespace tunelight
