#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace tunelight {

struct HttpsResult {
  bool ok = false;
  std::string contentType;  // up to the first ';', ASCII
  std::string body;
};

// Plain HTTPS GET with the agent's user agent and time-outs; fails above maxBytes. A set cancel
// flag aborts a transfer in progress within about 100 ms (the result then fails, unlogged), so a
// stopping owner can join the thread that downloads.
HttpsResult httpsGet(const std::string& url, size_t maxBytes,
                     const std::atomic<bool>* cancel = nullptr);

}  // namespace tunelight
