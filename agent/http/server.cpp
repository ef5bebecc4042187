#include "agent/http/server.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>

#include "agent/clock.h"
#include "agent/control.h"
#include "agent/cover_limits.h"
#include "agent/http/connection_poller.h"
#include "agent/http/httplib_adapter.h"
#include "agent/http/hub_documents.h"
#include "agent/http/listen_socket.h"
#include "agent/http/request_stream.h"
#include "agent/http/socket_io.h"
#include "agent/http/worker_pool.h"
#include "agent/hub.h"
#include "agent/log.h"
#include "agent/model.h"
#include "agent/sources/extension_ingest.h"
#include "agent/thread_annotations.h"
#include "agent/widget/widget_assets.h"

namespace tunelight {

using httplib_adapter::currentExchange;
using httplib_adapter::Exchange;
using httplib_adapter::LibraryServer;

namespace {

using std::chrono::milliseconds;
using Request = httplib::Request;
using Response = httplib::Response;

// Requests are answered by up to kMaxWorkers threads at once (started on demand); idle
// connections and event streams wait in the connection poller and hold none of them.
constexpr size_t kKeepWorkers = 4;
constexpr size_t kMaxWorkers = 64;
constexpr milliseconds kWorkerIdleExit{10000};
constexpr size_t kMaxStreams = 256;
constexpr size_t kKeepAliveMaxCount = 100;
constexpr int kKeepAliveSeconds = 5;
constexpr milliseconds kKeepAliveTimeout{kKeepAliveSeconds * 1000};
// A request head must be complete this long after its first byte; its body must be complete
// this long after its head.
constexpr milliseconds kRequestTimeout{5000};
constexpr milliseconds kWriteTimeout{5000};
constexpr milliseconds kKeepAliveComment{15000};
// How long a request for commands waits for one: well under the 30 s that a browser may let an
// extension's fetch wait for its answer.
constexpr milliseconds kCommandWait{20000};
// How long a stop lets the requests being answered finish before it cuts them off: long enough
// for an answer that is ready (the one to /api/shutdown), short enough to stay prompt.
constexpr milliseconds kStopGrace{100};
// Bodies larger than this are refused before a byte of them is read: JSON reports and settings
// are small; a cover upload may be as large as a cover, plus its multipart or header slack.
constexpr uint64_t kBodyLimit = 64 * 1024;
constexpr uint64_t kCoverBodyLimit = kCoverMaxBytes + 64 * 1024;

const char kJsonUtf8[] = "application/json; charset=utf-8";

bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Exactly `base`, or `base` followed by ":" and anything.
bool isHostOrigin(const std::string& o, const char* base) {
  const size_t n = std::char_traits<char>::length(base);
  return startsWith(o, base) && (o.size() == n || o[n] == ':');
}

// Origins of pages that may read the API: local files, sandboxed pages and loopback http.
bool isPageOrigin(const std::string& o) {
  return o == "null" || startsWith(o, "file://") || isHostOrigin(o, "http://127.0.0.1") ||
         isHostOrigin(o, "http://localhost");
}

bool isValidHeaderValue(const std::string& v) {
  for (unsigned char c : v) {
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  }
  return true;
}

void markConnectionSpent() {
  if (Exchange* ex = currentExchange()) ex->closeAfter = true;
}

// Methods whose body the library reads before routing; others leave it unread.
bool bodyIsRead(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "PATCH" || method == "PRI" ||
         method == "DELETE";
}

void serveAsset(const std::string& name, Response& res) {
  const WidgetAsset* a = findWidgetAsset(name);
  if (!a) {
    res.status = 404;
    return;
  }
  res.set_header("Cache-Control", "no-cache");
  res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->contentType);
  res.status = 200;
}

void sendJson(Response& res, std::string text, const char* type = kJsonUtf8) {
  res.set_header("Cache-Control", "no-store");
  res.set_content(std::move(text), type);
}

// Host check, then the body limits: answered from the head alone, without reading the body.
// True when the request is answered here.
bool refuseByHead(const Request& req, Response& res, const std::string& hostIp,
                  const std::string& hostName) {
  const bool chunked = req.has_header("Transfer-Encoding");
  const uint64_t length = req.get_header_value<uint64_t>("Content-Length");
  const bool hasBody = chunked || length > 0;
  auto refuse = [&](int status) {
    res.status = status;
    // The body stays unread, so nothing after it on this connection can be parsed.
    if (hasBody) markConnectionSpent();
    return true;
  };
  const std::string host = req.get_header_value("Host");
  if (host != hostIp && host != hostName) {
    res.set_content("forbidden", "text/plain");
    return refuse(403);
  }
  // A chunked body has no size to check before reading it.
  if (chunked) return refuse(411);
  if (length > (req.path == "/api/ingest/cover" ? kCoverBodyLimit : kBodyLimit)) {
    return refuse(413);
  }
  // A compressed body would be inflated beyond any limit checked here.
  const std::string encoding = req.get_header_value("Content-Encoding");
  if (hasBody && !encoding.empty() && encoding != "identity") return refuse(415);
  if (hasBody && !bodyIsRead(req.method)) markConnectionSpent();
  return false;
}

// After routing: the connection's fate, no ranges offered, and CORS for the card's pages.
void finishAnswer(const Request& req, Response& res) {
  Exchange* ex = currentExchange();
  if (ex && ex->closeAfter) {
    res.headers.erase("Keep-Alive");
    res.set_header("Connection", "close");
  }
  // Ranges are never served (their header is dropped before parsing); do not offer them.
  res.headers.erase("Accept-Ranges");
  if (req.method != "GET") return;
  const std::string origin = req.get_header_value("Origin");
  if (origin.empty() || !isPageOrigin(origin) || !isValidHeaderValue(origin)) return;
  res.set_header("Access-Control-Allow-Origin", origin);
}

}  // namespace

