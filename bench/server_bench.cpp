// Loopback measurements of the HTTP interface in one process:
//  - event latency: from putSource of a changed record to the new "data:" line at /events
//    clients, with 1 and with 16 open streams;
//  - /api/now-playing requests per second over keep-alive connections.
#include <httplib.h>
#include <poll.h>

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
#include "tests/http/raw_http.h"

namespace {

using namespace tunelight;
using Clock = std::chrono::steady_clock;

SourceRecord track(int i) {
  SourceRecord r;
  r.sourceKey = "smtc:Bench.exe";
  r.kind = kKindSmtcApp;
  r.service = kServiceSpotify;
  r.app = "spotify";
  r.player = "Spotify";
  r.artist = "Benchmark Artist";
  r.title = "Track #" + std::to_string(i) + "#";
  r.album = "Album";
  r.durationMs = 200000;
  r.positionMs = 1000;
  r.positionAt = 1700000000000;
  r.status = kStatusPlaying;
  return r;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void printLatency(const char* what, const std::vector<double>& us) {
  std::printf("%-44s n=%-6zu median %8.1f us   p99 %8.1f us   max %8.1f us\n", what, us.size(),
              percentile(us, 0.5), percentile(us, 0.99), percentile(us, 1.0));
}

bool hasFirstEvent(const std::string& b) {
  size_t h = b.find("\r\n\r\n");
  return h != std::string::npos && b.find("\n\n", h + 4) != std::string::npos;
}

void eventLatency(Hub& hub, int port, size_t streams, int changes, int& next) {
  std::vector<std::unique_ptr<test::RawConnection>> clients;
  for (size_t i = 0; i < streams; ++i) {
    clients.push_back(test::openEvents(port));
    if (!clients.back()->readUntil(hasFirstEvent, 5000)) {
      std::fprintf(stderr, "stream %zu did not start\n", i);
      std::exit(1);
    }
    clients.back()->buffer().clear();
  }
  std::vector<double> each, last;
  for (int c = 0; c < changes; ++c) {
    const int i = next++;
    const std::string marker = "Track #" + std::to_string(i) + "#";
    std::vector<bool> got(streams, false);
    size_t pending = streams;
    const auto t0 = Clock::now();
    hub.putSource(track(i));
    double slowest = 0;
    while (pending > 0) {
      // Sleep in poll until some pending stream has data, so the reader leaves the CPU to the
      // server's workers.
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
        double us = std::chrono::duration<double, std::micro>(now - t0).count();
        each.push_back(us);
        slowest = std::max(slowest, us);
        got[index[k]] = true;
        --pending;
        cl.buffer().clear();
      }
    }
    last.push_back(slowest);
  }
  // Reset the clients and make one change, so that their streams end and free the workers.
  for (auto& cl : clients) cl->abort();
  hub.putSource(track(next++));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  char label[96];
  std::snprintf(label, sizeof(label), "event latency, %zu stream(s), every client", streams);
  printLatency(label, each);
  if (streams > 1) {
    std::snprintf(label, sizeof(label), "event latency, %zu stream(s), last client", streams);
    printLatency(label, last);
  }
}

void requestRate(int port, int connections, double seconds) {
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
  std::printf("%-44s %10.0f requests/s%s\n",
              (std::string("/api/now-playing, keep-alive, ") + std::to_string(connections) +
               " connection(s)")
                  .c_str(),
              static_cast<double>(done.load()) / s, failed ? "  (errors!)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  const int changes = argc > 1 ? std::atoi(argv[1]) : 2000;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;

  Hub hub(50);
  Server server(hub, "bench");
  const int port = server.start(test::freePorts(3));
  if (port == 0) {
    std::fprintf(stderr, "no free port\n");
    return 1;
  }
  int next = 0;
  hub.putSource(track(next++));
  // Warm-up, not reported.
  {
    std::vector<std::unique_ptr<test::RawConnection>> warm;
    warm.push_back(test::openEvents(port));
    warm.back()->readUntil(hasFirstEvent, 5000);
    warm.back()->abort();
    hub.putSource(track(next++));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  eventLatency(hub, port, 1, changes, next);
  eventLatency(hub, port, 16, changes, next);
  requestRate(port, 1, seconds);
  requestRate(port, 4, seconds);
  server.stop();
  return 0;
}
