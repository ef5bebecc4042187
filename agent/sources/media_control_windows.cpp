// Player actions on Windows media sessions: the watcher holds the sessions of its last listing,
// and its control worker (in the runtime's apartment) sends each action.
#include "agent/sources/media_control.h"
#include "agent/sources/session_watcher.h"

namespace tunelight {

namespace {

class SessionControl : public PlayerControl {
 public:
  explicit SessionControl(SessionWatcher& watcher) : watcher_(watcher) {}

  std::string send(const SourceRecord& source, uint32_t action) override {
    return watcher_.control(source.sourceKey, action);
  }

 private:
  SessionWatcher& watcher_;
};

}  // namespace

std::unique_ptr<PlayerControl> makePlatformMediaControl(SessionWatcher& watcher) {
  return std::make_unique<SessionControl>(watcher);
}

}  // namespace tunelight
