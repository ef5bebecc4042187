// The agent measured from outside, as a card and the browser extension see it: a separate
// process on loopback, talking HTTP to the real agent ($TUNELIGHT_AGENT picks another binary).
//  - Report -> "data:": with 1, 16, 64 and 256 open /events streams, each change is posted as an
//    extension report and timed until its "data:" message has arrived on every stream.
//  - Start-up: exec -> port file written, median of several starts, and the idle agent's
//    resident memory.
// Usage: tunelight_http_latency [changes per stream count, default 300] [starts, default 20]
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/http/raw_http.h"
#include "tests/support/agent_process.h"

extern char** environ;

namespace {

using namespace tunelight::test;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 10;  // changes sent before timing starts, not counted

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

std::string machineLoad() {
  std::string load = readFile("/proc/loadavg");
  if (!load.empty() && load.back() == '\n') load.pop_back();
  return "load " + load + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores";
}

// One extension report on a kept-alive connection (a new one when the agent closed it).
class Reporter {
 public:
  explicit Reporter(int port) : port_(port) {}

  // Sends the report; answered() reads the answer, so that the streams are read meanwhile.
  bool send(const std::string& body) {
    if (!conn_ || !conn_->ok() || conn_->peerClosed() || closing_)
      conn_ = std::make_unique<RawConnection>(port_);
    closing_ = false;
    conn_->buffer().clear();
    return conn_->send("POST /api/ingest HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                       "\r\nOrigin: chrome-extension://abcdefghijklmnop\r\n"
                       "Content-Type: application/json\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  int fd() const { return conn_->fd(); }
  // Reads what arrived; true once the whole answer is in.
  bool answered() {
    conn_->readNow();
    const std::string& b = conn_->buffer();
    const size_t end = b.find("\r\n\r\n");
    if (end == std::string::npos) return conn_->peerClosed();
    const HttpResponse r = parseResponse(b);
    const size_t length = static_cast<size_t>(std::atol(r.header("Content-Length").c_str()));
    if (r.status != 200) std::fprintf(stderr, "report answered %d\n", r.status);
    // The server ends a kept-alive connection after so many requests.
    closing_ = r.header("Connection") == "close";
    return b.size() >= end + 4 + length || conn_->peerClosed();
  }

 private:
  int port_;
  std::unique_ptr<RawConnection> conn_;
  bool closing_ = false;
};

std::string title(int change) {
  char t[32];
  std::snprintf(t, sizeof(t), "Change %05d", change);
  return t;
}

std::string report(int change) {
  return R"({"id":"bench-tab","title":")" + title(change) +
         R"(","artist":"Bench","status":"playing","service":"spotify","browser":"chrome"})";
}

struct Result {
  std::vector<double> everyStream;  // per change: until the last stream had it
  std::vector<double> eachStream;   // per change and stream
};