struct Server::Connections {
  Connections(Hub& hub, ConnectionPoller::Dispatch dispatch)
      : documents(hub),
        poller(documents, pollerSettings(), std::move(dispatch)),
        workers(kKeepWorkers, kMaxWorkers, kWorkerIdleExit) {}

  static ConnectionPoller::Settings pollerSettings() {
    ConnectionPoller::Settings s;
    s.idleTimeout = kKeepAliveTimeout;
    s.headTimeout = kRequestTimeout;
    s.stallTimeout = kWriteTimeout;
    s.pingInterval = kKeepAliveComment;
    s.maxStreams = kMaxStreams;
    return s;
  }

  void setBusy(socket_t sock, bool on) EXCLUDES(busyMu) {
    MutexLock lock(busyMu);
    if (on) {
      busy.push_back(sock);
    } else {
      busy.erase(std::find(busy.begin(), busy.end(), sock));
      if (busy.empty()) idle.signalAll();
    }
  }

  // Waits up to `grace` for the requests being answered, then makes every one still going fail
  // at its next read or write. A socket is removed from the list before its worker closes or
  // passes it on, so no other socket is hit.
  void interruptBusy(milliseconds grace) EXCLUDES(busyMu) {
    MutexLock lock(busyMu);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (!busy.empty() && idle.waitUntil(busyMu, deadline)) {
    }
    for (socket_t sock : busy) net::shutdownBoth(sock);
  }

  HubDocuments documents;
  ConnectionPoller poller;
  WorkerPool workers;
  Mutex busyMu;
  CondVar idle;                                   // busy became empty
  std::vector<socket_t> busy GUARDED_BY(busyMu);  // sockets whose request a worker answers
};

// The route table: one line per route, one handler each.
struct Server::Routes {
  using Handler = void (*)(Server&, const Request&, Response&);
  enum class Method { Get, Post };
  // Which routes exist depends on what the owner set before start().
  enum class When { Always, Ingest, Token, PlayerControl };
  // Who may call: anyone that passed the head checks, the browser extensions (by Origin), or
  // the owner (by token; "no page" also refuses anything that carries an Origin).
  enum class Caller { Anyone, Extension, Owner, OwnerNoPage };
  struct Route {
    Method method;
    const char* pattern;
    When when;
    Caller caller;
    Handler handle;
  };
  static const Route kTable[];

