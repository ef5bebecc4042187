#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "agent/clock.h"
#include "agent/control.h"
#include "agent/model.h"
#include "agent/sources/cover_fetcher.h"
#include "agent/thread_annotations.h"

namespace tunelight {

class Hub;

// Turns browser-extension reports into "ext:" sources of the Hub and obtains their covers, and
// hands player actions to the tabs: a report names its "channel" (the extension instance that
// sent it) and the "actions" its page takes; that extension waits for commands with
// takeCommands and answers each with finishCommand.
class ExtensionIngest : public PlayerControl {
 public:
  // fetchCovers true: a worker downloads allowlisted covers itself; false: extensions upload.
  ExtensionIngest(Hub& hub, bool fetchCovers);
  // Downloads covers with the given getter instead of HTTPS, on the given clock (tests).
  ExtensionIngest(Hub& hub, CoverGetter getter, WallClock now = wallNowMs);
  // Aborts a download in progress and joins the cover worker.
  ~ExtensionIngest() override;
  ExtensionIngest(const ExtensionIngest&) = delete;
  ExtensionIngest& operator=(const ExtensionIngest&) = delete;

  // Answer text of POST /api/ingest. Throws on a wrongly typed string/boolean member.
  std::string handleReport(const std::string& body, int64_t nowMs);
  bool acceptCover(const std::string& url, const std::string& contentType,
                   const std::string& bytes);
  // Removes the sources silent for more than 6 s; returns how many went.
  size_t expireReports(int64_t nowMs);
  // Whether any source lives, i.e. whether expireReports has anything to look at.
  bool hasReports();
  // Called, outside every lock, after a report created a new source (set before reports come).
  void setOnNewSource(std::function<void()> onNewSource);

  // Hands the action to the channel of the source's last report and waits for the extension's
  // word: empty when the tab took it; an error when no request of that channel waits (or did
  // just now), or no answer comes within kCommandDeadline.
  std::string send(const SourceRecord& source, uint32_t action) override;
  // Answer text of POST /api/ingest/commands (body {"channel":"..."}): the commands for that
  // channel's tabs as soon as there are any, or none after wait. A newer request of the same
  // channel ends this one. 400 for a bad body, 503 when too many channels wait already.
  ControlAnswer takeCommands(const std::string& body, std::chrono::milliseconds wait);
  // POST /api/ingest/done (body {"command":N,"ok":bool,"error":"..."}): the extension's word on
  // one command. False for a bad body or a command nobody waits for.
  bool finishCommand(const std::string& body);
  // Ends every waiting takeCommands and send at once, and those to come (the server stops).
  void closeCommands();

  // Live sources at most; the least recently reported one makes room for a new one.
  static constexpr size_t kMaxSources = 64;
  // After a failed download the agent tries that URL again only after this pause, doubled on
  // every further failure up to the longest; meanwhile reports naming it ask for an upload.
  static constexpr int64_t kFirstRetryMs = 10000;
  static constexpr int64_t kLongestRetryMs = 300000;
  // How long send waits for the extension's answer.
  static constexpr std::chrono::milliseconds kCommandDeadline{1000};
  // A channel counts as listening this long after its last request ended: the extension asks
  // again at once.
  static constexpr std::chrono::milliseconds kChannelGrace{2000};
  // Channels waiting at once (each holds an HTTP worker), and channels remembered.
  static constexpr size_t kMaxWaitingChannels = 8;
  static constexpr size_t kMaxChannels = 32;

 private:
  struct ReportEntry {
    int64_t lastSeenMs = 0;
    SourceRecord record;
    std::string artworkUrl;
    std::string channel;  // where commands for this tab go; empty: none
  };
  struct Command {
    uint64_t id = 0;
    std::string tab;  // the report id
    uint32_t action = 0;
  };
  struct Channel {
    uint64_t request = 0;  // the number of its latest request; an older one ends
    bool waiting = false;  // that request waits now
    std::chrono::steady_clock::time_point lastSeen;
    std::deque<Command> queue;
  };
  static CoverFetcher::Rules coverRules();
  void prunePendingLocked() REQUIRES(mu_);
  // Drops the entry reported least recently, other than keep; returns its key.
  std::string evictStalestLocked(const std::string& keep) REQUIRES(mu_);

  Hub& hub_;
  std::function<void()> onNewSource_;  // set before reports come, then only read

  // Held across "change state, then publish to the Hub" so the Hub sees the changes of
  // concurrent callers in the order they were made. Taken before mu_.
  Mutex publishMu_ ACQUIRED_BEFORE(mu_);

  Mutex mu_;  // taken before the cover fetcher's lock
  std::map<std::string, ReportEntry> reports_ GUARDED_BY(mu_);  // source key -> last report
  // artwork URL -> coverId, at most 200
  std::map<std::string, std::string> coverCache_ GUARDED_BY(mu_);
  std::set<std::string> pendingCovers_ GUARDED_BY(mu_);  // downloading or awaiting an upload

  // Commands. Never held together with mu_ or publishMu_.
  Mutex commandMu_;
  CondVar commandWake_;
  std::map<std::string, Channel> channels_ GUARDED_BY(commandMu_);
  // sent commands -> error once done
  std::map<uint64_t, std::optional<std::string>> answers_ GUARDED_BY(commandMu_);
  uint64_t lastCommand_ GUARDED_BY(commandMu_) = 0;
  bool commandsClosed_ GUARDED_BY(commandMu_) = false;

  // Downloads the covers when the agent fetches them itself. Last: its worker calls acceptCover,
  // so it goes first.
  std::unique_ptr<CoverFetcher> covers_;
};

}  // namespace tunelight
