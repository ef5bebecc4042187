// Cover download on Linux through libcurl.
#include <curl/curl.h>

#include <atomic>
#include <mutex>
#include <string>

#include "agent/log.h"
#include "agent/sources/https_get.h"
#include "agent/sources/https_test_ca.h"

namespace tunelight {

namespace {

// libcurl takes its time-outs as long.
constexpr long kConnectTimeoutMs = kHttpsConnectTimeoutMs;
constexpr long kStallTimeoutS = 5;  // no data at all for this long aborts
constexpr long kTotalTimeoutMs = kHttpsTotalTimeoutMs;
// Longest sleep between checks of the cancel flag while a transfer waits for the network.
constexpr int kCancelCheckMs = 50;

std::mutex caMu;
std::string caFile;  // guarded by caMu; empty = system store

std::once_flag globalInit;

struct Transfer {
  CURL* curl = nullptr;
  size_t maxBytes = 0;
  std::string body;
  bool tooLarge = false;
  bool notOk = false;  // response status was not 200: the body is not wanted
  const std::atomic<bool>* cancel = nullptr;
};

bool cancelled(const Transfer& t) {
  return t.cancel && t.cancel->load();
}

size_t onData(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    t->notOk = true;
    return 0;
  }
  // Abort as soon as the body would exceed the limit; never buffer beyond it.
  if (n > t->maxBytes - t->body.size()) {
    t->tooLarge = true;
    return 0;
  }
  t->body.append(data, n);
  return n;
}

struct EasyHandle {
  CURL* h = curl_easy_init();
  ~EasyHandle() {
    if (h) curl_easy_cleanup(h);
  }
};

struct MultiHandle {
  CURLM* h = curl_multi_init();
  CURL* easy = nullptr;  // added to h
  ~MultiHandle() {
    if (easy) curl_multi_remove_handle(h, easy);
    if (h) curl_multi_cleanup(h);
  }
};

// Runs the transfer, waking at least every kCancelCheckMs so that a set cancel flag ends it
// promptly (libcurl's own blocking loop may sleep a full second between progress calls).
CURLcode perform(CURL* c, const Transfer& t) {
  MultiHandle multi;
  if (!multi.h || curl_multi_add_handle(multi.h, c) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  multi.easy = c;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi.h, &running) != CURLM_OK) return CURLE_FAILED_INIT;
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.h, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) return msg->data.result;
    }
    if (running == 0) return CURLE_FAILED_INIT;  // ended without a result: cannot happen
    if (cancelled(t)) return CURLE_ABORTED_BY_CALLBACK;
    if (curl_multi_poll(multi.h, nullptr, 0, kCancelCheckMs, nullptr) != CURLM_OK)
      return CURLE_FAILED_INIT;
  }
}

struct UrlHandle {
  CURLU* h = curl_url();
  ~UrlHandle() {
    if (h) curl_url_cleanup(h);
  }
};

}  // namespace

void setHttpsTestCaFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(caMu);
  caFile = path;
}

HttpsResult httpsGet(const std::string& url, size_t maxBytes, const std::atomic<bool>* cancel) {
  HttpsResult result;
  if (url.size() < 8 || url.compare(0, 8, "https://") != 0) return result;
  if (cancel && *cancel) return result;

  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  UrlHandle parsed;
  if (!parsed.h) return result;
  CURLUcode uc = curl_url_set(parsed.h, CURLUPART_URL, url.c_str(), 0);
  if (uc != CURLUE_OK) {
    log(kLogWarning, "https: bad url, error " + std::to_string(static_cast<int>(uc)));
    return result;
  }

  EasyHandle easy;
  if (!easy.h) return result;
  CURL* c = easy.h;
  Transfer t;
  t.curl = c;
  t.maxBytes = maxBytes;
  t.cancel = cancel;
  std::string ca;
  {
    std::lock_guard<std::mutex> lock(caMu);
    ca = caFile;
  }

  curl_easy_setopt(c, CURLOPT_CURLU, parsed.h);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "Tunelight/1.0");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kStallTimeoutS);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
#else
  curl_easy_setopt(c, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
#endif
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onData);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  if (!ca.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ca.c_str());

  CURLcode rc = perform(c, t);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);

  if (t.tooLarge || cancelled(t)) return result;
  if (status == 0) {
    // No response at all: connection, TLS, send or receive failed.
    log(kLogWarning, "https: request failed, error " + std::to_string(static_cast<int>(rc)));
    return result;
  }
  if (status != 200) {
    log(kLogWarning, "https: HTTP status " + std::to_string(status));
    return result;
  }
  if (rc != CURLE_OK || t.body.empty()) return result;  // broken or empty body

  const char* type = nullptr;
  curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type);
  result.contentType = asciiContentType(type);
  result.body = std::move(t.body);
  result.ok = true;
  return result;
}

}  // namespace tunelight
