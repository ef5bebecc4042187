// The agent's HTTP server end to end: each input is sent as raw bytes over loopback to a server in
// this process (run it inside a network namespace of its own, e.g. `unshare --net`), and the
// answer is read with a deadline. A server that neither answers nor closes is a finding.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_config.h"
#include "agent/demo_source.h"
#include "agent/http/server.h"
#include "agent/hub.h"
#include "agent/sources/extension_ingest.h"
#include "agent/text_output.h"

namespace {

using namespace tunelight;
using Clock = std::chrono::steady_clock;

constexpr auto kAnswerDeadline = std::chrono::seconds(5);
constexpr auto kAfterLastByte = std::chrono::milliseconds(100);

// Everything main builds, except sources that watch the system; the text output never runs (a
// posted folder is only remembered).
struct Agent {
  Hub hub{50};
  ExtensionIngest ingest{hub, false};
  TextOutput out{hub};
  DemoSource demo{hub, wallNowMs,
                  [](int64_t) { std::this_thread::sleep_for(std::chrono::microseconds(200)); }};
  ConfigTargets targets{{}, hub, out, demo};
  Server server{hub, "0.2.0"};
  int port = 0;

  Agent() {
    server.setIngest(&ingest);
    server.setControl(
        "fuzz-token", [this](const std::string& body) { applyConfig(targets, body); }, [] {});
    std::vector<int> ports;
    for (int p = 40000; p < 40100; ++p) ports.push_back(p);
    port = server.start(ports);
    if (port == 0) {
      std::fprintf(stderr, "no free port for the server\n");
      std::abort();
    }
  }
};

Agent& agent() {
  static Agent* a = new Agent();  // lives until the process ends, threads and all
  return *a;
}

// libFuzzer's own timer interrupts blocking calls now and then: every call here copes with EINTR.
int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    // An interrupted connect goes on by itself; wait until it is done.
    int error = errno;
    if (error == EINTR) {
      pollfd p{fd, POLLOUT, 0};
      while (poll(&p, 1, -1) < 0 && errno == EINTR) {
      }
      socklen_t len = sizeof(error);
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    }
    if (error != 0) {
      std::fprintf(stderr, "connect: %s\n", std::strerror(error));
      std::abort();
    }
  }
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Agent& a = agent();
  const int fd = connectTo(a.port);
  // Sent whole, then our side is closed, so the server sees the end of every request at once.
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the server may close early (a bad request)
    sent += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);

  const auto start = Clock::now();
  auto lastByte = Clock::time_point{};
  char buf[65536];
  for (;;) {
    const auto now = Clock::now();
    if (lastByte != Clock::time_point{} && now - lastByte > kAfterLastByte) break;  // a stream
    if (lastByte == Clock::time_point{} && now - start > kAnswerDeadline) {
      std::fprintf(stderr, "the server neither answered nor closed within 5 s\n");
      std::abort();
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // closed (or reset) by the server
    lastByte = Clock::now();
  }
  close(fd);
  return 0;
}
