// Cover download on Windows through WinHTTP in asynchronous mode: the calling thread waits for
// each step in short slices, so a cancel flag or the overall deadline ends a transfer that a
// slow server holds open, without waiting for WinHTTP's own time-outs.
#include "agent/sources/https_get_windows.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <string>

#include "agent/log.h"
#include "agent/platform/utf16_windows.h"

namespace tunelight {

namespace {

constexpr int kResolveTimeoutMs = kHttpsConnectTimeoutMs;
constexpr int kConnectTimeoutMs = kHttpsConnectTimeoutMs;
constexpr int kSendTimeoutMs = 5000;
constexpr int kReceiveTimeoutMs = 5000;
// Longest wait between two looks at the cancel flag and the deadline.
constexpr DWORD kWaitSliceMs = 50;
// DNS names are at most 255 characters.
constexpr DWORD kMaxHostChars = 255;
constexpr DWORD kReadChunk = 64 * 1024;

// What WinHTTP's callbacks report for one request. Owned by the request handle: WinHTTP may
// still call back (and write into chunk) after the caller gave up, so it is deleted by the last
// callback, the one for the handle's closing.
struct Transfer {
  HANDLE step = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // one asynchronous step ended
  DWORD error = 0;                                             // of the step that failed
  DWORD bytes = 0;  // bytes available, or bytes read into chunk
  char chunk[kReadChunk];

  ~Transfer() {
    if (step) CloseHandle(step);
  }
};

void CALLBACK onStatus(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD length) {
  auto* t = reinterpret_cast<Transfer*>(context);
  if (!t) return;  // the session and the connection carry no transfer
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      SetEvent(t->step);
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      t->bytes = *static_cast<DWORD*>(info);
      SetEvent(t->step);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      t->bytes = length;
      SetEvent(t->step);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      t->error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
      if (t->error == 0) t->error = ERROR_WINHTTP_INTERNAL_ERROR;
      SetEvent(t->step);
      break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      delete t;
      break;
    default:
      break;
  }
}

// Closes a WinHTTP handle on every path out of httpsGet.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET h = nullptr) : h_(h) {}
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

enum class Step { kDone, kFailed, kCancelled, kTimedOut };

// Waits for the step just started; the request's transfer reports how it ended.
Step awaitStep(Transfer* t, const std::atomic<bool>* cancel, ULONGLONG deadline) {
  for (;;) {
    if (WaitForSingleObject(t->step, kWaitSliceMs) == WAIT_OBJECT_0) {
      return t->error == 0 ? Step::kDone : Step::kFailed;
    }
    if (cancel && cancel->load()) return Step::kCancelled;
    if (GetTickCount64() >= deadline) return Step::kTimedOut;
  }
}

void logRequestFailed(DWORD error) {
  log(kLogWarning, "https: request failed, WinHTTP error " + std::to_string(error));
}

}  // namespace

HttpsResult httpsGetWithin(const std::string& url, size_t maxBytes, const std::atomic<bool>* cancel,
                           uint32_t deadlineMs) {
  const ULONGLONG deadline = GetTickCount64() + deadlineMs;
  HttpsResult result;
  if (url.size() < 8 || url.compare(0, 8, "https://") != 0) return result;

  // Path and query may be as long as the whole URL.
  std::wstring wurl = toUtf16(url);
  std::wstring host(kMaxHostChars + 1, L'\0');
  std::wstring path(wurl.size() + 1, L'\0');
  std::wstring extra(wurl.size() + 1, L'\0');
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = &host[0];
  parts.dwHostNameLength = static_cast<DWORD>(host.size());
  parts.lpszUrlPath = &path[0];
  parts.dwUrlPathLength = static_cast<DWORD>(path.size());
  parts.lpszExtraInfo = &extra[0];
  parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
  if (!WinHttpCrackUrl(wurl.c_str(), static_cast<DWORD>(wurl.size()), 0, &parts)) {
    log(kLogWarning, "https: bad url, error " + std::to_string(GetLastError()));
    return result;
  }
  host.resize(parts.dwHostNameLength);
  const std::wstring object =
      path.substr(0, parts.dwUrlPathLength) + extra.substr(0, parts.dwExtraInfoLength);

  InternetHandle session(WinHttpOpen(L"Tunelight/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                     WINHTTP_FLAG_ASYNC));
  if (!session) return result;
  WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                     kReceiveTimeoutMs);
  if (WinHttpSetStatusCallback(
          session.get(), onStatus,
          WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
          0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    return result;
  }
  InternetHandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return result;
  InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            WINHTTP_FLAG_SECURE));
  if (!request) return result;
  Transfer* t = new Transfer;
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(t);
  if (!t->step ||
      !WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
    delete t;  // not attached: the handle's closing will not delete it
    return result;
  }
  // From here on t belongs to the request handle and is not touched once that is closed.

  // Runs one asynchronous step: false when it did not end well, logged when it took too long
  // or when it failed and logFailure is set.
  auto step = [&](BOOL started, bool logFailure) {
    Step s = started ? awaitStep(t, cancel, deadline) : Step::kFailed;
    if (s == Step::kTimedOut) logRequestFailed(ERROR_WINHTTP_TIMEOUT);
    if (s == Step::kFailed && logFailure) logRequestFailed(started ? t->error : GetLastError());
    return s == Step::kDone;
  };
  if (!step(WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                               WINHTTP_NO_REQUEST_DATA, 0, 0, context),
            true) ||
      !step(WinHttpReceiveResponse(request.get(), nullptr), true)) {
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

  // A value too long for the buffer fails the query and counts as missing.
  wchar_t type[kContentTypeUnits] = {};
  size = sizeof(type);
  std::string contentType;
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                          type, &size, WINHTTP_NO_HEADER_INDEX)) {
    contentType = asciiContentType(type);
  }

  // A failed data query or read, and a body over the limit, fail without a log line.
  std::string body;
  for (;;) {
    if (!step(WinHttpQueryDataAvailable(request.get(), nullptr), false)) return result;
    const DWORD available = t->bytes;
    if (available == 0) break;
    if (body.size() + available > maxBytes) return result;
    const DWORD want = std::min(available, kReadChunk);
    if (!step(WinHttpReadData(request.get(), t->chunk, want, nullptr), false)) return result;
    body.append(t->chunk, std::min(t->bytes, want));
  }
  if (body.empty()) return result;
  result.ok = true;
  result.contentType = std::move(contentType);
  result.body = std::move(body);
  return result;
}

HttpsResult httpsGet(const std::string& url, size_t maxBytes, const std::atomic<bool>* cancel) {
  return httpsGetWithin(url, maxBytes, cancel, kHttpsTotalTimeoutMs);
}

}  // namespace tunelight
