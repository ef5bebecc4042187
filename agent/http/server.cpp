#include "agent/http/server.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <utility>

#include "agent/clock.h"
#include "agent/control.h"
#include "agent/http/connection_poller.h"
#include "agent/http/listen_socket.h"
#include "agent/http/request_stream.h"
#include "agent/http/socket_io.h"
#include "agent/http/worker_pool.h"
#include "agent/hub.h"
#include "agent/log.h"
#include "agent/model.h"
#include "agent/sources/cover_allowlist.h"
#include "agent/sources/extension_ingest.h"
#include "agent/widget/widget_assets.h"

namespace tunelight {

namespace {

using std::chrono::milliseconds;

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

// The "url" query parameter only; a form body must not supply it.
std::string queryParam(const httplib::Request& req, const std::string& key) {
  const size_t q = req.target.find('?');
  if (q == std::string::npos) return "";
  httplib::Params params;
  httplib::detail::parse_query_text(req.target.substr(q + 1), params);
  auto it = params.find(key);
  return it == params.end() ? "" : it->second;
}

// What one request's handlers tell the worker that answers it (handlers run on that worker).
struct Exchange {
  bool streamReserved = false;  // a place among the event streams was taken
  bool streamStarted = false;   // head and first message sent: the poller takes the stream over
  uint64_t lastSent = 0;
  bool closeAfter = false;  // the body was refused or is not read: the connection is out of step
};
thread_local Exchange* currentExchange = nullptr;

void markConnectionSpent() {
  if (currentExchange) currentExchange->closeAfter = true;
}

// Methods whose body the library reads before routing; others leave it unread.
bool bodyIsRead(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "PATCH" || method == "PRI" ||
         method == "DELETE";
}

// The library's accept loop hands every connection to its task queue; this one passes it on at
// once (to the connection poller) instead of occupying a thread with it.
class InlineQueue : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

class HttpServer : public httplib::Server {
 public:
  explicit HttpServer(std::function<void(socket_t)> adopt) : adopt_(std::move(adopt)) {}

  // The library listens with a backlog of 5; a page that opens its files, fonts and event stream
  // at once while the accept loop waits for the CPU would see dropped connection attempts
  // retried a second later. Listening again on the bound socket only raises the backlog (where
  // the platform allows).
  void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

  // One request: parse, route, answer. False when the connection cannot go on.
  bool serveOne(httplib::Stream& strm, bool lastOnConnection, bool& closeRequested) {
    return process_request(strm, lastOnConnection, closeRequested, nullptr);
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    try {
      adopt_(sock);
    } catch (...) {
      net::closeSocket(sock);  // no memory: this one connection is dropped
    }
    return true;
  }

  const std::function<void(socket_t)> adopt_;
};

void serveAsset(const std::string& name, httplib::Response& res) {
  const WidgetAsset* a = findWidgetAsset(name);
  if (!a) {
    res.status = 404;
    return;
  }
  res.set_header("Cache-Control", "no-cache");
  res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->contentType);
  res.status = 200;
}

}  // namespace

struct Server::Connections {
  Connections(Hub& hub, ConnectionPoller::Dispatch dispatch)
      : poller(hub, pollerSettings(), std::move(dispatch)),
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

  void setBusy(socket_t sock, bool on) {
    std::lock_guard<std::mutex> lock(busyMu);
    if (on) {
      busy.push_back(sock);
    } else {
      busy.erase(std::find(busy.begin(), busy.end(), sock));
      if (busy.empty()) idle.notify_all();
    }
  }

  // Waits up to `grace` for the requests being answered, then makes every one still going fail
  // at its next read or write. A socket is removed from the list before its worker closes or
  // passes it on, so no other socket is hit.
  void interruptBusy(milliseconds grace) {
    std::unique_lock<std::mutex> lock(busyMu);
    idle.wait_for(lock, grace, [this] { return busy.empty(); });
    for (socket_t sock : busy) net::shutdownBoth(sock);
  }

  ConnectionPoller poller;
  WorkerPool workers;
  std::mutex busyMu;
  std::condition_variable idle;  // busy became empty
  std::vector<socket_t> busy;    // guarded by busyMu
};

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
    http_ = std::make_unique<HttpServer>([this](socket_t sock) { conns_->poller.adopt(sock); });
    port_ = candidate;
    configure();
    if (!http_->bind_to_port("127.0.0.1", candidate)) continue;
    static_cast<HttpServer&>(*http_).widenBacklog();
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
  currentExchange = &ex;
  try {
    ok = static_cast<HttpServer&>(*http_).serveOne(strm, last, closeRequested);
  } catch (...) {
    // Handlers' exceptions are answered by the library; this is anything else (no memory).
    ok = false;
  }
  currentExchange = nullptr;
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

