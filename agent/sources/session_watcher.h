#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/clock.h"
#include "agent/sources/identify.h"
#include "agent/sources/media_backend.h"
#include "agent/thread_annotations.h"

namespace tunelight {

class Hub;

// Largest thumbnail the watcher reads.
constexpr uint64_t kMaxThumbnailBytes = 16777216;

// What the watcher remembers of one session's thumbnail.
struct ThumbnailState {
  std::string key;  // title + 0x1F + artist of the track the reads below belong to
  std::string bytes;
  std::string contentType;
  int64_t lastAttemptMs = 0;
  int64_t changedAtMs = 0;  // when key last changed
  int64_t retryAtMs = 0;    // after a failure: not read again before this
  int64_t backoffMs = 0;
  bool ok = false;
  bool settled = false;   // the read once the track's properties settled has been asked for
  bool inFlight = false;  // a read is queued or running on the worker
};
// One usable session of one cycle.
struct SessionSnapshot {
  // The app id, with "#2", "#3", ... for further sessions of one id in the platform's order.
  std::string aumid;
  AppIdentity identity;
  std::string title;
  std::string artist;
  std::string album;
  PlaybackStatus status = kStatusStopped;
  uint32_t controls = 0;  // ControlAction bits
  int64_t positionMs = 0;
  int64_t durationMs = 0;
  int64_t positionAt = 0;  // wall-clock ms, 0 = unknown
  std::optional<std::string> thumbnail;
  std::string contentType = "image/png";
};

// Content type from the first bytes of an image; "image/png" when nothing matches.
std::string sniffImageType(const std::string& bytes);

// Reads a thumbnail into state.bytes/contentType. False (nothing read) without a reference or for
// a size of 0 or above kMaxThumbnailBytes. Platform errors propagate.
bool readThumbnail(MediaThumbnail* thumbnail, ThumbnailState& state);

// Fills durationMs, positionMs and positionAt of a snapshot from a session's timeline.
void applyTimeline(const MediaTimeline& t, SessionSnapshot& s);

// What was last published to the Hub, per session key.
class SessionTable {
 public:
  explicit SessionTable(Hub& hub, int32_t removeAfterMs = 3000, int32_t coverHoldMs = 2500);

  // Publishes the snapshots of one cycle and removes sources unseen for more than removeAfterMs.
  void publish(const std::vector<SessionSnapshot>& snapshots, int64_t nowMs);
  // Removes every published source, in key order, and forgets them.
  void clear();
  // Every published source was among the snapshots of the last publish.
  bool allListed() const;
  // Counts every published source as seen at nowMs: the platform reported no change until then.
  void seenUntil(int64_t nowMs);
  size_t size() const { return entries_.size(); }
  bool has(const std::string& aumid) const { return entries_.count(aumid) != 0; }

 private:
  struct Entry {
    int64_t lastSeenMs = 0;
    bool listed = false;  // among the snapshots of the last publish
    std::string trackKey;
    std::string coverId;
    int64_t trackChangedAt = 0;
    bool coverFresh = false;
  };

  Hub& hub_;
  const int32_t removeAfterMs_;
  const int32_t coverHoldMs_;
  std::map<std::string, Entry> entries_;
};

// One worker thread of the watcher (thumbnail reads, player actions). It joins the platform's
// thread set-up (MediaBackend::workerBegin/End) and runs queued jobs one at a time, until it is
// stopped or the platform faulted. Started and stopped by the watcher thread, which releases the
// jobs left queued then (they may hold platform objects, which only threads of the platform's
// apartment release).
class SessionWorker {
 public:
  // A job runs on the worker (onWorker true) or, for a worker that runs jobs where it cannot
  // have a thread, on the watcher thread (onWorker false).
  using Job = std::function<void(bool onWorker)>;

  // startFailed and beginFailed begin the warnings when the thread cannot be created or cannot
  // join the platform. runHere: without a thread the worker still takes jobs, which the watcher
  // runs itself (runQueuedHere); otherwise it takes none.
  SessionWorker(MediaBackend& backend, const std::atomic<bool>& faulted, const char* startFailed,
                const char* beginFailed, bool runHere);
  ~SessionWorker() { stop(); }
  SessionWorker(const SessionWorker&) = delete;
  SessionWorker& operator=(const SessionWorker&) = delete;

  void start() EXCLUDES(mu_);
  // Takes no further job, lets the job in progress end, joins the thread and releases the jobs
  // still queued on the calling thread.
  void stop() EXCLUDES(mu_);
  enum PostResult { kQueued, kClosed, kFull };
  // Queues a job unless the worker takes none (kClosed) or maxQueued jobs wait already (kFull).
  // A non-empty key replaces the job queued under the same key.
  PostResult post(const std::string& key, Job job, size_t maxQueued = SIZE_MAX) EXCLUDES(mu_);
  // The worker takes jobs.
  bool hasOpenQueue() EXCLUDES(mu_);
  // Runs the queued jobs on the calling thread, when no thread runs them.
  void runQueuedHere() EXCLUDES(mu_);
  // A thread runs the jobs. Watcher thread only.
  bool hasThread() const { return thread_.joinable(); }
  // Lets a waiting worker see a fault.
  void notify() EXCLUDES(mu_);

 private:
  void run() EXCLUDES(mu_);

