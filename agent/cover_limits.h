#pragma once

#include <cstddef>

namespace tunelight {

// Largest cover image the agent downloads or accepts: the sources' downloads and uploads and the
// HTTP server's body limit for uploads all follow it.
constexpr size_t kCoverMaxBytes = 4194304;

}  // namespace tunelight
