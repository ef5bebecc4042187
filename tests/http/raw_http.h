#pragma once

// A byte-exact HTTP client for tests: full control over the request (Host, Origin, missing
// headers) and over reading (open streams, partial reads, abortive close).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tunelight::test {

struct CaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

struct HttpResponse {
  int status = 0;
  std::multimap<std::string, std::string, CaseLess> headers;
  std::string body;

  bool has(const std::string& name) const { return headers.count(name) > 0; }
  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

class RawConnection {
 public:
  explicit RawConnection(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  ~RawConnection() {
    if (fd_ >= 0) close(fd_);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  std::string& buffer() { return buf_; }
  bool peerClosed() const { return eof_; }

  bool send(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }

  // Appends whatever has arrived, without waiting.
  void readNow() {
    char chunk[16384];
    ssize_t n = recv(fd_, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (n > 0) buf_.append(chunk, static_cast<size_t>(n));
    if (n == 0) eof_ = true;
  }

  // Reads into buffer() until done(buffer()) holds, the peer closes or timeoutMs passes.
  bool readUntil(const std::function<bool(const std::string&)>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(buf_)) {
      if (eof_) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[16384];
      ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
      if (n <= 0) {
        eof_ = true;
      } else {
        buf_.append(chunk, static_cast<size_t>(n));
      }
    }
    return true;
  }
  bool readUntilContains(const std::string& s, int timeoutMs) {
    return readUntil([&](const std::string& b) { return b.find(s) != std::string::npos; },
                     timeoutMs);
  }
  bool readUntilClosed(int timeoutMs) {
    readUntil([](const std::string&) { return false; }, timeoutMs);
    return eof_;
  }

  // Close with a reset, so that the server's next write fails at once.
  void abort() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::string buf_;
  bool eof_ = false;
};

// Splits a complete response (status line, headers, body; chunked bodies decoded).
inline HttpResponse parseResponse(const std::string& raw) {
  HttpResponse r;
  size_t end = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return r;
  r.status = std::atoi(raw.c_str() + 9);
  size_t pos = raw.find("\r\n") + 2;
  while (pos < end) {
    size_t eol = raw.find("\r\n", pos);
    std::string line = raw.substr(pos, eol - pos);
    size_t colon = line.find(':');
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    r.headers.emplace(line.substr(0, colon), value);
    pos = eol + 2;
  }
  std::string body = raw.substr(end + 4);
  if (r.header("Transfer-Encoding") == "chunked") {
    size_t p = 0;
    while (p < body.size()) {
      size_t eol = body.find("\r\n", p);
      if (eol == std::string::npos) break;
      size_t n = std::strtoul(body.substr(p, eol - p).c_str(), nullptr, 16);
      r.body += body.substr(eol + 2, n);
      p = eol + 2 + n + 2;
      if (n == 0) break;
    }
  } else {
    r.body = body;
  }
  return r;
}

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Sends one request with "Connection: close" and reads the answer to the end. `headers` is
// sent as given: add "Host" yourself (or use get()/post()).
inline HttpResponse rawRequest(int port, const std::string& method, const std::string& target,
                               const HeaderList& headers, const std::string& body = "",
                               int timeoutMs = 3000) {
  std::string req = method + " " + target + " HTTP/1.1\r\n";
  for (const auto& [k, v] : headers) req += k + ": " + v + "\r\n";
  req += "Connection: close\r\n";
  if (!body.empty() || method == "POST")
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n" + body;
  RawConnection c(port);
  if (!c.ok() || !c.send(req)) return {};
  c.readUntilClosed(timeoutMs);
  return parseResponse(c.buffer());
}

inline HeaderList withHost(int port, HeaderList extra = {}) {
  extra.insert(extra.begin(), {"Host", "127.0.0.1:" + std::to_string(port)});
  return extra;
}

inline HttpResponse get(int port, const std::string& target, const HeaderList& extra = {}) {
  return rawRequest(port, "GET", target, withHost(port, extra));
}

inline HttpResponse post(int port, const std::string& target, const std::string& body,
                         const HeaderList& extra = {}) {
  return rawRequest(port, "POST", target, withHost(port, extra), body);
}

// Opens GET /events and leaves the connection open.
inline std::unique_ptr<RawConnection> openEvents(int port) {
  auto c = std::make_unique<RawConnection>(port);
  c->send("GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
  return c;
}

// Ports that were free a moment ago, for servers inside a test process.
inline std::vector<int> freePorts(size_t n) {
  std::vector<int> fds, ports;
  for (size_t i = 0; i < n; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    fds.push_back(fd);
    ports.push_back(ntohs(a.sin_port));
  }
  for (int fd : fds) close(fd);
  return ports;
}

// Holds a port the way another program would: bound and listening, until destroyed. Address
// reuse lets it take a port whose earlier connections are still in TIME_WAIT.
class PortHolder {
 public:
  explicit PortHolder(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(fd_, 4) == 0;
  }
  ~PortHolder() { close(fd_); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

}  // namespace tunelight::test
