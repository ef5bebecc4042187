// Cost of an agent with nothing to do: one paused MPRIS player and open /events streams.
// Prints the agent's CPU time (% of one core), its wake-ups per second (voluntary and
// involuntary context switches, summed over its threads and per thread) and the "data:"
// messages each stream received after its first. Starts its own session bus, mpv and agent
// ($TUNELIGHT_AGENT picks another agent binary).
// Usage: tunelight_idle_cost [seconds] [streams]
#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/http/raw_http.h"
#include "tests/support/agent_process.h"

namespace {

using namespace tunelight::test;
using Clock = std::chrono::steady_clock;

struct ThreadCounts {
  std::string name;
  long long voluntary = 0;
  long long involuntary = 0;
  long long cpuNs = 0;
};

long long statusField(const std::string& status, const std::string& key) {
  size_t at = status.find("\n" + key + ":");
  return at == std::string::npos ? 0 : std::atoll(status.c_str() + at + key.size() + 2);
}

// Every thread of the process: its name, context switches and time on a CPU.
std::map<int, ThreadCounts> sample(int pid) {
  std::map<int, ThreadCounts> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task/";
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    const int tid = std::atoi(e->d_name);
    if (tid <= 0) continue;
    const std::string base = dir + e->d_name + "/";
    ThreadCounts t;
    t.name = readFile(base + "comm");
    if (!t.name.empty() && t.name.back() == '\n') t.name.pop_back();
    const std::string status = readFile(base + "status");
    t.voluntary = statusField(status, "voluntary_ctxt_switches");
    t.involuntary = statusField(status, "nonvoluntary_ctxt_switches");
    t.cpuNs = std::atoll(readFile(base + "schedstat").c_str());
    out[tid] = t;
  }
  closedir(d);
  return out;
}

int countData(RawConnection& c) {
  size_t before;
  do {
    before = c.buffer().size();
    c.readNow();
  } while (c.buffer().size() > before);
  int n = 0;
  const std::string& b = c.buffer();
  for (size_t at = b.find("data: "); at != std::string::npos; at = b.find("data: ", at + 1)) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  const int streams = argc > 2 ? std::max(0, std::atoi(argv[2])) : 15;
  TempDir dir;
  const std::string socket = dir.file("bus");
  ChildProcess bus("/usr/bin/dbus-daemon",
                   {"--session", "--nofork", "--nopidfile", "--address=unix:path=" + socket});
  for (int i = 0; i < 250 && !fileExists(socket); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);

  const std::string track = dir.file("track.ogg");
  if (!runToSuccess("/usr/bin/ffmpeg",
                    {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                     "sine=frequency=440:duration=600:sample_rate=8000", "-metadata",
                     "title=Paused Track", "-metadata", "artist=Bench", track})) {
    std::fprintf(stderr, "ffmpeg failed\n");
    return 1;
  }
  ChildProcess mpv("/usr/bin/mpv", {"--no-config", "--script=/usr/lib/mpv-mpris/mpris.so",
                                    "--ao=null", "--vo=null", "--no-terminal", "--pause", track});
  for (int i = 0; i < 100 && !runToSuccess("/usr/bin/playerctl", {"-p", "mpv", "status"}); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  auto agent = startAgent();
  if (agent->port == 0) {
    std::fprintf(stderr, "agent did not start\n");
    return 1;
  }
  post(agent->port, "/api/config", R"({"videoPlayers":true})",
       {{"X-Tunelight-Token", agent->token}});
  for (int i = 0; i < 200; ++i) {
    if (get(agent->port, "/api/now-playing").body.find("Paused Track") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  std::vector<std::unique_ptr<RawConnection>> clients;
  for (int i = 0; i < streams; ++i) {
    clients.push_back(openEvents(agent->port));
    if (!clients.back()->readUntilContains("data: ", 5000)) {
      std::fprintf(stderr, "stream %d did not start\n", i);
      return 1;
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // settle
  std::vector<int> first;
  for (auto& c : clients) first.push_back(countData(*c));

  const int pid = agent->process->pid();
  const auto before = sample(pid);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto after = sample(pid);
  const double took = std::chrono::duration<double>(Clock::now() - t0).count();

  int fewest = 1 << 30, most = 0;
  for (size_t i = 0; i < clients.size(); ++i) {
    const int n = countData(*clients[i]) - first[i];
    fewest = std::min(fewest, n);
    most = std::max(most, n);
  }

  struct Row {
    int tid;
    ThreadCounts d;
  };
  std::vector<Row> rows;
  ThreadCounts total;
  for (const auto& [tid, a] : after) {
    ThreadCounts b;
    if (auto it = before.find(tid); it != before.end()) b = it->second;
    Row r{tid, a};
    r.d.voluntary -= b.voluntary;
    r.d.involuntary -= b.involuntary;
    r.d.cpuNs -= b.cpuNs;
    total.voluntary += r.d.voluntary;
    total.involuntary += r.d.involuntary;
    total.cpuNs += r.d.cpuNs;
    rows.push_back(r);
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.d.voluntary + a.d.involuntary > b.d.voluntary + b.d.involuntary;
  });

  std::printf("one paused player, %d open stream(s), %.1f s; load %s", streams, took,
              readFile("/proc/loadavg").c_str());
  std::printf("agent CPU            %.3f %% of a core\n", 100.0 * total.cpuNs / (took * 1e9));
  std::printf("agent wake-ups       %.2f /s (voluntary %.2f, involuntary %.2f)\n",
              (total.voluntary + total.involuntary) / took, total.voluntary / took,
              total.involuntary / took);
  std::printf("data: per stream     min %d, max %d\n", clients.empty() ? 0 : fewest, most);
  std::printf("per thread (wake-ups/s, CPU ms):\n");
  for (const Row& r : rows) {
    const double w = (r.d.voluntary + r.d.involuntary) / took;
    if (w < 0.005 && r.d.cpuNs < 1000000) continue;
    std::printf("  %7d %-16s %7.2f /s %8.1f ms\n", r.tid, r.d.name.c_str(), w, r.d.cpuNs / 1e6);
  }
  return 0;
}
