#include <windows.h>
#include <winhttp.h>

#include <string>

#include "agent/log.h"
#include "agent/sources/https_get.h"
#include "agent/utf16_windows.h"

namespace tunelight {

namespace {

// Closes a WinHTTP handle on every path out of httpsGet.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET h) : h_(h) {}
  ~InternetHandle() {
    if (h_) WinHttpCloseHandle(h_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HINTERNET h_;
};

}  // namespace

HttpsResult httpsGet(const std::string& url, size_t maxBytes, const std::atomic<bool>* cancel) {
  (void)cancel;  // not yet honoured
  HttpsResult result;
  if (url.size() < 8 || url.compare(0, 8, "https://") != 0) return result;

  std::wstring wurl = toUtf16(url);
  wchar_t host[256] = {};
  wchar_t path[2048] = {};
  wchar_t extra[2048] = {};
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = 2048;
  if (!WinHttpCrackUrl(wurl.c_str(), static_cast<DWORD>(wurl.size()), 0, &parts)) {
    log(kLogWarning, "https: bad url, error " + std::to_string(GetLastError()));
    return result;
  }

  InternetHandle session(WinHttpOpen(L"Tunelight/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return result;
  WinHttpSetTimeouts(session.get(), 3000, 3000, 5000, 5000);

  InternetHandle connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
  if (!connection) return result;
  std::wstring object =
      std::wstring(path, parts.dwUrlPathLength) + std::wstring(extra, parts.dwExtraInfoLength);
  InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            WINHTTP_FLAG_SECURE));
  if (!request) return result;

  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                          0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    log(kLogWarning, "https: request failed, WinHTTP error " + std::to_string(GetLastError()));
    return result;
  }

  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
      status != 200) {
    log(kLogWarning, "https: HTTP status " + std::to_string(status));
    return result;
  }

  wchar_t type[128] = {};
  size = sizeof(type);
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                          type, &size, WINHTTP_NO_HEADER_INDEX)) {
    for (DWORD i = 0; i < size / sizeof(wchar_t) && type[i] != L'\0' && type[i] != L';'; ++i) {
      result.contentType += type[i] > 127 ? '?' : static_cast<char>(type[i]);
    }
  }

  std::string body;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request.get(), &available)) return HttpsResult{};
    if (available == 0) break;
    if (body.size() + available > maxBytes) return HttpsResult{};
    size_t offset = body.size();
    body.resize(offset + available);
    DWORD read = 0;
    if (!WinHttpReadData(request.get(), &body[offset], available, &read)) return HttpsResult{};
    body.resize(offset + read);
  }
  if (body.empty()) {
    result.contentType.clear();
    return result;
  }
  result.ok = true;
  result.body = std::move(body);
  return result;
}

}  // namespace tunelight
