// Player actions on MPRIS players. A bus connection of its own, so that a call never waits
// behind the watcher's cycle and the watcher never waits behind a call.
#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "agent/log.h"
#include "agent/sources/media_backend.h"
#include "agent/sources/media_control.h"
#include "agent/thread_annotations.h"

namespace tunelight {

namespace {

constexpr uint64_t kCallTimeoutUs = 400 * 1000;
// A request waits this long for the one before it; both together stay under a second.
constexpr auto kQueueWait = std::chrono::milliseconds(450);

const char* methodOf(uint32_t action) {
  switch (action) {
    case kControlPlayPause:
      return "PlayPause";
    case kControlPlay:
      return "Play";
    case kControlPause:
      return "Pause";
    case kControlNext:
      return "Next";
    case kControlPrevious:
      return "Previous";
    default:
      return nullptr;
  }
}

class MprisControl : public PlayerControl {
 public:
  ~MprisControl() override {
    if (bus_) sd_bus_flush_close_unref(bus_);
  }

  std::string send(const SourceRecord& source, uint32_t action) override {
    const char* method = methodOf(action);
    const std::string prefix = kMediaSessionKeyPrefix;
    if (!method || source.sourceKey.compare(0, prefix.size(), prefix) != 0)
      return "not a media session";
    // The watcher names a session by the first of its bus names, without the common prefix.
    const std::string name = "org.mpris.MediaPlayer2." + source.sourceKey.substr(prefix.size());

    {
      MutexLock lock(mu_);
      const auto deadline = std::chrono::steady_clock::now() + kQueueWait;
      while (busy_) {
        if (!idle_.waitUntil(mu_, deadline) && busy_)
          return "the player is still busy with an earlier action";
      }
      busy_ = true;
    }
    struct Done {
      MprisControl& c;
      ~Done() {
        {
          MutexLock lock(c.mu_);
          c.busy_ = false;
        }
        c.idle_.signal();
      }
    } done{*this};
    if (bus_ && sd_bus_is_open(bus_) <= 0) {
      sd_bus_close_unref(bus_);
      bus_ = nullptr;
    }
    if (!bus_) {
      // The user's session bus; the default bus of root would be the system bus.
      int r = sd_bus_open_user(&bus_);
      if (r < 0) {
        bus_ = nullptr;
        return std::string("no session bus: ") + std::strerror(-r);
      }
      sd_bus_set_method_call_timeout(bus_, kCallTimeoutUs);
    }
    sd_bus_error err = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus_, name.c_str(), "/org/mpris/MediaPlayer2",
                               "org.mpris.MediaPlayer2.Player", method, &err, &reply, "");
    std::string error;
    if (r < 0) {
      error = "the player did not take the action: ";
      error += err.message ? err.message : std::strerror(-r);
      log(kLogWarning, "MPRIS: " + std::string(method) + " on " + name + ": " + error);
    }
    sd_bus_error_free(&err);
    sd_bus_message_unref(reply);
    return error;
  }

 private:
  // One action at a time. A flag under a plain mutex rather than a timed mutex: the thread
  // sanitizer of GCC 12 does not see a timed mutex's timed lock and reports its unlock.
  Mutex mu_;
  CondVar idle_;
  bool busy_ GUARDED_BY(mu_) = false;
  sd_bus* bus_ = nullptr;  // used only by the action that set busy_
};

}  // namespace

// The players are reached on their own bus names, apart from the watcher.
std::unique_ptr<PlayerControl> makePlatformMediaControl(SessionWatcher& /*watcher*/) {
  return std::make_unique<MprisControl>();
}

}  // namespace tunelight