  static bool registered(const Server& s, When when);
  static bool allowed(const Server& s, Caller caller, const Request& req);

  static void home(Server&, const Request&, Response& res);
  static void widgetPage(Server&, const Request&, Response& res);
  static void widgetFile(Server&, const Request& req, Response& res);
  static void nowPlaying(Server& s, const Request&, Response& res);
  static void history(Server& s, const Request&, Response& res);
  static void health(Server& s, const Request&, Response& res);
  static void cover(Server& s, const Request& req, Response& res);
  static void events(Server& s, const Request&, Response& res);
  static void ingest(Server& s, const Request& req, Response& res);
  static void ingestCover(Server& s, const Request& req, Response& res);
  static void ingestCommands(Server& s, const Request& req, Response& res);
  static void ingestDone(Server& s, const Request& req, Response& res);
  static void config(Server& s, const Request& req, Response& res);
  static void control(Server& s, const Request& req, Response& res);
  static void shutdown(Server& s, const Request& req, Response& res);
};

// clang-format off
const Server::Routes::Route Server::Routes::kTable[] = {
  // method        path                              exists when         caller               handler
  {Method::Get,  "/",                                When::Always,        Caller::Anyone,      &Routes::home},
  {Method::Get,  "/widget",                          When::Always,        Caller::Anyone,      &Routes::widgetPage},
  {Method::Get,  R"(/widget/([A-Za-z0-9_.\-]+))",    When::Always,        Caller::Anyone,      &Routes::widgetFile},
  {Method::Get,  "/api/now-playing",                 When::Always,        Caller::Anyone,      &Routes::nowPlaying},
  {Method::Get,  "/api/history",                     When::Always,        Caller::Anyone,      &Routes::history},
  {Method::Get,  "/api/health",                      When::Always,        Caller::Anyone,      &Routes::health},
  {Method::Get,  "/cover/([0-9a-f]{16})",            When::Always,        Caller::Anyone,      &Routes::cover},
  {Method::Get,  "/events",                          When::Always,        Caller::Anyone,      &Routes::events},
  {Method::Post, "/api/ingest",                      When::Ingest,        Caller::Extension,   &Routes::ingest},
  {Method::Post, "/api/ingest/cover",                When::Ingest,        Caller::Extension,   &Routes::ingestCover},
  {Method::Post, "/api/ingest/commands",             When::Ingest,        Caller::Extension,   &Routes::ingestCommands},
  {Method::Post, "/api/ingest/done",                 When::Ingest,        Caller::Extension,   &Routes::ingestDone},
  {Method::Post, "/api/config",                      When::Token,         Caller::Owner,       &Routes::config},
  {Method::Post, "/api/control",                     When::PlayerControl, Caller::OwnerNoPage, &Routes::control},
  {Method::Post, "/api/shutdown",                    When::Token,         Caller::Owner,       &Routes::shutdown},
};
// clang-format on

bool Server::Routes::registered(const Server& s, When when) {
  switch (when) {
    case When::Always:
      return true;
    case When::Ingest:
      return s.ingest_ != nullptr;
    case When::Token:
      return !s.token_.empty();
    case When::PlayerControl:
      return !s.token_.empty() && s.controller_ != nullptr;
  }
  return false;
}

bool Server::Routes::allowed(const Server& s, Caller caller, const Request& req) {
  switch (caller) {
    case Caller::Anyone:
      return true;
    case Caller::Extension:
      return s.isExtensionOrigin(req);
    case Caller::Owner:
      return s.tokenMatches(req);
    // The owner's route like /api/config; anything a browser sends carries an Origin, and no
    // page is let to act on the player even should it learn the token.
    case Caller::OwnerNoPage:
      return s.tokenMatches(req) && !req.has_header("Origin");
  }
  return false;
}

