#pragma once

// The seam between the media-session watcher (platform-neutral rules) and one platform's media
// sessions. Every call is made on the watcher thread, one at a time, except thumbnail reads
// (MediaThumbnail::open and its stream), which run on the watcher's thumbnail worker, one at a
// time, and player actions (MediaSessionControl), which run on its control worker, one at a
// time. Failures are raised as MediaError (or another std::exception); a processor fault that a
// backend caught inside one of its platform calls is raised as MediaFault, and after it the
// backend makes no further call into that platform code.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/model.h"
#include "agent/sources/identify.h"
#include "agent/thread_annotations.h"

namespace tunelight {

// Source keys of media sessions: this prefix and the session's app id. Kept as first published,
// on every platform: the now-playing document and the health list publish the key, and programs
// reading the API match on it.
constexpr char kMediaSessionKeyPrefix[] = "smtc:";

// A failure reported by the platform: its code (an HRESULT, an errno, ...) and the platform's
// own message text for it.
class MediaError : public std::runtime_error {
 public:
  // sessionsGone: the platform lost every session at once (its session bus died); their sources
  // then go by the normal removal rule while the watcher retries, instead of staying up.
  MediaError(int64_t code, const std::string& message, bool sessionsGone = false)
      : std::runtime_error(message), code_(code), sessionsGone_(sessionsGone) {}
  int64_t code() const { return code_; }
  bool sessionsGone() const { return sessionsGone_; }

 private:
  int64_t code_;
  bool sessionsGone_;
};

// A thumbnail whose picture is on its way (a cover still downloading, or waiting out a pause
// after a failed download). Not a failure: the backend wakes the watcher when the picture is
// here, so the read is tried again at the next cycle instead of being scheduled.
class MediaNotReady : public MediaError {
 public:
  explicit MediaNotReady(const std::string& message) : MediaError(0, message) {}
};

// A processor fault (its exception code) caught inside a guarded platform call. Deliberately not
// a std::exception: it passes the cycle's handlers for platform and standard errors and reaches
// MediaBackend::guard, which reports it.
class MediaFault {
 public:
  explicit MediaFault(uint32_t code) : code_(code) {}
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

// A session's timeline in milliseconds; each backend converts its platform's units.
struct MediaTimeline {
  int64_t startMs = 0;
  int64_t endMs = 0;
  int64_t positionMs = 0;  // counted like startMs and endMs
  // When position was true: ms since 1970-01-01 UTC; 0 = unknown.
  int64_t updatedAtMs = 0;
};

// An opened thumbnail stream.
class MediaThumbnailStream {
 public:
  virtual ~MediaThumbnailStream() = default;
  // Size in bytes as the platform reports it.
  virtual uint64_t size() = 0;
  // Content type as the platform reports it (may be empty or not an image type).
  virtual std::string contentType() = 0;
  // Reads up to count bytes from the start of the stream.
  virtual std::string read(uint32_t count) = 0;
};

// A session's thumbnail reference; nothing is opened until the watcher decides to read it.
class MediaThumbnail {
 public:
  virtual ~MediaThumbnail() = default;
  virtual std::unique_ptr<MediaThumbnailStream> open() = 0;
};

struct MediaProperties {
  std::string title;  // UTF-8
  std::string artist;
  std::string album;
  std::shared_ptr<MediaThumbnail> thumbnail;  // null = none offered
};

// A session's player actions, usable after the cycle that listed it (and beside later cycles).
class MediaSessionControl {
 public:
  virtual ~MediaSessionControl() = default;
  // Sends one ControlAction and waits for the app's answer until about deadline (a request that
  // runs late is given up). Empty when the app took it, else a short sentence why not.
  virtual std::string send(uint32_t action, std::chrono::steady_clock::time_point deadline) = 0;
};

// One media session as listed by the manager.
class MediaSession {
 public:
  virtual ~MediaSession() = default;
  // Application id (UTF-8, case kept); the source key is kMediaSessionKeyPrefix + this id (with
  // "#2", "#3", ... for further sessions of one id).
  virtual std::string appId() = 0;
  // Labels of the app, or not handled. Unhandled sessions are never read further.
  virtual AppIdentity identify() = 0;
  // Reads the properties, waiting as long as the platform's own deadline allows.
  virtual MediaProperties properties() = 0;
  // The same in steps, so that a slow session holds up nobody: beginProperties starts the read,
  // tryProperties waits for it until the deadline and returns nothing while it still runs (the
  // watcher then keeps this object and asks it again later), abandonProperties gives it up.
  // Platforms that answer at once need not override them.
  virtual void beginProperties() {}
  virtual std::optional<MediaProperties> tryProperties(
      std::chrono::steady_clock::time_point /*deadline*/) {
    return properties();
  }
  virtual void abandonProperties() {}
  virtual PlaybackStatus playbackStatus() = 0;
  virtual MediaTimeline timeline() = 0;
  // The player actions (ControlAction bits) the session takes now; none unless the backend
  // can deliver them.
  virtual uint32_t controls() { return 0; }
  // Its player actions; null where the backend delivers none.
  virtual std::shared_ptr<MediaSessionControl> control() { return nullptr; }
};

// The platform's session manager; dropped by the watcher when listing the sessions fails.
class MediaManager {
 public:
  virtual ~MediaManager() = default;
  // The current sessions, in the platform's order.
  virtual std::vector<std::unique_ptr<MediaSession>> sessions() = 0;
};

class MediaBackend {
 public:
  virtual ~MediaBackend() = default;