  MediaBackend& backend_;
  const std::atomic<bool>& faulted_;
  const char* const startFailed_;
  const char* const beginFailed_;
  const bool runHere_;
  Mutex mu_;
  CondVar cv_;
  std::deque<std::pair<std::string, Job>> queue_ GUARDED_BY(mu_);
  bool open_ GUARDED_BY(mu_);  // jobs are taken
  bool stop_ GUARDED_BY(mu_) = false;
  std::thread thread_;  // started and joined by the watcher thread
};

// Publishes the platform's media sessions as Hub sources (kMediaSessionKeyPrefix + app id): the
// system media transport controls on Windows, MPRIS players on Linux. It polls every 500 ms on a
// thread of its own (earlier when the backend signals a change); with a backend that reports
// every change it does not poll while nothing plays and nothing is due. Each session is
// read on its own: one that fails, answers nothing or hangs costs only itself. Thumbnails are
// read on a worker thread of their own, and player actions are sent from another.
class SessionWatcher {
 public:
  explicit SessionWatcher(Hub& hub);
  SessionWatcher(Hub& hub, std::unique_ptr<MediaBackend> backend, WallClock clock);
  ~SessionWatcher();
  SessionWatcher(const SessionWatcher&) = delete;
  SessionWatcher& operator=(const SessionWatcher&) = delete;

  // Called once, on the watcher's thread, after a processor fault in the platform's code: the
  // watcher has stopped for good and the process should be restarted. Set before start().
  void setOnFault(std::function<void()> onFault) { onFault_ = std::move(onFault); }

  // Starts the thread unless it runs; throws std::system_error when it cannot be created.
  void start();
  // Stops the thread and joins it, waiting at most timeoutMs: false when it is still inside a
  // platform call then (the thread is left running, and the watcher must not be destroyed: the
  // process should end instead). Not from the thread itself.
  bool stop(int32_t timeoutMs = 1500);

  // One cycle as the thread runs it, fault guard included. The thread calls it; tests drive it
  // directly while the thread is not running (thumbnails are then read within the cycle). Other
  // exceptions than platform and standard ones pass through.
  void runCycle();
  // A processor fault was caught: no cycle runs any more.
  bool faulted() const { return faulted_; }

  // Sends one ControlAction to the session of the source sourceKey as the last cycle listed it,
  // on the control worker. Any thread; returns within about a second whatever the app does:
  // empty when the app took the action, else a short sentence why not.
  std::string control(const std::string& sourceKey, uint32_t action);

 private:
  // Per session key, across cycles.
  struct SessionState {
    std::unique_ptr<MediaSession> pending;  // its properties read still runs
    int64_t pendingSinceMs = 0;
    bool slow = false;      // its last read timed out: later reads are not waited for
    int64_t retryAtMs = 0;  // after a failure: not read before this
    int64_t backoffMs = 0;
    int32_t failures = 0;  // in a row, for the three-warnings rule
    int64_t listedAtMs = 0;
    ThumbnailState thumb;
  };
  struct ThumbnailResult {
    std::string session;
    std::string track;
    ThumbnailState read;    // bytes, contentType, ok
    bool notReady = false;  // the picture is on its way (MediaNotReady)
  };

  void threadMain();
  void pollOnce();
  void endCycles();
  void noteFault(uint32_t code);
  void managerFailed(const std::string& what, bool sessionsGone);
  void dropLostSessions();
  void sessionFailed(const std::string& key, SessionState& st, const std::string& what,
                     int64_t nowMs);
  void planThumbnail(const std::string& key, SessionState& st, const std::string& track,
                     std::shared_ptr<MediaThumbnail> ref, int64_t nowMs);
  void takeThumbnails(std::vector<SessionSnapshot>& snapshots, int64_t nowMs);
  void planNextCycle(const std::vector<SessionSnapshot>& snapshots, int64_t nowMs);
  ThumbnailResult readOne(const std::string& session, const std::string& track,
                          std::shared_ptr<MediaThumbnail> ref);
  void publishControls(std::map<std::string, std::shared_ptr<MediaSessionControl>> controls);
  std::string sendControl(MediaSessionControl& session, uint32_t action,
                          std::chrono::steady_clock::time_point deadline);

  std::unique_ptr<MediaBackend> backend_;
  const WallClock clock_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> faulted_{false};
  std::function<void()> onFault_;
  std::thread thread_;
  Mutex doneMu_;
  CondVar doneCv_;
  bool done_ GUARDED_BY(doneMu_) = false;  // the thread has left every platform call

  // Cycle state: used only by the thread running the cycles (or a test while none runs).
  std::unique_ptr<MediaManager> manager_;
  int64_t managerRetryAtMs_ = 0;
  int64_t managerBackoffMs_ = 0;
  bool sessionsLost_ = false;                   // the last failure took every session with it
  std::map<std::string, SessionState> states_;  // of listed or published sessions only
  int32_t failureCount_ = 0;
  SessionTable table_;
  // When the next cycle is due after the last one, and whether the wait until then counts as
  // having seen every published session (a backend that reports every change said nothing).
  std::chrono::milliseconds nextCycleIn_{500};
  bool quietWait_ = false;

  // Thumbnail reads: one at a time, at most one queued per session.
  SessionWorker thumbWorker_;
  Mutex thumbMu_;
  std::vector<ThumbnailResult> thumbDone_ GUARDED_BY(thumbMu_);
  std::atomic<bool> thumbReady_{false};

  // Player actions: one at a time, on the sessions of the last listing. Only the watcher thread
  // and the worker ever release a session (both are in the platform's apartment).
  SessionWorker controlWorker_;
  // Taken before the control worker's own lock, never after it.
  Mutex controlMu_;
  std::map<std::string, std::shared_ptr<MediaSessionControl>> controls_  // by key
      GUARDED_BY(controlMu_);
};

// One pass over the platform's media sessions, every call timed, as a JSON document (for
// reports from machines we cannot test on). Makes its own thread calls (threadBegin/End).
std::string diagnoseMediaSessions(MediaBackend& backend, const std::string& version);

}  // namespace tunelight