void Server::configure() {
  httplib::Server& http = *http_;

  // Connections go to the poller as soon as they are accepted (see InlineQueue); its deadlines,
  // RequestStream's timeouts and prepareSocket's options apply to them. Of the library's
  // connection settings only the keep-alive ones are still read: for the Keep-Alive header.
  http.new_task_queue = [] { return new InlineQueue; };
  http.set_socket_options(configureListenSocket);
  configureAcceptLoop(http);
  http.set_keep_alive_max_count(kKeepAliveMaxCount);
  http.set_keep_alive_timeout(kKeepAliveSeconds);
  // A last line of defence; the limits per route are checked before reading (checkHead).
  http.set_payload_max_length(kCoverBodyLimit);

  // An exception that leaves a handler is answered 500 with no body and no header telling what
  // it was (the library's default would name it).
  http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.body.clear();
        res.headers.clear();
        res.content_length_ = 0;
        res.content_provider_ = nullptr;
        res.is_chunked_content_provider_ = false;
      });

  const std::string hostIp = "127.0.0.1:" + std::to_string(port_);
  const std::string hostName = "localhost:" + std::to_string(port_);
  // Host check, then the body limits: answered from the head alone, without reading the body.
  // True when the request is answered here.
  auto checkHead = [hostIp, hostName](const httplib::Request& req, httplib::Response& res) {
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
  };

  // A client that waits for "100 Continue" before sending its body learns of a refusal instead.
  http.set_expect_100_continue_handler(
      [checkHead](const httplib::Request& req, httplib::Response& res) {
        return checkHead(req, res) ? res.status : 100;
      });

  http.set_pre_routing_handler([checkHead](const httplib::Request& req, httplib::Response& res) {
    // The library compresses answers for clients that offer gzip or br, which would buffer and
    // alter what we send. It decides from this header when writing the answer, after routing;
    // the request object itself is not const, only the view the handler gets.
    auto& headers = const_cast<httplib::Request&>(req).headers;
    headers.erase("Accept-Encoding");
    // A request without Content-Length or chunked encoding has no body, but the library would
    // read until the peer closes or the read times out (then answers 400). Its body is read
    // after this handler.
    if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
      headers.emplace("Content-Length", "0");
    }
    return checkHead(req, res) ? httplib::Server::HandlerResponse::Handled
                               : httplib::Server::HandlerResponse::Unhandled;
  });

  http.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (currentExchange && currentExchange->closeAfter) {
      res.headers.erase("Keep-Alive");
      res.set_header("Connection", "close");
    }
    // Ranges are never served (their header is dropped before parsing); do not offer them.
    res.headers.erase("Accept-Ranges");
    if (req.method != "GET") return;
    const std::string origin = req.get_header_value("Origin");
    if (origin.empty() || !isPageOrigin(origin) || !isValidHeaderValue(origin)) return;
    res.set_header("Access-Control-Allow-Origin", origin);
  });

  http.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/widget");
  });

  http.Get("/widget",
           [](const httplib::Request&, httplib::Response& res) { serveAsset("index.html", res); });

  http.Get(R"(/widget/([A-Za-z0-9_.\-]+))",
           [](const httplib::Request& req, httplib::Response& res) {
             serveAsset(req.matches[1].str(), res);
           });

  http.Get("/api/now-playing", [this](const httplib::Request&, httplib::Response& res) {
    std::string text = hub_.snapshot().first;
    res.set_header("Cache-Control", "no-store");
    res.set_content(std::move(text), kJsonUtf8);
  });

  http.Get("/api/history", [this](const httplib::Request&, httplib::Response& res) {
    std::string text = hub_.historyJson();
    res.set_header("Cache-Control", "no-store");
    res.set_content(std::move(text), kJsonUtf8);
  });

  http.Get("/api/health", [this](const httplib::Request&, httplib::Response& res) {
    nlohmann::json doc = nlohmann::json::object();
    doc["name"] = "tunelight";
    doc["version"] = version_;
    doc["port"] = port_;
    doc["sources"] = nlohmann::json::array();
    const Hub::Health health = hub_.health();
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
    res.set_header("Cache-Control", "no-store");
    res.set_content(dumpJson(doc), kJsonUtf8);
  });

  http.Get("/cover/([0-9a-f]{16})", [this](const httplib::Request& req, httplib::Response& res) {
    auto cover = hub_.cover(req.matches[1].str());
    if (!cover) {
      res.status = 404;
      return;
    }
    res.set_header("Cache-Control", "public, max-age=31536000, immutable");
    res.set_content(std::move(cover->bytes), cover->contentType);
  });

  // The worker sends the answer head and the first message; from then on the stream belongs to
  // the connection poller, which sends every change and the keep-alive comments.
  http.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    Exchange* ex = currentExchange;
    if (!ex || stopping_ || !conns_->poller.reserveStream()) {
      res.status = 503;
      res.set_header("Retry-After", "1");
      return;
    }
    ex->streamReserved = true;
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream", [this, ex](size_t, httplib::DataSink& sink) {
          if (stopping_) return false;
          auto [text, counter] = hub_.snapshot();
          const std::string message = "retry: 1000\ndata: " + text + "\n\n";
          if (sink.write(message.data(), message.size())) {
            ex->streamStarted = true;
            ex->lastSent = counter;
          }
          // Ends the library's part of the answer without its closing chunk; the stream goes on.
          return false;
        });
  });

  if (ingest_) {
    http.Post("/api/ingest", [this](const httplib::Request& req, httplib::Response& res) {
      if (!isExtensionOrigin(req)) {
        res.status = 403;
        return;
      }
      // An exception (a wrongly typed member) leaves the handler; the library answers 500.
      std::string answer = ingest_->handleReport(req.body, wallNowMs());
      res.set_content(std::move(answer), "application/json");
    });

    http.Post("/api/ingest/cover", [this](const httplib::Request& req, httplib::Response& res) {
      if (!isExtensionOrigin(req)) {
        res.status = 403;
        return;
      }
      const bool ok = ingest_->acceptCover(queryParam(req, "url"),
                                           req.get_header_value("Content-Type"), req.body);
      res.status = ok ? 200 : 400;
    });

    // An extension's background waits here for the player actions on its tabs (a long poll: a
    // plain answer that every browser's fetch reads whole), and says how each went.
    http.Post("/api/ingest/commands", [this](const httplib::Request& req, httplib::Response& res) {
      if (!isExtensionOrigin(req)) {
        res.status = 403;
        return;
      }
      ControlAnswer answer = ingest_->takeCommands(req.body, kCommandWait);
      res.status = answer.status;
      if (answer.status == 503) res.set_header("Retry-After", "5");
      if (answer.status != 200) return;
      res.set_header("Cache-Control", "no-store");
      res.set_content(std::move(answer.body), "application/json");
    });

    http.Post("/api/ingest/done", [this](const httplib::Request& req, httplib::Response& res) {
      if (!isExtensionOrigin(req)) {
        res.status = 403;
        return;
      }
      res.status = ingest_->finishCommand(req.body) ? 200 : 400;
    });
  }

  if (!token_.empty()) {
    http.Post("/api/config", [this](const httplib::Request& req, httplib::Response& res) {
      if (!tokenMatches(req)) {
        res.status = 403;
        return;
      }
      if (onConfig_) onConfig_(req.body);
      res.set_content("{\"ok\":true}", "application/json");
    });

    // The owner's route like /api/config; anything a browser sends carries an Origin, and no page
    // is let to act on the player even should it learn the token.
    if (controller_) {
      http.Post("/api/control", [this](const httplib::Request& req, httplib::Response& res) {
        if (!tokenMatches(req) || req.has_header("Origin")) {
          res.status = 403;
          return;
        }
        ControlAnswer answer = controller_->handle(req.body);
        res.status = answer.status;
        res.set_header("Cache-Control", "no-store");
        res.set_content(std::move(answer.body), kJsonUtf8);
      });
    }

    http.Post("/api/shutdown", [this](const httplib::Request& req, httplib::Response& res) {
      if (!tokenMatches(req)) {
        res.status = 403;
        return;
      }
      // The owner may stop the server before this answer is written; the stop waits a moment
      // for requests being answered, so it is still delivered.
      res.set_content("{\"ok\":true}", "application/json");
      if (onShutdown_) onShutdown_();
    });
  }
}

}  // namespace tunelight
