#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "agent/clock.h"
#include "agent/thread_annotations.h"

namespace tunelight {

// Downloads a cover: URL in, content type and body out; true on success. A set cancel flag asks
// a download in progress to give up at once (the result then counts as failed).
using CoverGetter = std::function<bool(const std::string& url, std::string& contentType,
                                       std::string& body, const std::atomic<bool>& cancel)>;

// The HTTPS download of a cover (at most kCoverMaxBytes).
bool httpsCoverGetter(const std::string& url, std::string& contentType, std::string& body,
                      const std::atomic<bool>& cancel);

// Downloads covers one at a time on a worker of its own, started by the first wish: a queue
// without duplicates, a pause per URL after a failed download, and a download in progress
// abandoned on stop. Bodies are 1 to kCoverMaxBytes long. Its lock comes after any lock of its
// callers: the getter, the clock and onCover run outside it.
class CoverFetcher {
 public:
  struct Rules {
    // After a failed download the URL is fetched again, when wished for, only after this pause,
    // doubled on every further failure up to the longest.
    int64_t firstPauseMs = 0;
    int64_t longestPauseMs = 0;
    // URLs remembered (queued, failed or kept); beyond it the one known longest goes, unless it
    // is being downloaded.
    size_t maxUrls = 0;
    // A downloaded cover stays here for cover(); otherwise it is only handed to onCover.
    bool keepCovers = false;
    // Every failure gets a warning line (the HTTPS client logs its own reasons in any case).
    bool logFailures = false;
    // The type of a body the server did not call an image; null keeps the server's word.
    const char* notImageType = nullptr;
  };
  // Called on the worker, outside the fetcher's lock, with each cover downloaded.
  using OnCover = std::function<void(const std::string& url, const std::string& contentType,
                                     const std::string& body)>;
  struct Cover {
    std::string contentType;
    std::string bytes;
  };
  enum class Wish {
    kKept,     // a kept cover is here
    kPending,  // queued or downloading, and never failed
    kFailed,   // failed before: paused, or queued again once the pause passed
  };

  // now: milliseconds on any clock that does not go back within the agent's life.
  CoverFetcher(Rules rules, CoverGetter getter, WallClock now, OnCover onCover = nullptr);
  // Stops (see stop()).
  ~CoverFetcher();
  CoverFetcher(const CoverFetcher&) = delete;
  CoverFetcher& operator=(const CoverFetcher&) = delete;

  // Queues url unless it is queued, being downloaded, kept, or paused after a failure.
  Wish wish(const std::string& url) EXCLUDES(mu_);
  // The kept cover of url, if any (keepCovers).
  std::optional<Cover> cover(const std::string& url) EXCLUDES(mu_);
  // Whether url is being downloaded now.
  bool downloading(const std::string& url) EXCLUDES(mu_);
  // Takes url out of the queue; its failures stay remembered.
  void unqueue(const std::string& url) EXCLUDES(mu_);
  // Forgets url altogether (it came by other means): a download in progress is not recorded.
  void forget(const std::string& url) EXCLUDES(mu_);
  // Abandons a download in progress, joins the worker and empties the queue; failures and kept
  // covers stay. A later wish starts the worker again.
  void stop() EXCLUDES(mu_);

 private:
  struct Entry {
    uint64_t order = 0;     // when it became known: the lowest goes first
    bool queued = false;    // in queue_
    int64_t pauseMs = 0;    // the pause after the last failure; 0: never failed
    int64_t retryAtMs = 0;  // with a pause: not downloaded again before this
    std::optional<Cover> kept;
  };

  void run() EXCLUDES(mu_);
  void fetchOne() REQUIRES(mu_);
  void evict() REQUIRES(mu_);

  const Rules rules_;
  const CoverGetter getter_;
  const WallClock now_;
  const OnCover onCover_;

  Mutex mu_;
  CondVar wake_;
  std::map<std::string, Entry> entries_ GUARDED_BY(mu_);
  std::deque<std::string> queue_ GUARDED_BY(mu_);
  std::string inFlight_ GUARDED_BY(mu_);  // the worker's URL now; empty between downloads
  uint64_t nextOrder_ GUARDED_BY(mu_) = 0;
  bool stop_ GUARDED_BY(mu_) = false;
  std::atomic<bool> cancel_{false};  // read by the download in progress
  // Started by a wish; stop() takes it out under mu_ and joins it outside.
  std::thread worker_ GUARDED_BY(mu_);
};

}  // namespace tunelight
