// Loopback measurements of the HTTP interface in one process:
//  - event latency: from an extension report (POST /api/ingest over a kept-alive connection)
//    to its "data:" line at every /events client, with 1, 16, 64 and 256 open streams: median
//    and p99 over all deliveries, and the p99 of the slowest stream;
//  - /api/now-playing requests per second over keep-alive connections, alone and with 64 open
//    streams.
#include <httplib.h>
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/http/server.h"
#include "agent/hub.h"
#include "agent/model.h"
#include "agent/sources/extension_ingest.h"
#include "tests/http/raw_http.h"

namespace {

using namespace tunelight;
using Clock = std::chrono::steady_clock;
using Streams = std::vector<std::unique_ptr<test::RawConnection>>;

std::string report(int i) {
  return "{\"id\":\"bench\",\"title\":\"Track #" + std::to_string(i) +
         "#\",\"artist\":\"Benchmark Artist\",\"album\":\"Album\",\"status\":\"playing\","
         "\"service\":\"spotify\",\"durationMs\":200000,\"positionMs\":1000}";
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

bool hasFirstEvent(const std::string& b) {
  size_t h = b.find("\r\n\r\n");
  return h != std::string::npos && b.find("\n\n", h + 4) != std::string::npos;
}

Streams openStreams(int port, size_t n) {
  Streams clients;
  for (size_t i = 0; i < n; ++i) clients.push_back(test::openEvents(port));
  for (size_t i = 0; i < n; ++i) {
    if (!clients[i]->readUntil(hasFirstEvent, 5000)) {
      std::fprintf(stderr, "stream %zu did not start\n", i);
      std::exit(1);
    }
    clients[i]->buffer().clear();
  }
  return clients;
}

void eventLatency(int port, size_t streams, int changes, int& next, bool print = true) {
  Streams clients = openStreams(port, streams);
  httplib::Client extension("127.0.0.1", port);
  extension.set_keep_alive(true);
  // As browsers do; otherwise the body waits for the acknowledgement of the head (40 ms).
  extension.set_tcp_nodelay(true);
  const httplib::Headers origin = {{"Origin", "chrome-extension://bench"}};
  std::vector<double> all;
  std::vector<std::vector<double>> perStream(streams);
  for (int c = 0; c < changes; ++c) {
    const int i = next++;
    const std::string marker = "Track #" + std::to_string(i) + "#";
    std::vector<bool> got(streams, false);
    size_t pending = streams;
    const auto t0 = Clock::now();
    auto res = extension.Post("/api/ingest", origin, report(i), "application/json");
    if (!res || res->status != 200) {
      std::fprintf(stderr, "report %d failed\n", i);
      std::exit(1);
    }
    while (pending > 0) {
      // Sleep in poll until some pending stream has data, so the reader leaves the CPU to the
      // server.
      std::vector<pollfd> fds;
      std::vector<size_t> index;
      for (size_t s = 0; s < streams; ++s) {
        if (got[s]) continue;
        fds.push_back({clients[s]->fd(), POLLIN, 0});
        index.push_back(s);
      }
      if (poll(fds.data(), fds.size(), 5000) <= 0) {
        std::fprintf(stderr, "change %d did not arrive\n", i);
        std::exit(1);
      }
      const auto now = Clock::now();
      for (size_t k = 0; k < fds.size(); ++k) {
        if (!(fds[k].revents & POLLIN)) continue;
        auto& cl = *clients[index[k]];
        cl.readNow();
        const std::string& b = cl.buffer();
        size_t at = b.find(marker);
        if (at == std::string::npos || b.find("\n\n", at) == std::string::npos) continue;
        const double us = std::chrono::duration<double, std::micro>(now - t0).count();
        all.push_back(us);
        perStream[index[k]].push_back(us);
        got[index[k]] = true;
        --pending;
        cl.buffer().clear();
      }
    }
  }
  if (!print) return;
  double slowest = 0;
  for (const auto& v : perStream) slowest = std::max(slowest, percentile(v, 0.99));
  std::printf(
      "report -> data:, %3zu stream(s)  n=%-7zu median %8.1f us   p99 %8.1f us   "
      "slowest stream p99 %8.1f us\n",
      streams, all.size(), percentile(all, 0.5), percentile(all, 0.99), slowest);
}

void requestRate(int port, int connections, double seconds, size_t openStreams) {
  std::atomic<long> done{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  const auto t0 = Clock::now();
  for (int c = 0; c < connections; ++c) {
    threads.emplace_back([&] {
      httplib::Client client("127.0.0.1", port);
      client.set_keep_alive(true);
      long n = 0;
      while (Clock::now() < deadline) {
        auto res = client.Get("/api/now-playing");
        if (!res || res->status != 200) {
          failed = true;
          break;
        }
        ++n;
      }
      done += n;
    });
  }
  for (auto& t : threads) t.join();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf(
      "/api/now-playing, %d keep-alive connection(s), %3zu open stream(s): %8.0f requests/s%s\n",
      connections, openStreams, static_cast<double>(done.load()) / s, failed ? "  (errors!)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  const int changes = argc > 1 ? std::atoi(argv[1]) : 1000;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;

  // Both ends of 256 streams live in this process.
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);

  Hub hub(50);
  ExtensionIngest ingest(hub, false);
  Server server(hub, "bench");
  server.setIngest(&ingest);
  const int port = server.start(test::freePorts(3));
  if (port == 0) {
    std::fprintf(stderr, "no free port\n");
    return 1;
  }
  int next = 0;
  eventLatency(port, 1, std::min(changes, 100), next, false);  // warm-up
  for (size_t streams : {1, 16, 64, 256}) eventLatency(port, streams, changes, next);
  requestRate(port, 1, seconds, 0);
  requestRate(port, 4, seconds, 0);
  {
    Streams open = openStreams(port, 64);
    requestRate(port, 1, seconds, open.size());
    requestRate(port, 4, seconds, open.size());
  }
  server.stop();
  return 0;
}