void Server::Routes::home(Server&, const Request&, Response& res) {
  res.status = 302;
  res.set_header("Location", "/widget");
}

void Server::Routes::widgetPage(Server&, const Request&, Response& res) {
  serveAsset("index.html", res);
}

void Server::Routes::widgetFile(Server&, const Request& req, Response& res) {
  serveAsset(req.matches[1].str(), res);
}

void Server::Routes::nowPlaying(Server& s, const Request&, Response& res) {
  sendJson(res, s.hub_.snapshot().first);
}

void Server::Routes::history(Server& s, const Request&, Response& res) {
  sendJson(res, s.hub_.historyJson());
}

void Server::Routes::health(Server& s, const Request&, Response& res) {
  nlohmann::json doc = nlohmann::json::object();
  doc["name"] = "tunelight";
  doc["version"] = s.version_;
  doc["port"] = s.port_;
  doc["sources"] = nlohmann::json::array();
  const Hub::Health health = s.hub_.health();
  for (const SourceRecord& r : health.sources) {
    doc["sources"].push_back({{"app", r.app},
                              {"id", r.sourceKey},
                              {"kind", kindName(r.kind)},
                              {"player", r.player},
                              {"service", serviceName(r.service)},
                              {"status", statusName(r.status)},
                              {"title", r.title}});
  }
  if (const auto& hidden = health.hidden) {
    doc["hidden"] = {{"artist", hidden->artist},
                     {"service", serviceName(hidden->service)},
                     {"title", hidden->title}};
  }
  // Added for the panel: a song that only a service switch hides, and that switch's key.
  if (const auto& filtered = health.filtered) {
    doc["filtered"] = {{"artist", filtered->artist},
                       {"player", filtered->player},
                       {"service", serviceName(filtered->service)},
                       {"switch", switchKey(*filtered)},
                       {"title", filtered->title}};
  }
  sendJson(res, dumpJson(doc));
}

void Server::Routes::cover(Server& s, const Request& req, Response& res) {
  auto cover = s.hub_.cover(req.matches[1].str());
  if (!cover) {
    res.status = 404;
    return;
  }
  res.set_header("Cache-Control", "public, max-age=31536000, immutable");
  res.set_content(std::move(cover->bytes), cover->contentType);
}

// The worker sends the answer head and the first message; from then on the stream belongs to
// the connection poller, which sends every change and the keep-alive comments.
void Server::Routes::events(Server& s, const Request&, Response& res) {
  Exchange* ex = currentExchange();
  if (!ex || s.stopping_ || !s.conns_->poller.reserveStream()) {
    res.status = 503;
    res.set_header("Retry-After", "1");
    return;
  }
  ex->streamReserved = true;
  res.set_header("Cache-Control", "no-store");
  httplib_adapter::startOpenEndedStream(
      res, "text/event-stream",
      [&s, ex](std::string& first) {
        if (s.stopping_) return false;
        // From the poller's own source, so that its "newer than sent" check compares like
        // with like.
        auto [text, counter] = s.conns_->documents.document();
        first = "retry: 1000\ndata: " + text + "\n\n";
        ex->lastSent = counter;
        return true;
      },
      [ex] { ex->streamStarted = true; });
}

void Server::Routes::ingest(Server& s, const Request& req, Response& res) {
  // An exception (a wrongly typed member) leaves the handler; the library answers 500.
  std::string answer = s.ingest_->handleReport(req.body, wallNowMs());
  res.set_content(std::move(answer), "application/json");
}

void Server::Routes::ingestCover(Server& s, const Request& req, Response& res) {
  const bool ok = s.ingest_->acceptCover(httplib_adapter::queryParam(req, "url"),
                                         req.get_header_value("Content-Type"), req.body);
  res.status = ok ? 200 : 400;
}

