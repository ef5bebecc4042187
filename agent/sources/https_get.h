#pragma once

#include <cstddef>
#include <string>

namespace tunelight {

struct HttpsResult {
  bool ok = false;
  std::string contentType;  // up to the first ';', ASCII
  std::string body;
};

// Plain HTTPS GET with the agent's user agent and time-outs; fails above maxBytes.
HttpsResult httpsGet(const std::string& url, size_t maxBytes);

}  // namespace tunelight
