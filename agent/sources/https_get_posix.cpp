// Cover download on Linux through libcurl, loaded on the first download: linked at build time,
// the dynamic loader would bring libcurl's thirty-odd libraries (Kerberos, LDAP, SSH, ...) in at
// every start of the agent, which needs them only for covers. Without a loadable libcurl the
// agent runs on and downloads no covers.

// The bit-mask protocol options stay as the fallback for libraries older than 7.85.
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "agent/log.h"
#include "agent/sources/https_get.h"
#include "agent/sources/https_test_ca.h"
#include "agent/thread_annotations.h"

namespace tunelight {

namespace {

// libcurl takes its time-outs as long.
constexpr long kConnectTimeoutMs = kHttpsConnectTimeoutMs;
constexpr long kStallTimeoutS = 5;  // no data at all for this long aborts
constexpr long kTotalTimeoutMs = kHttpsTotalTimeoutMs;
// Longest sleep between checks of the cancel flag while a transfer waits for the network.
constexpr int kCancelCheckMs = 50;

Mutex caMu;
std::string caFile GUARDED_BY(caMu);  // empty = system store

// The library's name as the dynamic loader finds it; TUNELIGHT_LIBCURL names another file
// (tests, and systems that keep it elsewhere).
const char kLibcurl[] = "libcurl.so.4";

// The functions of libcurl the download uses.
struct Curl {
  decltype(&curl_global_init) globalInit = nullptr;
  decltype(&curl_easy_init) easyInit = nullptr;
  decltype(&curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&curl_easy_setopt) easySetopt = nullptr;
  decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
  decltype(&curl_multi_init) multiInit = nullptr;
  decltype(&curl_multi_add_handle) multiAddHandle = nullptr;
  decltype(&curl_multi_remove_handle) multiRemoveHandle = nullptr;
  decltype(&curl_multi_cleanup) multiCleanup = nullptr;
  decltype(&curl_multi_perform) multiPerform = nullptr;
  decltype(&curl_multi_info_read) multiInfoRead = nullptr;
  decltype(&curl_multi_poll) multiPoll = nullptr;  // 7.66, the oldest libcurl that serves
  decltype(&curl_url) url = nullptr;
  decltype(&curl_url_set) urlSet = nullptr;
  decltype(&curl_url_cleanup) urlCleanup = nullptr;
};

template <typename Fn>
bool bindSymbol(void* lib, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(dlsym(lib, name));
  return fn != nullptr;
}

// Loads and initialises libcurl once (never unloaded); null, after one warning, when it cannot.
const Curl* loadCurl() {
  const char* path = std::getenv("TUNELIGHT_LIBCURL");
  if (!path || !*path) path = kLibcurl;
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  static Curl api;
  const bool ok = lib && bindSymbol(lib, "curl_global_init", api.globalInit) &&
                  bindSymbol(lib, "curl_easy_init", api.easyInit) &&
                  bindSymbol(lib, "curl_easy_cleanup", api.easyCleanup) &&
                  bindSymbol(lib, "curl_easy_setopt", api.easySetopt) &&
                  bindSymbol(lib, "curl_easy_getinfo", api.easyGetinfo) &&
                  bindSymbol(lib, "curl_multi_init", api.multiInit) &&
                  bindSymbol(lib, "curl_multi_add_handle", api.multiAddHandle) &&
                  bindSymbol(lib, "curl_multi_remove_handle", api.multiRemoveHandle) &&
                  bindSymbol(lib, "curl_multi_cleanup", api.multiCleanup) &&
                  bindSymbol(lib, "curl_multi_perform", api.multiPerform) &&
                  bindSymbol(lib, "curl_multi_info_read", api.multiInfoRead) &&
                  bindSymbol(lib, "curl_multi_poll", api.multiPoll) &&
                  bindSymbol(lib, "curl_url", api.url) &&
                  bindSymbol(lib, "curl_url_set", api.urlSet) &&
                  bindSymbol(lib, "curl_url_cleanup", api.urlCleanup) &&
                  api.globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (ok) return &api;
  const char* why = lib ? "a function is missing or it does not start" : dlerror();
  log(kLogWarning, std::string("https: cannot load ") + path + " (" + (why ? why : "") +
                       "): covers are not downloaded");
  return nullptr;
}

// Thread-safe: the first caller loads, the others wait for it.
const Curl* curl() {
  static const Curl* const api = loadCurl();
  return api;
}

struct Transfer {
  const Curl* api = nullptr;
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
  t->api->easyGetinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
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
  const Curl& api;
  CURL* h = api.easyInit();
  ~EasyHandle() {
    if (h) api.easyCleanup(h);
  }
};

struct MultiHandle {
  const Curl& api;
  CURLM* h = api.multiInit();
  CURL* easy = nullptr;  // added to h
  ~MultiHandle() {
    if (easy) api.multiRemoveHandle(h, easy);
    if (h) api.multiCleanup(h);
  }
};

// Runs the transfer, waking at least every kCancelCheckMs so that a set cancel flag ends it
// promptly (libcurl's own blocking loop may sleep a full second between progress calls).
CURLcode perform(const Curl& api, CURL* c, const Transfer& t) {
  MultiHandle multi{api};
  if (!multi.h || api.multiAddHandle(multi.h, c) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  multi.easy = c;
  for (;;) {
    int running = 0;
    if (api.multiPerform(multi.h, &running) != CURLM_OK) return CURLE_FAILED_INIT;
    int queued = 0;
    while (CURLMsg* msg = api.multiInfoRead(multi.h, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) return msg->data.result;
    }
    if (running == 0) return CURLE_FAILED_INIT;  // ended without a result: cannot happen
    if (cancelled(t)) return CURLE_ABORTED_BY_CALLBACK;
    if (api.multiPoll(multi.h, nullptr, 0, kCancelCheckMs, nullptr) != CURLM_OK)
      return CURLE_FAILED_INIT;
  }
}

struct UrlHandle {
  const Curl& api;
  CURLU* h = api.url();
  ~UrlHandle() {
    if (h) api.urlCleanup(h);
  }
};

// Downloads and redirects stay on https. The string form came with 7.85; older libraries take
// only the bit mask.
void httpsOnly(const Curl& api, CURL* c) {
#if LIBCURL_VERSION_NUM >= 0x075500
  if (api.easySetopt(c, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
      api.easySetopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK)
    return;
#endif
  api.easySetopt(c, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
  api.easySetopt(c, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
}

}  // namespace

void setHttpsTestCaFile(const std::string& path) {
  MutexLock lock(caMu);
  caFile = path;
}

HttpsResult httpsGet(const std::string& url, size_t maxBytes, const std::atomic<bool>* cancel) {
  HttpsResult result;
  if (url.size() < 8 || url.compare(0, 8, "https://") != 0) return result;
  if (cancel && *cancel) return result;

  const Curl* loaded = curl();
  if (!loaded) return result;
  const Curl& api = *loaded;

  UrlHandle parsed{api};
  if (!parsed.h) return result;
  CURLUcode uc = api.urlSet(parsed.h, CURLUPART_URL, url.c_str(), 0);
  if (uc != CURLUE_OK) {
    log(kLogWarning, "https: bad url, error " + std::to_string(static_cast<int>(uc)));
    return result;
  }

  EasyHandle easy{api};
  if (!easy.h) return result;
  CURL* c = easy.h;
  Transfer t;
  t.api = &api;
  t.curl = c;
  t.maxBytes = maxBytes;
  t.cancel = cancel;
  std::string ca;
  {
    MutexLock lock(caMu);
    ca = caFile;
  }

  api.easySetopt(c, CURLOPT_CURLU, parsed.h);
  api.easySetopt(c, CURLOPT_USERAGENT, "Tunelight/1.0");
  api.easySetopt(c, CURLOPT_NOSIGNAL, 1L);
  api.easySetopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  api.easySetopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  api.easySetopt(c, CURLOPT_LOW_SPEED_TIME, kStallTimeoutS);
  api.easySetopt(c, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
  httpsOnly(api, c);
  api.easySetopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  api.easySetopt(c, CURLOPT_MAXREDIRS, 10L);
  api.easySetopt(c, CURLOPT_HTTPGET, 1L);
  api.easySetopt(c, CURLOPT_WRITEFUNCTION, onData);
  api.easySetopt(c, CURLOPT_WRITEDATA, &t);
  if (!ca.empty()) api.easySetopt(c, CURLOPT_CAINFO, ca.c_str());

  CURLcode rc = perform(api, c, t);
  long status = 0;
  api.easyGetinfo(c, CURLINFO_RESPONSE_CODE, &status);

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
  api.easyGetinfo(c, CURLINFO_CONTENT_TYPE, &type);
  result.contentType = asciiContentType(type);
  result.body = std::move(t.body);
  result.ok = true;
  return result;
}

}  // namespace tunelight
