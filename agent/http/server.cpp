#include "agent/http/server.h"

#include <httplib.h>

#include <chrono>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "agent/clock.h"
#include "agent/http/listen_socket.h"
#include "agent/hub.h"
#include "agent/model.h"
#include "agent/sources/extension_ingest.h"
#include "agent/widget/widget_assets.h"

namespace tunelight {

namespace {

constexpr size_t kWorkers = 16;
constexpr int32_t kKeepAliveCommentMs = 15000;
constexpr uint64_t kNothingSent = std::numeric_limits<uint64_t>::max();

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

// The library's own connection loop waits for the next request of an idle kept-alive
// connection for the whole keep-alive timeout without looking at the server's state, so one idle
// browser connection held stop() for five seconds. This loop is the same, except that it waits
// in short slices and ends as soon as the server stops.
class HttpServer : public httplib::Server {
 public:
  explicit HttpServer(const std::atomic<bool>& stopping) : stopping_(stopping) {}

  // The library listens with a backlog of 5; a page that opens its files, fonts and event stream
  // at once while the accept loop waits for the CPU would see dropped connection attempts
  // retried a second later. Listening again on the bound socket only raises the backlog (where
  // the platform allows).
  void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

 private:
  static constexpr time_t kWaitSliceUs = 50000;

  bool process_and_close_socket(socket_t sock) override {
    bool ret = false;
    for (size_t left = keep_alive_max_count_; left > 0 && waitForRequest(sock); --left) {
      bool closed = false;
      const bool closeAfter = left == 1;
      ret = httplib::detail::process_client_socket(
          sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_, write_timeout_usec_,
          [&](httplib::Stream& strm) {
            return process_request(strm, closeAfter, closed, nullptr);
          });
      if (!ret || closed) break;
    }
    httplib::detail::close_socket(sock);
    return ret;
  }

  // True once request bytes (or the peer's close) can be read; false after the keep-alive
  // timeout or when the server stops.
  bool waitForRequest(socket_t sock) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    while (!stopping_) {
      bool readable = false;
      httplib::detail::process_client_socket(sock, 0, kWaitSliceUs, write_timeout_sec_,
                                             write_timeout_usec_, [&](httplib::Stream& strm) {
                                               readable = strm.is_readable();
                                               return true;
                                             });
      if (readable) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
    }
    return false;
  }

  const std::atomic<bool>& stopping_;
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
}

void Server::setIngest(ExtensionIngest* ingest) {
  ingest_ = ingest;
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
  for (int candidate : ports) {
    http_ = std::make_unique<HttpServer>(stopping_);
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
  return 0;
}

void Server::stop() {
  if (!listener_.joinable()) return;
  stopping_ = true;
  // Streams waiting for a change wake at once, see stopping_ and end.
  hub_.wakeAll();
  http_->stop();
  listener_.join();
}

void Server::configure() {
  httplib::Server& http = *http_;

  // A fixed pool; connections beyond it wait in the pool's unbounded queue. An event stream
  // holds its worker for its whole life.
  http.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  http.set_socket_options(configureListenSocket);
  http.set_keep_alive_max_count(100);
  http.set_keep_alive_timeout(5);
  http.set_read_timeout(5, 0);
  http.set_write_timeout(5, 0);
  // Event messages are small; do not let them wait for the peer's delayed acknowledgement.
  http.set_tcp_nodelay(true);

  const std::string hostIp = "127.0.0.1:" + std::to_string(port_);
  const std::string hostName = "localhost:" + std::to_string(port_);
  http.set_pre_routing_handler(
      [hostIp, hostName](const httplib::Request& req, httplib::Response& res) {
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

        const std::string host = req.get_header_value("Host");
        if (host == hostIp || host == hostName) return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content("forbidden", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
      });

  http.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
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
    for (const SourceRecord& r : hub_.sources()) {
      doc["sources"].push_back({{"app", r.app},
                                {"id", r.sourceKey},
                                {"kind", kindName(r.kind)},
                                {"player", r.player},
                                {"service", serviceName(r.service)},
                                {"status", statusName(r.status)},
                                {"title", r.title}});
    }
    if (auto hidden = hub_.hiddenRecord()) {
      doc["hidden"] = {{"artist", hidden->artist},
                       {"service", serviceName(hidden->service)},
                       {"title", hidden->title}};
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

  http.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    auto lastSent = std::make_shared<uint64_t>(kNothingSent);
    res.set_chunked_content_provider(
        "text/event-stream", [this, lastSent](size_t, httplib::DataSink& sink) {
          if (stopping_) return false;
          std::string message;
          if (*lastSent == kNothingSent) {
            auto [text, counter] = hub_.snapshot();
            *lastSent = counter;
            message = "retry: 1000\ndata: " + text + "\n\n";
          } else {
            const uint64_t now = hub_.waitChange(*lastSent, kKeepAliveCommentMs);
            if (stopping_) return false;
            if (now == *lastSent) {
              message = ": ping\n\n";
            } else {
              auto [text, counter] = hub_.snapshot();
              *lastSent = counter;
              message = "data: " + text + "\n\n";
            }
          }
          return sink.write(message.data(), message.size());
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

    http.Post("/api/shutdown", [this](const httplib::Request& req, httplib::Response& res) {
      if (!tokenMatches(req)) {
        res.status = 403;
        return;
      }
      // The entry stops the server later, so this answer is still delivered.
      res.set_content("{\"ok\":true}", "application/json");
      if (onShutdown_) onShutdown_();
    });
  }
}

}  // namespace tunelight