// An extension's background waits here for the player actions on its tabs (a long poll: a
// plain answer that every browser's fetch reads whole), and says how each went.
void Server::Routes::ingestCommands(Server& s, const Request& req, Response& res) {
  ControlAnswer answer = s.ingest_->takeCommands(req.body, kCommandWait);
  res.status = answer.status;
  if (answer.status == 503) res.set_header("Retry-After", "5");
  if (answer.status != 200) return;
  sendJson(res, std::move(answer.body), "application/json");
}

void Server::Routes::ingestDone(Server& s, const Request& req, Response& res) {
  res.status = s.ingest_->finishCommand(req.body) ? 200 : 400;
}

void Server::Routes::config(Server& s, const Request& req, Response& res) {
  if (s.onConfig_) s.onConfig_(req.body);
  res.set_content("{\"ok\":true}", "application/json");
}

void Server::Routes::control(Server& s, const Request& req, Response& res) {
  ControlAnswer answer = s.controller_->handle(req.body);
  res.status = answer.status;
  sendJson(res, std::move(answer.body));
}

void Server::Routes::shutdown(Server& s, const Request&, Response& res) {
  // The owner may stop the server before this answer is written; the stop waits a moment for
  // requests being answered, so it is still delivered.
  res.set_content("{\"ok\":true}", "application/json");
  if (s.onShutdown_) s.onShutdown_();
}

const std::vector<int>& portCandidates() {
  static const std::vector<int> ports{48210, 48211, 48212, 48213, 48214};
  return ports;
}

Server::Server(Hub& hub, std::string version) : hub_(hub), version_(std::move(version)) {}

Server::~Server() {
  stop();
  onConfig_ = nullptr;
  onShutdown_ = nullptr;
  token_.clear();
  http_.reset();
  conns_.reset();
}

void Server::setIngest(ExtensionIngest* ingest) {
  ingest_ = ingest;
}

void Server::setPlayerControl(Controller* controller) {
  controller_ = controller;
}

void Server::setControl(std::string token, std::function<void(const std::string&)> onConfig,
                        std::function<void()> onShutdown) {
  token_ = std::move(token);
  onConfig_ = std::move(onConfig);
  onShutdown_ = std::move(onShutdown);
}

std::string Server::baseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

bool Server::isExtensionOrigin(const httplib::Request& req) const {
  const std::string o = req.get_header_value("Origin");
  return startsWith(o, "chrome-extension://") || startsWith(o, "moz-extension://");
}

bool Server::tokenMatches(const httplib::Request& req) const {
  const std::string t = req.get_header_value("X-Tunelight-Token");
  if (token_.empty() || t.size() != token_.size()) return false;
  // No early exit: the time taken does not tell where the first wrong byte is.
  unsigned char diff = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    diff |= static_cast<unsigned char>(t[i] ^ token_[i]);
  }
  return diff == 0;
}