// Opens `streams` event streams on a fresh agent and times `changes` reports.
bool measureStreams(int streams, int changes, Result* out) {
  auto agent = startAgent();
  if (agent->port == 0) {
    std::fprintf(stderr, "agent did not start\n");
    return false;
  }
  std::vector<std::unique_ptr<RawConnection>> clients;
  for (int i = 0; i < streams; ++i) {
    clients.push_back(openEvents(agent->port));
    if (!clients.back()->readUntilContains("data: ", 5000)) {
      std::fprintf(stderr, "stream %d of %d did not start\n", i + 1, streams);
      return false;
    }
    clients.back()->buffer().clear();
  }
  Reporter reporter(agent->port);
  std::vector<pollfd> fds;
  std::vector<size_t> waiting;
  std::vector<Clock::time_point> arrived(clients.size());
  for (int change = 0; change < kWarmUp + changes; ++change) {
    const std::string marker = title(change) + "\"";
    const auto sent = Clock::now();
    if (!reporter.send(report(change))) {
      std::fprintf(stderr, "cannot send report %d\n", change);
      return false;
    }
    waiting.clear();
    for (size_t i = 0; i < clients.size(); ++i) waiting.push_back(i);
    bool answered = false;
    while (!waiting.empty() || !answered) {
      fds.clear();
      for (size_t i : waiting) fds.push_back({clients[i]->fd(), POLLIN, 0});
      if (!answered) fds.push_back({reporter.fd(), POLLIN, 0});
      if (poll(fds.data(), fds.size(), 5000) <= 0) {
        std::fprintf(stderr, "change %d: %zu stream(s) got nothing within 5 s\n", change,
                     waiting.size());
        return false;
      }
      size_t kept = 0;
      for (size_t k = 0; k < waiting.size(); ++k) {
        RawConnection& c = *clients[waiting[k]];
        if (fds[k].revents) c.readNow();
        if (c.buffer().find(marker) != std::string::npos) {
          arrived[waiting[k]] = Clock::now();
          c.buffer().clear();
        } else {
          if (c.peerClosed()) {
            std::fprintf(stderr, "a stream was closed by the agent\n");
            return false;
          }
          waiting[kept++] = waiting[k];
        }
      }
      waiting.resize(kept);
      if (!answered && fds.back().revents) answered = reporter.answered();
    }
    if (change < kWarmUp) continue;
    Clock::time_point last = sent;
    for (const auto& t : arrived) {
      out->eachStream.push_back(ms(t - sent));
      last = std::max(last, t);
    }
    out->everyStream.push_back(ms(last - sent));
    // Changes come one at a time, as from a player: the agent is idle when the next one lands.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// exec -> port file renamed into place, seen through inotify rather than by polling.
bool measureStart(double* took, long* rssKb) {
  TempDir dir;
  const int in = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(in, dir.path().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  const std::string portFile = dir.file("agent.port");
  const auto t0 = Clock::now();
  ChildProcess agent(agentPath(), {"--token", "bench-token-0123456789abcdef", "--port-file",
                                   portFile, "--log-file", dir.file("agent.log")});
  bool ok = false;
  while (!ok) {
    pollfd p{in, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    char events[4096];
    if (read(in, events, sizeof(events)) <= 0) break;
    ok = std::atoi(readFile(portFile).c_str()) > 0;
  }
  *took = ms(Clock::now() - t0);
  close(in);
  if (ok && rssKb) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settled, still idle
    const std::string status = readFile("/proc/" + std::to_string(agent.pid()) + "/status");
    const size_t at = status.find("VmRSS:");
    *rssKb = at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
  }
  return ok;
}

// A program that does nothing, spawned and reaped with a blocking wait: the floor under any start.
double bareStart() {
  const auto t0 = Clock::now();
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return 0;
  int status = 0;
  waitpid(pid, &status, 0);
  return ms(Clock::now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
  const int changes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  const int starts = argc > 2 ? std::max(0, std::atoi(argv[2])) : 20;
  std::printf("agent %s\n%s\n", agentPath().c_str(), machineLoad().c_str());

  std::printf("report -> data: on every stream, %d changes each (after %d unmeasured)\n", changes,
              kWarmUp);
  std::printf("%8s %12s %12s %12s %14s\n", "streams", "median ms", "p99 ms", "max ms",
              "per stream p99");
  for (int streams : {1, 16, 64, 256}) {
    Result r;
    if (!measureStreams(streams, changes, &r)) return 1;
    std::printf("%8d %12.3f %12.3f %12.3f %14.3f   (%s)\n", streams, percentile(r.everyStream, 0.5),
                percentile(r.everyStream, 0.99), percentile(r.everyStream, 1.0),
                percentile(r.eachStream, 0.99), machineLoad().c_str());
  }

  if (starts > 0) {
    std::vector<double> agentStarts, bare;
    long rssKb = 0;
    for (int i = 0; i < starts; ++i) {
      double took = 0;
      if (!measureStart(&took, i == 0 ? &rssKb : nullptr)) {
        std::fprintf(stderr, "agent start %d wrote no port file\n", i + 1);
        return 1;
      }
      agentStarts.push_back(took);
      bare.push_back(bareStart());
    }
    std::printf("start -> port file  median %.2f ms, min %.2f, max %.2f over %d starts\n",
                percentile(agentStarts, 0.5), percentile(agentStarts, 0),
                percentile(agentStarts, 1), starts);
    std::printf("bare process start  median %.2f ms (/bin/true to its exit)\n",
                percentile(bare, 0.5));
    std::printf("idle resident memory %ld KiB (0.5 s after start)\n", rssKb);
  }
  std::printf("%s\n", machineLoad().c_str());
  return 0;
}
