// Latency of a track change from an MPRIS player to the card: from `playerctl next` to the new
// "data:" line on the agent's /events, with the signal wake-up and with polling only.
// Starts its own session bus, mpv and agent. Usage: tunelight_mpris_latency [changes per run]
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/agent_process.h"

namespace {

using namespace tunelight::test;
using Clock = std::chrono::steady_clock;

// Titles seen on /events, each with its arrival time.
struct EventLog {
  std::mutex mu;  // guards the members below
  std::condition_variable cv;
  std::string lastTitle;
  Clock::time_point at;
  uint64_t seq = 0;
};

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// One run against a fresh agent; returns latencies in ms.
std::vector<double> measure(bool signals, int changes) {
  ::setenv("TUNELIGHT_MPRIS_SIGNALS", signals ? "1" : "0", 1);
  auto agent = startAgent();
  std::vector<double> out;
  if (agent->port == 0) {
    std::fprintf(stderr, "agent did not start\n");
    return out;
  }
  httplib::Client api("127.0.0.1", agent->port);
  api.Post("/api/config", {{"X-Tunelight-Token", agent->token}}, R"({"videoPlayers":true})",
           "application/json");

  EventLog log;
  std::thread reader([&] {
    httplib::Client c("127.0.0.1", agent->port);
    c.set_read_timeout(60, 0);
    std::string buf;
    c.Get("/events", [&](const char* data, size_t len) {
      buf.append(data, len);
      size_t nl;
      while ((nl = buf.find('\n')) != std::string::npos) {
        std::string line = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        if (line.compare(0, 6, "data: ") != 0) continue;
        auto d = nlohmann::json::parse(line.substr(6), nullptr, false);
        std::string title = d.is_object() ? d.value("title", "") : "";
        std::lock_guard<std::mutex> lock(log.mu);
        if (title != log.lastTitle) {
          log.lastTitle = title;
          log.at = Clock::now();
          ++log.seq;
          log.cv.notify_all();
        }
      }
      return true;
    });
  });

  {
    std::unique_lock<std::mutex> lock(log.mu);
    log.cv.wait_for(lock, std::chrono::seconds(5), [&] { return !log.lastTitle.empty(); });
  }
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> pause(0, 500);
  for (int i = 0; i < changes; ++i) {
    // A random phase against the 500 ms poll rhythm.
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + pause(rng)));
    uint64_t seq;
    {
      std::lock_guard<std::mutex> lock(log.mu);
      seq = log.seq;
    }
    auto t0 = Clock::now();
    if (!runToSuccess("/usr/bin/playerctl", {"-p", "mpv", "next"})) continue;
    std::unique_lock<std::mutex> lock(log.mu);
    if (log.cv.wait_for(lock, std::chrono::seconds(3), [&] { return log.seq != seq; }))
      out.push_back(std::chrono::duration<double, std::milli>(log.at - t0).count());
  }
  agent->process->kill();
  agent->process->waitExit(5000);
  reader.join();
  return out;
}

void print(const char* what, const std::vector<double>& ms) {
  if (ms.empty()) {
    std::printf("%-28s no samples\n", what);
    return;
  }
  std::printf("%-28s n=%zu median %.1f ms  p95 %.1f ms  max %.1f ms\n", what, ms.size(),
              percentile(ms, 0.5), percentile(ms, 0.95), percentile(ms, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
  int changes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
  TempDir dir;
  const std::string socket = dir.file("bus");
  const std::string address = "unix:path=" + socket;
  ChildProcess bus("/usr/bin/dbus-daemon",
                   {"--session", "--nofork", "--nopidfile", "--address=" + address});
  for (int i = 0; i < 250 && !fileExists(socket); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

  std::vector<std::string> files;
  for (int i = 0; i < 3; ++i) {
    std::string f = dir.file("t" + std::to_string(i) + ".ogg");
    if (!runToSuccess(
            "/usr/bin/ffmpeg",
            {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
             "sine=frequency=" + std::to_string(300 + 100 * i) + ":duration=120:sample_rate=8000",
             "-metadata", "title=Track " + std::to_string(i), "-metadata", "artist=Bench", f})) {
      std::fprintf(stderr, "ffmpeg failed\n");
      return 1;
    }
    files.push_back(f);
  }
  std::vector<std::string> args = {"--no-config",   "--script=/usr/lib/mpv-mpris/mpris.so",
                                   "--ao=null",     "--vo=null",
                                   "--no-terminal", "--loop-playlist=inf"};
  args.insert(args.end(), files.begin(), files.end());
  ChildProcess mpv("/usr/bin/mpv", args);
  for (int i = 0; i < 100 && !runToSuccess("/usr/bin/playerctl", {"-p", "mpv", "status"}); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  std::printf("playerctl next -> /events data line, %d changes per run\n", changes);
  print("with signal wake-up:", measure(true, changes));
  print("polling only (500 ms):", measure(false, changes));
  return 0;
}
