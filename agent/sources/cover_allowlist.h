#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "agent/cover_limits.h"

namespace tunelight {

// True when the URL is an https URL on one of the music services' public image hosts, without a
// port, with a non-empty path free of whitespace. Thread-safe.
bool isAllowedCoverUrl(const std::string& url);

// Downloads the URL (limit kCoverMaxBytes). On success fills both outputs and returns true;
// otherwise leaves them unchanged. A set cancel flag aborts the download.
bool coverFetcher(const std::string& url, std::string& contentType, std::string& body,
                  const std::atomic<bool>* cancel = nullptr);

}  // namespace tunelight