int Server::start(const std::vector<int>& ports) {
  if (listener_.joinable()) return port_;
  if (!conns_) {
    // Every open event stream and connection is a socket; allow as many as the system lets us.
    net::raiseOpenFileLimit();
    conns_ = std::make_unique<Connections>(hub_, [this](IdleConnection c) {
      auto job = [this, c = std::move(c)]() mutable {
        try {
          serve(std::move(c));
        } catch (...) {
          log(kLogError, "a request failed without memory");
        }
      };
      conns_->workers.submit(std::move(job));
    });
    if (!conns_->poller.start()) {
      log(kLogError, "cannot create the connection poller's wake-up");
      conns_.reset();
      return 0;
    }
  }
  for (int candidate : ports) {
    http_ = std::make_unique<LibraryServer>([this](socket_t sock) { conns_->poller.adopt(sock); });
    port_ = candidate;
    configure();
    if (!http_->bind_to_port("127.0.0.1", candidate)) continue;
    http_->widenBacklog();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    listener_ = std::thread([http = http_.get(), finished] {
      http->listen_after_bind();
      finished->store(true);
    });
    // The library ignores stop() until its accept loop runs; wait for it so that a stop right
    // after start is never lost.
    while (!http_->is_running() && !finished->load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return candidate;
  }
  port_ = 0;
  conns_.reset();
  return 0;
}

void Server::stop() {
  if (!listener_.joinable()) return;
  stopping_ = true;
  // Answers the extensions' requests for commands, which wait in workers.
  if (ingest_) ingest_->closeCommands();
  // Ends the event streams and idle connections at once; what workers hand back from now on is
  // closed.
  conns_->poller.stop();
  http_->stop();
  listener_.join();
  conns_->interruptBusy(kStopGrace);
  conns_->workers.stop();
}

void Server::serve(IdleConnection c) {
  if (stopping_) {
    net::closeSocket(c.sock);
    return;
  }
  conns_->setBusy(c.sock, true);
  // A stop that began after the check above may have missed this socket in interruptBusy().
  if (stopping_) net::shutdownBoth(c.sock);
  RequestStream strm(c.sock, std::move(c.input), kRequestTimeout, kWriteTimeout);
  Exchange ex;
  const bool last = c.served + 1 >= kKeepAliveMaxCount;
  bool closeRequested = false;
  bool ok = false;
  try {
    ok = http_->serveOne(strm, last, closeRequested, ex);
  } catch (...) {
    // Handlers' exceptions are answered by the library; this is anything else (no memory).
    ok = false;
  }
  conns_->setBusy(c.sock, false);

  ConnectionPoller& poller = conns_->poller;
  if (ex.streamStarted) {
    poller.addStream(c.sock, ex.lastSent);
    return;
  }
  if (ex.streamReserved) poller.releaseStream();
  if (!ok || strm.failed()) {
    net::closeSocket(c.sock);
  } else if (last || closeRequested || ex.closeAfter) {
    poller.closeAfterAnswer(c.sock);
  } else {
    poller.keepAlive({c.sock, strm.takeUnread(), c.served + 1});
  }
}

// Connections go to the poller as soon as they are accepted (LibraryServer); its deadlines,
// RequestStream's timeouts and prepareSocket's options apply to them. Of the library's
// connection settings only the keep-alive ones are still read: for the Keep-Alive header.
void Server::configure() {
  LibraryServer& http = *http_;
  http.set_socket_options(configureListenSocket);
  configureAcceptLoop(http);
  http.set_keep_alive_max_count(kKeepAliveMaxCount);
  http.set_keep_alive_timeout(kKeepAliveSeconds);
  // A last line of defence; the limits per route are checked before reading (refuseByHead).
  http.set_payload_max_length(kCoverBodyLimit);

  // An exception that leaves a handler is answered 500 with no body and no header telling what
  // it was (the library's default would name it).
  http.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    res.status = 500;
    httplib_adapter::clearAnswer(res);
  });

  const std::string hostIp = "127.0.0.1:" + std::to_string(port_);
  const std::string hostName = "localhost:" + std::to_string(port_);
  // A client that waits for "100 Continue" before sending its body learns of a refusal instead.
  http.set_expect_100_continue_handler([hostIp, hostName](const Request& req, Response& res) {
    return refuseByHead(req, res, hostIp, hostName) ? res.status : 100;
  });
  http.set_pre_routing_handler([hostIp, hostName](const Request& req, Response& res) {
    return refuseByHead(req, res, hostIp, hostName) ? httplib::Server::HandlerResponse::Handled
                                                    : httplib::Server::HandlerResponse::Unhandled;
  });
  http.set_post_routing_handler(finishAnswer);

  for (const Routes::Route& route : Routes::kTable) {
    if (!Routes::registered(*this, route.when)) continue;
    auto handler = [this, &route](const Request& req, Response& res) {
      if (!Routes::allowed(*this, route.caller, req)) {
        res.status = 403;
        return;
      }
      route.handle(*this, req, res);
    };
    if (route.method == Routes::Method::Get) {
      http.Get(route.pattern, std::move(handler));
    } else {
      http.Post(route.pattern, std::move(handler));
    }
  }
}

}  // namespace tunelight
