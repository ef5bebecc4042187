#include "agent/http/httplib_adapter.h"

#include <utility>

#include "agent/http/socket_io.h"

// Each note below says which part of the library this leans on and why. All were checked
// against cpp-httplib 0.11.4 (see the header).

namespace tunelight::httplib_adapter {

namespace {

// Side channel from the worker to the handlers it runs. The library's handlers receive only
// the request and the answer, and its Request has no slot for the caller's own data; handlers
// run synchronously inside process_request on the calling thread, so a thread-local pointer set
// around that call reaches exactly the handlers of this request.
thread_local Exchange* tlsExchange = nullptr;

// Hands every accepted connection on at once instead of occupying a thread with it.
// new_task_queue and TaskQueue are public; the library's accept loop calls enqueue() with a
// job that runs process_and_close_socket (overridden below).
class InlineQueue : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

// Called by process_request (its protected `setup_request` hook) after the head is parsed and
// before the 100-continue handler, the pre-routing handler and routing; it gets the request as
// a mutable object, which handlers only see as const.
void prepareRequest(httplib::Request& req) {
  // The library compresses answers for clients that offer gzip or br, which would buffer and
  // alter what we send. It decides from this header when it writes the answer.
  req.headers.erase("Accept-Encoding");
  // A request without Content-Length or chunked encoding has no body, but the library would
  // read until the peer closes or the read times out (then answers 400). Its body is read after
  // routing's pre-routing handler.
  if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
    req.headers.emplace("Content-Length", "0");
  }
}

}  // namespace

Exchange* currentExchange() {
  return tlsExchange;
}

LibraryServer::LibraryServer(std::function<void(socket_t)> adopt) : adopt_(std::move(adopt)) {
  new_task_queue = [] { return new InlineQueue; };
}

// svr_sock_ is the protected member holding the bound listening socket (set by bind_to_port).
// The library listens with a backlog of 5; a page that opens its files, fonts and event stream
// at once while the accept loop waits for the CPU would see dropped connection attempts retried
// a second later. Listening again on the bound socket only raises the backlog (where the
// platform allows).
void LibraryServer::widenBacklog() {
  ::listen(svr_sock_, SOMAXCONN);
}

// process_request is protected: it parses one request from any httplib::Stream, routes it and
// writes the answer, without the library's own keep-alive loop (the connection poller keeps
// connections between requests).
bool LibraryServer::serveOne(httplib::Stream& strm, bool lastOnConnection, bool& closeRequested,
                             Exchange& exchange) {
  tlsExchange = &exchange;
  struct Reset {
    ~Reset() { tlsExchange = nullptr; }
  } reset;
  return process_request(strm, lastOnConnection, closeRequested, prepareRequest);
}

// process_and_close_socket is the private virtual that the accept loop's task runs for each
// accepted socket (the library's own loop of requests); overriding it takes the connection
// over. Returning true is what the library expects after it closed the socket; it reads
// nothing from the socket afterwards.
bool LibraryServer::process_and_close_socket(socket_t sock) {
  try {
    adopt_(sock);
  } catch (...) {
    net::closeSocket(sock);  // no memory: this one connection is dropped
  }
  return true;
}

// Response's content_length_, content_provider_ and is_chunked_content_provider_ are public
// members marked "private" by a comment; a provider set before the exception (the event
// stream's) must not be used to write the 500, so all three go with the body and headers.
void clearAnswer(httplib::Response& res) {
  res.body.clear();
  res.headers.clear();
  res.content_length_ = 0;
  res.content_provider_ = nullptr;
  res.is_chunked_content_provider_ = false;
}

// detail::parse_query_text is the library's own query parser (percent-decoding, "+" as space,
// repeated keys); Request::params would also hold a form body's fields, which must not count.
std::string queryParam(const httplib::Request& req, const std::string& key) {
  const size_t q = req.target.find('?');
  if (q == std::string::npos) return "";
  httplib::Params params;
  httplib::detail::parse_query_text(req.target.substr(q + 1), params);
  auto it = params.find(key);
  return it == params.end() ? "" : it->second;
}

// A chunked provider that returns false makes write_content_chunked stop with Error::Canceled
// before it writes the closing "0" chunk; the head and the chunks written so far have gone out
// (nothing is compressed: prepareRequest removed Accept-Encoding). process_request then
// returns false, so the worker must look at the exchange, not that result, to keep the socket.
void startOpenEndedStream(httplib::Response& res, const char* contentType,
                          std::function<bool(std::string& first)> first,
                          std::function<void()> sent) {
  res.set_chunked_content_provider(contentType, [first = std::move(first), sent = std::move(sent)](
                                                    size_t, httplib::DataSink& sink) {
    std::string message;
    if (first(message) && sink.write(message.data(), message.size())) sent();
    return false;
  });
}

// The same framing as write_content_chunked's: the size in lower-case hex without leading
// zeros, CRLF, the payload, CRLF. Kept here so that chunks the poller writes after the
// library's first one match it.
std::string chunkFrame(const std::string& payload) {
  static const char kHex[] = "0123456789abcdef";
  char digits[2 * sizeof(size_t)];
  size_t n = payload.size();
  size_t len = 0;
  do {
    digits[sizeof(digits) - ++len] = kHex[n & 15];
    n >>= 4;
  } while (n > 0);
  std::string out;
  out.reserve(len + payload.size() + 4);
  out.append(digits + sizeof(digits) - len, len);
  out += "\r\n";
  out += payload;
  out += "\r\n";
  return out;
}

// detail::get_remote_ip_and_port / get_local_ip_and_port: the library's formatting of the
// REMOTE_ADDR and LOCAL_ADDR request headers, which a Stream implementation must supply.
void remoteAddress(socket_t sock, std::string& ip, int& port) {
  httplib::detail::get_remote_ip_and_port(sock, ip, port);
}

void localAddress(socket_t sock, std::string& ip, int& port) {
  httplib::detail::get_local_ip_and_port(sock, ip, port);
}

}  // namespace tunelight::httplib_adapter
