#include "agent/sources/media_control.h"

namespace tunelight {

// Windows sessions publish no actions yet (MediaSession::controls), so none is offered.
std::unique_ptr<PlayerControl> makePlatformMediaControl() {
  return nullptr;
}

}  // namespace tunelight
