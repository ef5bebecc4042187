#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
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

// Shared by the platform implementations.
constexpr uint32_t kHttpsConnectTimeoutMs = 3000;  // name resolution, connect and TLS handshake
constexpr uint32_t kHttpsTotalTimeoutMs = 30000;   // so the cover worker always comes back
// The Content-Type value is read into a buffer of this many units; a longer one counts as missing.
constexpr size_t kContentTypeUnits = 128;

// The Content-Type value as HttpsResult keeps it: up to the first ';', every unit outside ASCII
// as '?'; empty when raw is null or kContentTypeUnits long or longer.
std::string asciiContentType(const char* raw);
std::string asciiContentType(const wchar_t* raw);

}  // namespace tunelight
