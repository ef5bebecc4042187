#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/clock.h"
#include "agent/sources/identify.h"
#include "agent/sources/media_backend.h"

namespace tunelight {

class Hub;

// Largest thumbnail the watcher reads.
constexpr uint64_t kMaxThumbnailBytes = 16777216;

// What the watcher remembers of one app's last thumbnail read.
struct ThumbnailState {
  std::string key;  // title + 0x1F + artist of the last read
  std::string bytes;
  std::string contentType;
  int64_t lastAttemptMs = 0;
  bool ok = false;
};

// One usable session of one cycle.
struct SessionSnapshot {
  std::string aumid;
  AppIdentity identity;
  std::string title;
  std::string artist;
  std::string album;
  int32_t status = 0;
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

// Fills durationMs, positionMs and positionAt of a snapshot from a platform timeline.
void applyTimeline(const MediaTimeline& t, SessionSnapshot& s);

// What was last published to the Hub, per app id.
class SessionTable {
 public:
  explicit SessionTable(Hub& hub, int32_t removeAfterMs = 3000, int32_t coverHoldMs = 2500);

  // Publishes the snapshots of one cycle and removes sources unseen for more than removeAfterMs.
  void publish(const std::vector<SessionSnapshot>& snapshots, int64_t nowMs);
  // Removes every published source, in key order, and forgets them.
  void clear();
  size_t size() const { return entries_.size(); }
  bool has(const std::string& aumid) const { return entries_.count(aumid) != 0; }

 private:
  struct Entry {
    int64_t lastSeenMs = 0;
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

// Publishes the platform's media sessions as Hub sources ("smtc:" + app id), polling every
// 500 ms on a thread of its own (earlier when the backend signals a change).
class SmtcWatcher {
 public:
  explicit SmtcWatcher(Hub& hub);
  SmtcWatcher(Hub& hub, std::unique_ptr<MediaBackend> backend, WallClock clock);
  ~SmtcWatcher();
  SmtcWatcher(const SmtcWatcher&) = delete;
  SmtcWatcher& operator=(const SmtcWatcher&) = delete;

  // Starts the thread unless it runs; throws std::system_error when it cannot be created.
  void start();
  // Stops and joins the thread; a cycle in progress runs to its end. Not from the thread itself.
  void stop();

  // One cycle as the thread runs it, fault guard included. The thread calls it; tests drive it
  // directly while the thread is not running. Other exceptions than platform and standard ones
  // pass through.
  void runCycle();

 private:
  void threadMain();
  void pollOnce();
  void endCycles();
  void dropThumbnails(const std::vector<SessionSnapshot>& listed);

  std::unique_ptr<MediaBackend> backend_;
  const WallClock clock_;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  // Cycle state: used only by the thread running the cycles (or a test while none runs).
  std::unique_ptr<MediaManager> manager_;
  std::map<std::string, ThumbnailState> thumbnails_;  // of listed or published sessions only
  int32_t failureCount_ = 0;
  SessionTable table_;
};

}  // namespace tunelight