  // Called on the watcher thread when it starts and when it ends (e.g. to join and leave a COM
  // apartment). A throwing threadBegin ends the thread.
  virtual void threadBegin() {}
  virtual void threadEnd() {}
  // The same for each of the watcher's workers (thumbnails, player actions). A throwing
  // workerBegin leaves that worker's jobs undone.
  virtual void workerBegin() {}
  virtual void workerEnd() {}

  // Obtains the session manager; raises on failure.
  virtual std::unique_ptr<MediaManager> requestManager() = 0;

  // Runs one cycle (or one thumbnail read). Returns the code of a processor fault that a guarded
  // platform call caught during it (raised as MediaFault, which ends the body), else 0; other
  // exceptions pass through. Faults are caught only inside the backend's own guarded calls,
  // never in the watcher's code.
  virtual uint32_t guard(const std::function<void()>& body) {
    try {
      body();
    } catch (const MediaFault& fault) {
      return fault.code();
    }
    return 0;
  }

  // The watcher's stop flag, handed over before its thread starts: a backend waiting for the
  // platform gives up soon after it is set.
  void setStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

  // Waits up to timeoutMs for a sign that some session changed. True when one arrived (the
  // watcher then runs a cycle early); false after the time-out or after wake(). Backends without
  // change signals just sleep.
  virtual bool waitForChange(int32_t timeoutMs) EXCLUDES(wakeMu_);

  // Whether waitForChange reports every change of the sessions the last cycle listed (their
  // properties and status, seeks, sessions coming and going, a lost platform). The watcher then
  // stops polling while nothing moves. Backends without change signals keep the default.
  virtual bool reportsEveryChange() { return false; }

  // Ends the waitForChange in progress, or else the next one, at once. Called from the thread
  // that stops the watcher; an override keeps that promise for its own waitForChange.
  virtual void wake() EXCLUDES(wakeMu_);

  bool stopRequested() const { return stop_ && stop_->load(); }

 private:
  const std::atomic<bool>* stop_ = nullptr;
  // The sleep of backends without change signals.
  Mutex wakeMu_;
  CondVar wakeCv_;
  bool woken_ GUARDED_BY(wakeMu_) = false;
};

// The backend of the platform the agent was built for.
std::unique_ptr<MediaBackend> makePlatformMediaBackend();

}  // namespace tunelight
