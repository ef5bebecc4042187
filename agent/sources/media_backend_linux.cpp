// Media sessions on Linux: MPRIS players on the session bus (filled in next).
#include "agent/sources/media_backend.h"

namespace tunelight {

namespace {

class NoSessions : public MediaManager {
 public:
  std::vector<std::unique_ptr<MediaSession>> sessions() override { return {}; }
};

class LinuxBackend : public MediaBackend {
 public:
  std::unique_ptr<MediaManager> requestManager() override { return std::make_unique<NoSessions>(); }
};

}  // namespace

std::unique_ptr<MediaBackend> makePlatformMediaBackend() {
  return std::make_unique<LinuxBackend>();
}

}  // namespace tunelight
