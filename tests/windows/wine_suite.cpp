// The Windows build of the agent, run under Wine: start-up and paths, ports, access rules,
// configuration and text files, extension reports, the parent watch, the media-session failure
// path, the HTTPS download and the fault guard. Run by scripts/test-windows.sh, which sets:
//   TUNELIGHT_AGENT         the cross-built tunelight-agent.exe
//   TUNELIGHT_AGENT_RUNNER  Wine's loader
//   TUNELIGHT_WINE_HELPERS  the directory of the helper programs (wine-*.exe)
//   TUNELIGHT_WINDOWS_PLUGIN  the cross-built plugin module (tunelight.dll)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/agent_process.h"

namespace tunelight::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const int kCandidates[] = {48210, 48211, 48212, 48213, 48214};
const std::string kToken = "wine-token-0123456789abcdef";

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// Wine maps drive Z: to the Linux root.
std::string winPath(const std::string& linuxPath) {
  std::string p = "Z:" + linuxPath;
  std::replace(p.begin(), p.end(), '/', '\\');
  return p;
}

// A file written by a Windows program in text mode, with its line ends as "\n".
std::string readText(const std::string& path) {
  std::string s = readFile(path);
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  return s;
}

std::string helper(const std::string& name) {
  return env("TUNELIGHT_WINE_HELPERS") + "/" + name;
}

// A Windows program under Wine; its output goes to outPath.
std::unique_ptr<ChildProcess> runWindows(const std::string& exe,
                                         const std::vector<std::string>& args,
                                         const std::string& outPath = "") {
  std::vector<std::string> all = {exe};
  all.insert(all.end(), args.begin(), args.end());
  return std::make_unique<ChildProcess>(env("TUNELIGHT_AGENT_RUNNER"), all, outPath);
}

// The plugin module in the stand-in OBS (wine-plugin-host): the module and the given agent lie in
// tmp/bin as in the plugin folder, OBS's configuration directory is configDir, and writing into
// tmp/unload asks the host to unload the module. The host's output goes to outPath.
std::unique_ptr<ChildProcess> startPluginHost(const TempDir& tmp, const std::string& agent,
                                              const std::string& configDir,
                                              const std::string& outPath) {
  fs::create_directories(tmp.file("bin"));
  fs::copy_file(env("TUNELIGHT_WINDOWS_PLUGIN"), tmp.file("bin/tunelight.dll"));
  fs::copy_file(agent, tmp.file("bin/tunelight-agent.exe"));
  setenv("FAKE_OBS_CONFIG_DIR", (winPath(configDir) + "\\").c_str(), 1);
  setenv("FAKE_OBS_MODULE_PATH", winPath(tmp.file("bin/tunelight.dll")).c_str(), 1);
  auto host =
      runWindows(helper("wine-plugin-host.exe"),
                 {winPath(tmp.file("bin/tunelight.dll")), winPath(tmp.file("unload"))}, outPath);
  unsetenv("FAKE_OBS_CONFIG_DIR");
  unsetenv("FAKE_OBS_MODULE_PATH");
  return host;
}

int lineCount(const std::string& text, const std::string& prefix, const std::string& suffix) {
  std::istringstream in(text);
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0 && line.size() >= prefix.size() + suffix.size() &&
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
      ++n;
    }
  }
  return n;
}

struct RawResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
};

int connectTo(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// One request with full control over its header lines (hostLine empty = no Host header).
RawResponse raw(int port, const std::string& method, const std::string& path,
                const std::string& hostLine, const std::vector<std::string>& headers = {},
                const std::string& body = "") {
  RawResponse r;
  int s = connectTo(port);
  if (s < 0) return r;
  std::string req = method + " " + path + " HTTP/1.1\r\n";
  if (!hostLine.empty()) req += "Host: " + hostLine + "\r\n";
  for (const auto& h : headers) req += h + "\r\n";
  req += "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  req += body;
  send(s, req.data(), req.size(), MSG_NOSIGNAL);
  std::string data;
  char buf[65536];
  for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) data.append(buf, static_cast<size_t>(n));
  close(s);
  size_t end = data.find("\r\n\r\n");
  if (end == std::string::npos || data.size() < 12) return r;
  r.status = std::atoi(data.c_str() + 9);
  std::istringstream head(data.substr(0, end));
  std::string line;
  std::getline(head, line);
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
  }
  r.body = data.substr(end + 4);
  return r;
}

// An agent under Wine with its token, port file and log in a directory with a non-ASCII name.
struct WineAgent {
  TempDir tmp;
  std::string dir;
  std::unique_ptr<ChildProcess> process;
  int port = 0;

  explicit WineAgent(const std::vector<std::string>& extra = {}, bool waitPort = true) {
    dir = tmp.path() + "/Ünïcode каталог 目录";
    fs::create_directories(dir);
    std::vector<std::string> args = {"--token",           kToken,       "--port-file",
                                     winPath(portFile()), "--log-file", winPath(logFile())};
    args.insert(args.end(), extra.begin(), extra.end());
    process = runWindows(env("TUNELIGHT_AGENT"), args, tmp.file("wine-output.txt"));
    if (waitPort) port = waitForPortFile(portFile(), 15000);
  }
  ~WineAgent() {
    if (process->running() && port > 0) shutdown();
    process->waitExit(3000);
  }
  std::string portFile() const { return dir + "/agent.port"; }
  std::string logFile() const { return dir + "/agent.log"; }
  std::string log() const { return readText(logFile()); }
  std::string host() const { return "127.0.0.1:" + std::to_string(port); }

  RawResponse get(const std::string& path, const std::vector<std::string>& headers = {}) {
    return raw(port, "GET", path, host(), headers);
  }
  RawResponse post(const std::string& path, const std::string& body,
                   const std::vector<std::string>& headers = {}) {
    return raw(port, "POST", path, host(), headers, body);
  }
  RawResponse config(const std::string& body) {
    return post("/api/config", body, {"X-Tunelight-Token: " + kToken});
  }
  void shutdown() { post("/api/shutdown", "", {"X-Tunelight-Token: " + kToken}); }
};

class Wine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("TUNELIGHT_AGENT_RUNNER").empty() || env("TUNELIGHT_WINE_HELPERS").empty() ||
        env("TUNELIGHT_AGENT").empty()) {
      FAIL() << "run through scripts/test-windows.sh (Wine runner, agent and helpers unset)";
    }
  }
};

TEST_F(Wine, StartsWithNonAsciiPathsReplacesOldPortFileAndStopsOnRequest) {
  TempDir seed;
  // A port file and a ".tmp" left behind by an earlier run.
  std::string dir = seed.path() + "/Ünïcode каталог 目录";
  fs::create_directories(dir);
  std::ofstream(dir + "/agent.port") << "1";
  std::ofstream(dir + "/agent.port.tmp") << "garbage";
  std::vector<std::string> args = {"--token",     kToken,
                                   "--port-file", winPath(dir + "/agent.port"),
                                   "--log-file",  winPath(dir + "/agent.log")};
  auto agent = runWindows(env("TUNELIGHT_AGENT"), args, seed.file("out.txt"));
  ASSERT_TRUE(waitUntil([&] { return readFile(dir + "/agent.port").size() > 1; }, 15000, 20));

  // Which candidate is free depends on what else runs on this machine.
  std::string port = readFile(dir + "/agent.port");
  int bound = std::atoi(port.c_str());
  EXPECT_EQ(port, std::to_string(bound));
  EXPECT_NE(std::find(std::begin(kCandidates), std::end(kCandidates), bound),
            std::end(kCandidates));
  EXPECT_FALSE(fileExists(dir + "/agent.port.tmp"));
  EXPECT_NE(
      readText(dir + "/agent.log").find("[info] listening on http://127.0.0.1:" + port + "\n"),
      std::string::npos);
  RawResponse health = raw(bound, "GET", "/api/health", "127.0.0.1:" + port);
  EXPECT_EQ(health.status, 200);
  EXPECT_NE(health.body.find("\"port\":" + port), std::string::npos);

  RawResponse bye =
      raw(bound, "POST", "/api/shutdown", "127.0.0.1:" + port, {"X-Tunelight-Token: " + kToken});
  EXPECT_EQ(bye.status, 200);
  EXPECT_EQ(bye.body, "{\"ok\":true}");
  EXPECT_EQ(agent->waitExit(5000), std::optional<int>(0));
  EXPECT_FALSE(fileExists(dir + "/agent.port"));
}

TEST_F(Wine, HeldPortsAreNeverSharedAndNoFreePortExitsWithTwo) {
  TempDir tmp;
  {
    // The first candidate is held (by the helper, or by whatever holds it already).
    auto holder = runWindows(helper("wine-port-holder.exe"),
                             {winPath(tmp.file("ready1")), std::to_string(kCandidates[0])},
                             tmp.file("holder1.txt"));
    ASSERT_TRUE(waitUntil([&] { return fileExists(tmp.file("ready1")); }, 10000, 20));
    WineAgent first;
    EXPECT_GT(first.port, kCandidates[0]);
    WineAgent second;
    EXPECT_GT(second.port, first.port);
  }
  // All five held: exit code 2, one error line, no port file.
  std::vector<std::string> args = {winPath(tmp.file("ready2"))};
  for (int p : kCandidates) args.push_back(std::to_string(p));
  auto holder = runWindows(helper("wine-port-holder.exe"), args, tmp.file("holder2.txt"));
  ASSERT_TRUE(waitUntil([&] { return fileExists(tmp.file("ready2")); }, 10000, 20));
  WineAgent none({}, false);
  EXPECT_EQ(none.process->waitExit(15000), std::optional<int>(2));
  EXPECT_EQ(none.log(), "[error] no free port\n");
  EXPECT_FALSE(fileExists(none.portFile()));
}

TEST_F(Wine, AccessRulesRoutesAndMediaSessionFailures) {
  auto start = Clock::now();
  WineAgent a;
  ASSERT_GT(a.port, 0);
  std::string p = std::to_string(a.port);

  EXPECT_EQ(raw(a.port, "GET", "/api/health", "localhost:" + p).status, 200);
  for (const std::string& host : {"LOCALHOST:" + p, std::string("127.0.0.1"), "[::1]:" + p,
                                  std::string("127.0.0.1:1"), std::string()}) {
    RawResponse r = raw(a.port, "GET", "/events", host);
    EXPECT_EQ(r.status, 403) << host;
    EXPECT_EQ(r.body, "forbidden") << host;
  }

  RawResponse root = a.get("/");
  EXPECT_EQ(root.status, 302);
  EXPECT_EQ(root.headers["location"], "/widget");
  EXPECT_EQ(a.get("/cover/0123456789ABCDEF").status, 404);

  RawResponse unrouted = a.get("/nothing", {"Origin: null"});
  EXPECT_EQ(unrouted.status, 404);
  EXPECT_EQ(unrouted.headers["access-control-allow-origin"], "null");
  EXPECT_EQ(a.get("/api/now-playing", {"Origin: http://localhost:5173"})
                .headers["access-control-allow-origin"],
            "http://localhost:5173");
  EXPECT_EQ(a.get("/api/now-playing", {"Origin: https://localhost:5173"})
                .headers.count("access-control-allow-origin"),
            0u);
  EXPECT_EQ(a.post("/api/ingest", "{}", {"Origin: http://localhost:5173"}).status, 403);

  EXPECT_EQ(a.post("/api/config", "{}").status, 403);
  EXPECT_EQ(a.post("/api/config", "{}", {"X-Tunelight-Token: " + kToken.substr(1)}).status, 403);
  EXPECT_EQ(a.post("/api/shutdown", "", {"X-Tunelight-Token: " + kToken + "x"}).status, 403);
  RawResponse notJson = a.config("not json");
  EXPECT_EQ(notJson.status, 200);
  EXPECT_EQ(notJson.body, "{\"ok\":true}");
  EXPECT_EQ(a.config("[1]").status, 500);

  // Wine has no media-session class: every try fails (after pauses of 0.5, 1, 2 s ...), only
  // the first three are logged, and the agent keeps serving.
  std::this_thread::sleep_until(start + std::chrono::milliseconds(3500));
  EXPECT_TRUE(waitUntil([&] { return lineCount(a.log(), "[warning] SMTC: ", " - retrying") == 3; },
                        3000, 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  std::string log = a.log();
  EXPECT_EQ(lineCount(log, "[warning] SMTC: ", " - retrying"), 3) << log;
  EXPECT_EQ(log.find("[error]"), std::string::npos) << log;
  EXPECT_EQ(a.get("/api/health").status, 200);
  EXPECT_TRUE(a.process->running());
}

// Reads server-sent events from /events.
class EventStream {
 public:
  EventStream(int port, const std::string& host) : s_(connectTo(port)) {
    std::string req = "GET /events HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    send(s_, req.data(), req.size(), MSG_NOSIGNAL);
  }
  ~EventStream() { close(s_); }
  // The next "data: " document, or empty after 5 s without one.
  std::string next() {
    for (;;) {
      size_t at = buffer_.find("data: ");
      size_t end = at == std::string::npos ? at : buffer_.find('\n', at);
      if (end != std::string::npos) {
        std::string doc = buffer_.substr(at + 6, end - at - 6);
        buffer_.erase(0, end + 1);
        return doc;
      }
      char buf[4096];
      ssize_t n = recv(s_, buf, sizeof buf, 0);
      if (n <= 0) return "";
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  int s_;
  std::string buffer_;
};

TEST_F(Wine, ConfigurationDrivesDemoEventsAndTextFilesInAWindowsPath) {
  WineAgent a;
  ASSERT_GT(a.port, 0);
  EventStream events(a.port, a.host());
  EXPECT_NE(events.next().find("\"active\":false"), std::string::npos);

  std::string out = a.tmp.path() + "/Ausgabe ü каталог/sub";
  nlohmann::json body = {{"demo", true}, {"outputDir", winPath(out)}};
  EXPECT_EQ(a.config(body.dump()).status, 200);
  std::string doc = events.next();
  EXPECT_NE(doc.find("\"active\":true"), std::string::npos) << doc;

  // The folder first gets the state before the demo; nowplaying.json is the last file of a pass.
  ASSERT_TRUE(waitUntil(
      [&] {
        return readFile(out + "/nowplaying.json").find("\"active\":true") != std::string::npos &&
               fileExists(out + "/cover.jpg");
      },
      5000, 20));
  nlohmann::json written =
      nlohmann::json::parse(readFile(out + "/nowplaying.json"), nullptr, false);
  ASSERT_TRUE(written.is_object());
  EXPECT_EQ(written.value("active", false), true);
  EXPECT_EQ(written.value("title", ""), readFile(out + "/title.txt"));
  EXPECT_NE(readFile(out + "/track.txt").find(readFile(out + "/title.txt")), std::string::npos);

  EXPECT_EQ(a.config("{\"demo\":false}").status, 200);
  for (doc = events.next(); !doc.empty() && doc.find("\"active\":false") == std::string::npos;
       doc = events.next()) {
  }
  EXPECT_NE(doc.find("\"active\":false"), std::string::npos);
  EXPECT_TRUE(waitUntil([&] { return readFile(out + "/title.txt").empty(); }, 5000, 20));
}

TEST_F(Wine, ExtensionReportsBecomeSources) {
  WineAgent a;
  ASSERT_GT(a.port, 0);
  nlohmann::json report = {{"id", "tab-1"},        {"service", "spotify"}, {"browser", "chrome"},
                           {"title", "Ünï Песня"}, {"artist", "Артист"},   {"status", "playing"},
                           {"durationMs", 200000}, {"positionMs", 1000}};
  EXPECT_EQ(a.post("/api/ingest", report.dump()).status, 403);
  RawResponse r = a.post("/api/ingest", report.dump(), {"Origin: chrome-extension://abcdef"});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{\"ok\":true,\"needCover\":false}");
  EXPECT_NE(a.get("/api/now-playing").body.find("Ünï Песня"), std::string::npos);
  EXPECT_NE(a.get("/api/health").body.find("\"id\":\"ext:tab-1\""), std::string::npos);

  r = a.post("/api/ingest", "{\"id\":\"tab-1\",\"gone\":true}", {"Origin: moz-extension://x"});
  EXPECT_EQ(r.body, "{\"ok\":true,\"needCover\":false}");
  EXPECT_EQ(a.get("/api/health").body.find("ext:tab-1"), std::string::npos);
}

TEST_F(Wine, StopsWhenItsWindowsParentEnds) {
  TempDir tmp;
  auto parent = runWindows(helper("wine-parent.exe"), {winPath(tmp.file("parent.pid"))},
                           tmp.file("parent.txt"));
  ASSERT_TRUE(waitUntil([&] { return !readFile(tmp.file("parent.pid")).empty(); }, 10000, 20));
  std::string pid = readFile(tmp.file("parent.pid"));

  WineAgent a({"--parent-pid", pid});
  ASSERT_GT(a.port, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(a.process->running()) << "a live parent (Windows pid " << pid << ") stopped it:\n"
                                    << a.log();
  parent->kill();
  EXPECT_EQ(a.process->waitExit(5000), std::optional<int>(0));
  EXPECT_NE(a.log().find("[info] parent process exited\n"), std::string::npos);
  EXPECT_FALSE(fileExists(a.portFile()));

  // A process id that does not exist ends the agent on the first pass.
  WineAgent orphan({"--parent-pid", "2147483644"});
  EXPECT_EQ(orphan.process->waitExit(8000), std::optional<int>(0));
  EXPECT_NE(orphan.log().find("[info] parent process exited\n"), std::string::npos);
}

TEST_F(Wine, PluginLaunchPassesPathsAndTokenAndEndsTheAgent) {
  TempDir tmp;
  std::string dir = tmp.path() + "/Plugin Ünï 目录";
  fs::create_directories(dir);
  std::string out = tmp.file("launch.txt");
  auto launcher = runWindows(helper("wine-launch-check.exe"),
                             {winPath(env("TUNELIGHT_AGENT")), winPath(dir)}, out);
  ASSERT_TRUE(
      waitUntil([&] { return readText(out).find("alive=") != std::string::npos; }, 15000, 20))
      << readText(out);
  int port = std::atoi(readFile(dir + "/agent.port").c_str());
  ASSERT_GT(port, 0) << readText(out);
  std::string host = "127.0.0.1:" + std::to_string(port);
  // The token on the command line reached the agent unchanged.
  EXPECT_EQ(
      raw(port, "POST", "/api/config", host, {"X-Tunelight-Token: launch-token-0123456789"}, "{}")
          .status,
      200);
  EXPECT_EQ(
      raw(port, "POST", "/api/config", host, {"X-Tunelight-Token: launch-token"}, "{}").status,
      403);
  std::ofstream(dir + "/done").put('1');
  EXPECT_EQ(launcher->waitExit(15000), std::optional<int>(0));
  EXPECT_EQ(readText(out), "launched=1 pid=yes errormode=32768\nport=" + std::to_string(port) +
                               "\nalive=1\nended=1\nmissing=0 error=2\n");
  EXPECT_EQ(readText(dir + "/agent.log").rfind("[info] listening on http://" + host + "\n", 0), 0u);
}

// Registers a stand-in for the system's media-session classes in the Wine prefix for as long as
// it lives (Wine has none of its own). The stand-in reads its sessions from a file beside it.
class FakeMediaSessions {
 public:
  FakeMediaSessions() {
    fs::copy_file(helper("fake-smtc.dll"), dll());
    for (const char* cls : kClasses) {
      reg({"add", key(cls), "/v", "DllPath", "/t", "REG_SZ", "/d", winPath(dll()), "/f"});
    }
  }
  ~FakeMediaSessions() {
    for (const char* cls : kClasses) reg({"delete", key(cls), "/f"});
  }
  void sessions(const std::string& lines) { std::ofstream(dir_.file("fake-smtc.txt")) << lines; }
  std::string dll() const { return dir_.file("fake-smtc.dll"); }
  // Calls that broke the asynchronous contract, operations released without Close, and objects
  // never released at all (noted when the agent's process ends).
  std::string contractBreaks() const {
    std::istringstream in(readText(dir_.file("fake-smtc.log")));
    std::string breaks;
    for (std::string line; std::getline(in, line);) {
      for (const char* kind : {"illegal ", "unclosed ", "leaked "}) {
        if (line.rfind(kind, 0) == 0) breaks += line + "\n";
      }
    }
    return breaks;
  }
  void file(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_.file(name), std::ios::binary) << bytes;
  }
  int managerRequests() const {
    return lineCount(readText(dir_.file("fake-smtc-requests.log")), "manager requested", "");
  }
  // The actions asked of the sessions, one "method aumid|title" line each.
  std::string actions() const { return readText(dir_.file("fake-smtc-actions.log")); }

 private:
  static constexpr const char* kClasses[] = {
      "Windows.Media.Control.GlobalSystemMediaTransportControlsSessionManager",
      "Windows.Storage.Streams.Buffer"};
  static std::string key(const char* cls) {
    return std::string("HKLM\\Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\") + cls;
  }
  static void reg(std::vector<std::string> args) {
    args.insert(args.begin(), "reg");
    ChildProcess p(env("TUNELIGHT_AGENT_RUNNER"), args);
    EXPECT_EQ(p.waitExit(20000), std::optional<int>(0)) << args[1];
  }
  TempDir dir_;
};

TEST_F(Wine, MediaSessionsThroughTheWindowsRuntime) {
  FakeMediaSessions fake;
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + "cover-bytes";
  fake.file("thumb.bin", png);
  // A handled app with a thumbnail whose type says nothing, and an app nobody knows.
  fake.sessions(
      "Spotify.exe|Ünï Song|Артист|Альбом|4|0|2000000000|120000000|0|thumb.bin|"
      "application/octet-stream\n"
      "Unknown.App|Other|Someone||4|0|0|0|0||\n");
  WineAgent a;
  ASSERT_GT(a.port, 0);
  nlohmann::json doc;
  ASSERT_TRUE(waitUntil(
      [&] {
        doc = nlohmann::json::parse(a.get("/api/now-playing").body, nullptr, false);
        // The cover, read on a thread of its own, follows the texts within a moment.
        return doc.is_object() && doc.value("active", false) && doc["coverUrl"].is_string();
      },
      5000, 20))
      << a.log();
  EXPECT_EQ(doc.value("source", ""), "smtc:Spotify.exe");
  EXPECT_EQ(doc.value("title", ""), "Ünï Song");
  EXPECT_EQ(doc.value("artist", ""), "Артист");
  EXPECT_EQ(doc.value("album", ""), "Альбом");
  EXPECT_EQ(doc.value("status", ""), "playing");
  EXPECT_EQ(doc.value("durationMs", 0), 200000);
  EXPECT_EQ(doc.value("positionMs", 0), 12000);
  std::string coverUrl = doc.value("coverUrl", "");
  ASSERT_EQ(coverUrl.size(), 7u + 16u) << doc.dump();
  RawResponse cover = a.get(coverUrl);
  EXPECT_EQ(cover.body, png);
  EXPECT_EQ(cover.headers["content-type"], "image/png");
  EXPECT_EQ(a.get("/api/health").body.find("Unknown.App"), std::string::npos);

  // Platform errors: at most three warnings in a row, with the system's text for the code.
  fake.sessions("fail 80004005\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(2600));
  std::string log = a.log();
  int warnings = lineCount(log, "[warning] SMTC: ", " - retrying");
  EXPECT_EQ(warnings, 3) << log;

  // The next good cycle gets a new manager and publishes again.
  fake.sessions("Spotify.exe|Second Song|Артист||5|0|0|0|0||\n");
  EXPECT_TRUE(waitUntil(
      [&] { return a.get("/api/now-playing").body.find("Second Song") != std::string::npos; }, 5000,
      20))
      << a.log();

  // A player action reaches the session on the card and no other, not even an earlier session
  // of the same app; what the app offers is what the document lists.
  const auto sessionsWith = [&](const std::string& cardFlags) {
    fake.sessions("Spotify.exe|Other|B||5|0|0|0|0||\nSpotify.exe|On Card|A||4|0|0|0|0|||" +
                  cardFlags + "\nMSEdge|Edge|E||5|0|0|0|0||\n");
  };
  const auto controls = [&](const std::string& expected) {
    return waitUntil(
        [&] {
          auto d = nlohmann::json::parse(a.get("/api/now-playing").body, nullptr, false);
          return d.is_object() && d.value("title", "") == "On Card" &&
                 d["controls"].dump() == expected;
        },
        3000, 20);
  };
  const auto act = [&](const std::string& action) {
    return a.post("/api/control", "{\"action\":\"" + action + "\"}",
                  {"X-Tunelight-Token: " + kToken});
  };
  sessionsWith("");
  ASSERT_TRUE(controls(R"(["playPause","play","pause","next","previous"])"))
      << a.get("/api/now-playing").body;
  RawResponse done = act("next");
  EXPECT_EQ(done.status, 200) << done.body;
  EXPECT_EQ(nlohmann::json::parse(done.body, nullptr, false).value("source", ""),
            "smtc:Spotify.exe#2");
  EXPECT_EQ(fake.actions(), "TrySkipNextAsync Spotify.exe|On Card\n");
  // An action the app does not offer is never asked for.
  sessionsWith("controls=toggle+play+pause");
  ASSERT_TRUE(controls(R"(["playPause","play","pause"])")) << a.get("/api/now-playing").body;
  EXPECT_EQ(act("next").status, 422);
  // The app says no; then it does not answer at all, and the request still ends within a second.
  sessionsWith("refuse");
  ASSERT_TRUE(controls(R"(["playPause","play","pause","next","previous"])"));
  RawResponse refused = act("pause");
  EXPECT_EQ(refused.status, 502);
  EXPECT_NE(refused.body.find("the player refused"), std::string::npos) << refused.body;
  fake.sessions(
      "Spotify.exe|Other|B||5|0|0|0|0||\nSpotify.exe|On Card|A||4|0|0|0|0||\n"
      "async control hang\n");
  const auto asked = Clock::now();
  RawResponse unanswered = act("playPause");
  const auto answeredMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
  RecordProperty("unansweredActionMs", static_cast<int>(answeredMs));
  EXPECT_EQ(unanswered.status, 502) << unanswered.body;
  EXPECT_LE(answeredMs, 1200);
  EXPECT_EQ(fake.actions(),
            "TrySkipNextAsync Spotify.exe|On Card\nTryPauseAsync Spotify.exe|On Card\n"
            "TryTogglePlayPauseAsync Spotify.exe|On Card\n");

  // Every operation was read only after it completed, and closed last.
  a.shutdown();
  EXPECT_EQ(a.process->waitExit(5000), std::optional<int>(0));
  EXPECT_EQ(fake.contractBreaks(), "");

  // One pass over sessions of every kind, printed without taking a port.
  fake.sessions(
      "Spotify.exe|Ünï Song|Артист|Альбом|4|0|2000000000|120000000|0|thumb.bin|image/png|"
      "controls=play+next\n"
      "Unknown.App|Other|Someone||5|0|0|0|0||\n"
      "Chrome|Tab|X||4|0|0|0|0|||fail=800706BA\n"
      "Chrome|Gone|X||4|0|0|0|0|||gone\n"
      "MSEdge|||||0|0|0|0|||properties=null\n");
  TempDir out;
  auto diagnose = runWindows(env("TUNELIGHT_AGENT"), {"--diagnose"}, out.file("diagnose.json"));
  ASSERT_EQ(diagnose->waitExit(15000), std::optional<int>(0));
  nlohmann::json report =
      nlohmann::json::parse(readText(out.file("diagnose.json")), nullptr, false);
  ASSERT_TRUE(report.is_object()) << readText(out.file("diagnose.json"));
  EXPECT_EQ(report.value("platform", ""), "windows");
  EXPECT_FALSE(report.value("version", "").empty());
  EXPECT_TRUE(report["ms"]["manager"].is_number());
  ASSERT_EQ(report["sessions"].size(), 5u) << report.dump(2);
  const nlohmann::json& spotify = report["sessions"][0];
  EXPECT_EQ(spotify.value("key", ""), "smtc:Spotify.exe");
  EXPECT_EQ(spotify.value("player", ""), "Spotify");
  EXPECT_EQ(spotify.value("service", ""), "spotify");
  EXPECT_EQ(spotify.value("status", ""), "playing");
  EXPECT_EQ(spotify.value("title", ""), "Ünï Song");
  EXPECT_EQ(spotify.value("album", ""), "Альбом");
  EXPECT_EQ(spotify["timeline"].value("endMs", 0), 200000);
  EXPECT_EQ(spotify["controls"].dump(), R"(["play","next"])");
  EXPECT_EQ(spotify["thumbnail"].value("bytes", size_t{0}), png.size());
  for (const char* call : {"appId", "properties", "status", "controls", "timeline", "thumbnail"})
    EXPECT_TRUE(spotify["ms"][call].is_number()) << call;
  EXPECT_EQ(report["sessions"][1].value("handled", true), false);
  EXPECT_EQ(report["sessions"][1].value("status", ""), "paused");
  const nlohmann::json& failing = report["sessions"][2];
  EXPECT_EQ(failing.value("key", ""), "smtc:Chrome");
  EXPECT_FALSE(failing["errors"].value("properties", "").empty()) << failing.dump();
  EXPECT_FALSE(report["sessions"][3].contains("appId"));
  EXPECT_FALSE(report["sessions"][3]["errors"].value("appId", "").empty());
  EXPECT_EQ(report["sessions"][4].value("title", "?"), "");
  EXPECT_TRUE(report["sessions"][4]["thumbnail"].is_null());
}

TEST_F(Wine, StandInKeepsTheAsyncContract) {
  FakeMediaSessions fake;
  TempDir tmp;
  auto check = runWindows(helper("wine-async-check.exe"), {winPath(fake.dll())}, tmp.file("out"));
  ASSERT_EQ(check->waitExit(30000), std::optional<int>(0)) << readText(tmp.file("out"));
  EXPECT_EQ(readText(tmp.file("out")),
            // Results only between completion and Close; one handler, called once.
            "delayed: early=8000000E close-early=8000000D handler=00000000,80000018 status=1 "
            "results=00000000 close=00000000 after-close=8000000E,8000000E calls=1\n"
            "late handler: calls=1 status=1\n"
            "hang: status=0 cancel=00000000 status=2 calls=1 results=8000000E close=00000000\n"
            "error: status=3 code=80004005 results=80004005 close=00000000\n"
            // Each break of the contract is noted, as is an operation never closed.
            "log: illegal GetResults manager Started\n"
            "log: illegal Close manager Started\n"
            "log: illegal put_Completed manager Started\n"
            "log: illegal GetResults manager Completed closed\n"
            "log: illegal get_Status manager Completed closed\n"
            "log: illegal GetResults manager Canceled\n"
            "log: unclosed manager Completed\n");
}

// Media-session source id -> title, from /api/health (extension reports left out: a browser
// elsewhere on this machine may find the agent).
std::map<std::string, std::string> sourceTitles(WineAgent& a) {
  nlohmann::json h = nlohmann::json::parse(a.get("/api/health").body, nullptr, false);
  std::map<std::string, std::string> out;
  if (h.is_object() && h["sources"].is_array()) {
    for (const auto& s : h["sources"]) {
      const std::string id = s.value("id", "");
      if (id.rfind("smtc:", 0) == 0) out[id] = s.value("title", "");
    }
  }
  return out;
}

std::string nowPlayingTitle(WineAgent& a) {
  nlohmann::json d = nlohmann::json::parse(a.get("/api/now-playing").body, nullptr, false);
  return d.is_object() ? d.value("title", "") : "";
}

int64_t msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST_F(Wine, OneMisbehavingSessionHidesNoOther) {
  FakeMediaSessions fake;
  const std::string firefox = "0123456789abcdef|F|C||5|0|0|0|0||";
  fake.sessions("Spotify.exe|S0|A||4|0|0|0|0||\nChrome|C|B||5|0|0|0|0||\n" + firefox + "\n");
  WineAgent a;
  ASSERT_GT(a.port, 0);
  ASSERT_TRUE(waitUntil([&] { return sourceTitles(a).size() == 3; }, 5000, 20)) << a.log();

  // Chrome's app is closing (its calls fail with RPC_S_SERVER_UNAVAILABLE), Firefox's session
  // closed after being listed, Edge offers no properties at all.
  fake.sessions("Spotify.exe|S1|A||4|0|0|0|0||\nChrome|C|B||5|0|0|0|0|||fail=800706BA\n" + firefox +
                "|gone\nMSEdge|E|E||4|0|0|0|0|||properties=null\n");
  const auto changed = Clock::now();
  EXPECT_TRUE(waitUntil([&] { return nowPlayingTitle(a) == "S1"; }, 3000, 20)) << a.log();
  RecordProperty("titleMs", static_cast<int>(msSince(changed)));
  EXPECT_LE(msSince(changed), 1000);
  // The two that fail go once unseen for the removal window (3 s after their last read).
  EXPECT_TRUE(waitUntil([&] { return sourceTitles(a).size() == 1; }, 6000, 20))
      << a.get("/api/health").body;
  EXPECT_LE(msSince(changed), 4500);
  EXPECT_EQ(sourceTitles(a).count("smtc:Spotify.exe"), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(fake.managerRequests(), 1);  // the manager is kept throughout
  const std::string log = a.log();
  EXPECT_EQ(lineCount(log, "[warning] SMTC: session Chrome: ", ""), 3) << log;
  EXPECT_EQ(lineCount(log, "[warning] SMTC: session ?: ", ""), 3) << log;
  a.shutdown();
  EXPECT_EQ(a.process->waitExit(5000), std::optional<int>(0));
  EXPECT_EQ(fake.contractBreaks(), "");
}

TEST_F(Wine, HungReadsDelayNobodyAndTheCoverFollowsTheSong) {
  FakeMediaSessions fake;
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8);
  fake.file("a.bin", png + "first");
  fake.file("b.bin", png + "edge");
  fake.file("c.bin", png + "second window");
  // Chrome's properties and Edge's thumbnail never arrive; cancels complete 100 ms late.
  auto hung = [](int n) {
    return "Spotify.exe|S" + std::to_string(n) +
           "|A||4|0|0|0|0|a.bin|image/png\n"
           "Chrome|Hung|X||5|0|0|0|0|||properties=hang\n"
           "MSEdge|Stuck cover|Y||5|0|0|0|0|b.bin|image/png|open=hang\n"
           "cancel delay 100\n";
  };
  fake.sessions(hung(0));
  WineAgent a;
  ASSERT_GT(a.port, 0);
  ASSERT_TRUE(waitUntil([&] { return nowPlayingTitle(a) == "S0"; }, 5000, 20)) << a.log();
  // Across the 5 s after which the hung read is given up (and begun again).
  int64_t slowest = 0;
  for (int i = 1; i <= 6; ++i) {
    fake.sessions(hung(i));
    const auto changed = Clock::now();
    EXPECT_TRUE(waitUntil([&] { return nowPlayingTitle(a) == "S" + std::to_string(i); }, 3000, 20));
    slowest = std::max(slowest, msSince(changed));
    std::this_thread::sleep_until(changed + std::chrono::milliseconds(1000));
  }
  RecordProperty("slowestTitleMs", static_cast<int>(slowest));
  EXPECT_LE(slowest, 1000) << a.log();
  EXPECT_EQ(sourceTitles(a).count("smtc:Chrome"), 0u);
  EXPECT_EQ(sourceTitles(a)["smtc:MSEdge"], "Stuck cover");

  // Two sessions of one app are two sources.
  const std::string two = "Spotify.exe|Second|B||5|0|0|0|0|c.bin|image/png\n";
  fake.sessions("Spotify.exe|L1|A||4|0|0|0|0|a.bin|image/png\n" + two);
  auto coverOf = [&] {
    nlohmann::json d = nlohmann::json::parse(a.get("/api/now-playing").body, nullptr, false);
    return d.is_object() && d["coverUrl"].is_string() ? a.get(d["coverUrl"].get<std::string>()).body
                                                      : std::string();
  };
  EXPECT_TRUE(waitUntil(
      [&] {
        auto t = sourceTitles(a);
        return t["smtc:Spotify.exe"] == "L1" && t["smtc:Spotify.exe#2"] == "Second" &&
               t.size() == 2 && coverOf() == png + "first";
      },
      8000, 20))
      << a.get("/api/health").body;

  // The app publishes the new song's artwork a little after its title.
  fake.sessions("Spotify.exe|L2|A||4|0|0|0|0|a.bin|image/png\n" + two);
  ASSERT_TRUE(waitUntil([&] { return nowPlayingTitle(a) == "L2"; }, 3000, 20));
  const auto shown = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  fake.file("a.bin", png + "late");
  EXPECT_TRUE(waitUntil([&] { return coverOf() == png + "late"; }, 4000, 20));
  RecordProperty("lateCoverMs", static_cast<int>(msSince(shown)));
  EXPECT_LE(msSince(shown), 2000);

  // Cancelled operations were closed only once their cancels had completed.
  a.shutdown();
  EXPECT_EQ(a.process->waitExit(5000), std::optional<int>(0));
  EXPECT_EQ(fake.contractBreaks(), "");
}

TEST_F(Wine, AFaultOrAStuckCallNeverKeepsTheAgent) {
  FakeMediaSessions fake;
  fake.sessions("Spotify.exe|Song|A||4|0|0|0|0||\n");
  {
    WineAgent a;
    ASSERT_GT(a.port, 0);
    ASSERT_TRUE(waitUntil([&] { return nowPlayingTitle(a) == "Song"; }, 5000, 20)) << a.log();
    // A processor fault inside the platform call: no second call into that code; the agent
    // ends with its own exit code so that the plugin starts a fresh one.
    fake.sessions("fault\n");
    EXPECT_EQ(a.process->waitExit(5000), std::optional<int>(3)) << a.log();
    EXPECT_EQ(lineCount(a.log(),
                        "[error] SMTC: crash 0xC0000005 caught in the media runtime, the agent "
                        "must restart",
                        ""),
              1)
        << a.log();
    EXPECT_FALSE(fileExists(a.portFile()));
    EXPECT_EQ(fake.managerRequests(), 1);
  }
  // A synchronous call that never returns: shutdown does not wait for it.
  fake.sessions("Spotify.exe|Song|A||4|0|0|0|0|||block\n");
  WineAgent b;
  ASSERT_GT(b.port, 0);
  ASSERT_TRUE(waitUntil([&] { return fake.managerRequests() == 2; }, 5000, 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  b.shutdown();
  const auto asked = Clock::now();
  EXPECT_EQ(b.process->waitExit(5000), std::optional<int>(0));
  RecordProperty("stuckShutdownMs", static_cast<int>(msSince(asked)));
  EXPECT_LE(msSince(asked), 2000);
  EXPECT_FALSE(fileExists(b.portFile()));
  EXPECT_NE(b.log().find("[error] SMTC: stuck in a system call"), std::string::npos) << b.log();
}

TEST_F(Wine, PluginModuleStartsAndStopsTheAgentWithANonAsciiConfigPath) {
  ASSERT_FALSE(env("TUNELIGHT_WINDOWS_PLUGIN").empty());
  TempDir tmp;
  // The module lies beside the agent, as in the plugin folder; libobs hands out UTF-8 paths.
  std::string config = tmp.path() + "/Конфиг Ünï 目录";
  std::string out = tmp.file("host.txt");
  auto host = startPluginHost(tmp, env("TUNELIGHT_AGENT"), config, out);
  ASSERT_TRUE(
      waitUntil([&] { return readText(out).find("loaded=1") != std::string::npos; }, 15000, 20))
      << readText(out);

  std::string portFile;
  for (const auto& e : fs::directory_iterator(config)) {
    if (e.path().extension() == ".port") portFile = e.path().string();
  }
  ASSERT_FALSE(portFile.empty()) << readText(out);
  int port = std::atoi(readFile(portFile).c_str());
  EXPECT_NE(readText(out).find("300 [tunelight] agent started: http://127.0.0.1:" +
                               std::to_string(port) + "/widget (pid "),
            std::string::npos)
      << readText(out);
  std::string hostHeader = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(raw(port, "GET", "/api/health", hostHeader).status, 200);

  std::ofstream(tmp.file("unload")).put('1');
  EXPECT_EQ(host->waitExit(15000), std::optional<int>(0));
  EXPECT_NE(readText(out).find("300 [tunelight] plugin unloaded\n"), std::string::npos);
  EXPECT_FALSE(fileExists(portFile));
  EXPECT_TRUE(
      waitUntil([&] { return raw(port, "GET", "/api/health", hostHeader).status == 0; }, 3000, 20))
      << "the agent outlived the module";
}

// The module's agent is a stand-in (wine-probe-agent) that first exits with the media-runtime
// fault code, then reports its port only after the launch's 5 s wait; OBS then dies unloaded.
TEST_F(Wine, PluginKeepsItsAgentInAJobRestartsItAndPicksUpASlowPort) {
  ASSERT_FALSE(env("TUNELIGHT_WINDOWS_PLUGIN").empty());
  TempDir tmp;
  std::string config = tmp.file("config");
  std::string out = tmp.file("host.txt");
  auto host = startPluginHost(tmp, helper("wine-probe-agent.exe"), config, out);
  ASSERT_TRUE(waitUntil([&] { return readText(out).find("agent started") != std::string::npos; },
                        20000, 20))
      << readText(out);
  std::string log = readText(out);
  EXPECT_NE(log.find("200 [tunelight] agent exited, restarting after a media runtime fault (1)\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(lineCount(log, "200 [tunelight] agent is slow to start", ")"), 1) << log;
  EXPECT_EQ(log.find("in a kill-on-close job"), std::string::npos) << log;
  EXPECT_EQ(log.find("restarting (2)"), std::string::npos) << log;

  // Both starts ran in the job. (Their error mode is printed too, but Wine 8 does not pass a
  // parent's error mode on to its child, so only real Windows shows the dialogs switched off.)
  std::istringstream starts(readText(config + "/agent.log"));
  int n = 0;
  for (std::string line; std::getline(starts, line); ++n) {
    EXPECT_EQ(line.rfind("start job=1 errormode=", 0), 0u) << line;
  }
  EXPECT_EQ(n, 2);

  std::string portFile;
  for (const auto& e : fs::directory_iterator(config)) {
    if (e.path().extension() == ".port") portFile = e.path().string();
  }
  int port = std::atoi(readFile(portFile).c_str());
  ASSERT_GT(port, 0);
  EXPECT_NE(log.find("300 [tunelight] agent started: http://127.0.0.1:" + std::to_string(port) +
                     "/widget (pid "),
            std::string::npos)
      << log;
  int probe = connectTo(port);
  ASSERT_GE(probe, 0) << "the agent is not listening";
  close(probe);

  // OBS dies without unloading the module: closing its handles ends the job and the agent.
  host->kill();
  EXPECT_TRUE(waitUntil(
      [&] {
        int s = connectTo(port);
        if (s >= 0) close(s);
        return s < 0;
      },
      5000, 20))
      << "the agent outlived its host";
}

TEST_F(Wine, FaultGuardCatchesFaultsOfGuardedCallsOnly) {
  TempDir tmp;
  auto check = runWindows(helper("wine-guard-check.exe"), {}, tmp.file("out.txt"));
  ASSERT_EQ(check->waitExit(15000), std::optional<int>(0)) << readText(tmp.file("out.txt"));
  EXPECT_EQ(readText(tmp.file("out.txt")),
            "clean=00000000\n"
            "divide=C0000094\n"
            // Three in a row, no handle left open, the caller's lock free again.
            "write=3 handles=same lock=free\n"
            // The guard page is armed again after each overflow.
            "overflow=C00000FD,C00000FD,C00000FD\n"
            // Code that handles its own fault keeps it.
            "probe=00000000 bad=1\n"
            "throw=passed\n");

  // A fault on another thread, outside any guarded call, is not the guard's.
  auto other = runWindows(helper("wine-guard-check.exe"), {"other-thread"}, tmp.file("other.txt"));
  EXPECT_EQ(other->waitExit(15000), std::optional<int>(3));
  EXPECT_EQ(readText(tmp.file("other.txt")), "unhandled=C0000005\n");
}

// Output blocks of wine-https-check, by URL: the log lines and the result line.
std::map<std::string, std::string> httpsChecks(const std::vector<std::string>& args) {
  TempDir tmp;
  auto check = runWindows(helper("wine-https-check.exe"), args, tmp.file("out.txt"));
  EXPECT_EQ(check->waitExit(60000), std::optional<int>(0));
  std::map<std::string, std::string> blocks;
  std::istringstream in(readText(tmp.file("out.txt")));
  std::string url;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("url=", 0) == 0) {
      url = line.substr(4);
    } else if (!url.empty() && (line.rfind("log=", 0) == 0 || line.rfind("ok=", 0) == 0 ||
                                line.rfind("ended=", 0) == 0)) {
      blocks[url] += line + "\n";
    }
  }
  return blocks;
}

uint32_t digitSum(const std::string& s) {
  uint32_t sum = 0;
  for (unsigned char c : s) sum += c;
  return sum;
}

TEST_F(Wine, HttpsDownloadAgainstALocalServer) {
  TempDir tmp;
  std::string key = tmp.file("key.pem"), cert = tmp.file("cert.pem"), der = tmp.file("cert.der");
  std::string cmd =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost"
      " -addext subjectAltName=DNS:localhost -keyout " +
      key + " -out " + cert + " 2>/dev/null && openssl x509 -in " + cert + " -outform der -out " +
      der;
  ASSERT_EQ(std::system(cmd.c_str()), 0);

  httplib::SSLServer server(cert.c_str(), key.c_str());
  server.Get("/typed", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(1000, 'x'), "image/png; charset=binary");
  });
  server.Get("/missing", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
  server.Get("/empty", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("", "image/png");
  });
  server.Get("/exact", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(4194304, 'e'), "image/jpeg");
  });
  server.Get("/over", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(4194305, 'o'), "image/jpeg");
  });
  server.Get("/long", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::to_string(req.get_param_value("q").size()), "image/png");
  });
  // Accepts the request and then says nothing until the test lets it go.
  std::atomic<bool> release{false};
  server.Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    res.set_content("late", "image/png");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });
  std::string base = "https://localhost:" + std::to_string(port);
  const std::string longHost = "https://" + std::string(300, 'h') + ".example/x";
  // An artwork URL of 4000 bytes, most of it query.
  std::string longUrl = base + "/long?q=";
  const size_t query = 4000 - longUrl.size();
  longUrl += std::string(query, 'q');

  auto blocks = httpsChecks({"--trust", winPath(der), base + "/typed", base + "/missing",
                             base + "/empty", base + "/exact", base + "/over",
                             "http://localhost:" + std::to_string(port) + "/typed",
                             "https://127.0.0.1:1/closed", longHost, longUrl});
  // A server that never answers: the cancel flag ends the download within about 100 ms, the
  // overall deadline (here 1.5 s) ends it too.
  auto cancelled = httpsChecks({"--trust", winPath(der), "--cancel-after", "500", base + "/stall"});
  auto late = httpsChecks({"--trust", winPath(der), "--deadline", "1500", base + "/stall"});
  release = true;
  server.stop();
  serving.join();

  EXPECT_EQ(blocks[base + "/typed"], "ok=1 type=image/png size=1000 sum=120000\n");
  EXPECT_EQ(blocks[base + "/missing"],
            "log=[warning] https: HTTP status 404\nok=0 type= size=0 sum=0\n");
  EXPECT_EQ(blocks[base + "/empty"], "ok=0 type= size=0 sum=0\n");
  EXPECT_EQ(blocks[base + "/exact"].rfind("ok=1 type=image/jpeg size=4194304 ", 0), 0u);
  EXPECT_EQ(blocks[base + "/over"], "ok=0 type= size=0 sum=0\n");
  EXPECT_EQ(blocks["http://localhost:" + std::to_string(port) + "/typed"],
            "ok=0 type= size=0 sum=0\n");
  EXPECT_EQ(blocks[longHost].rfind("log=[warning] https: bad url, error ", 0), 0u)
      << blocks[longHost];
  EXPECT_EQ(blocks["https://127.0.0.1:1/closed"].rfind(
                "log=[warning] https: request failed, WinHTTP error ", 0),
            0u);
  std::string digits = std::to_string(query);
  EXPECT_EQ(blocks[longUrl], "ok=1 type=image/png size=" + std::to_string(digits.size()) +
                                 " sum=" + std::to_string(digitSum(digits)) + "\n");

  // Cancelled: silent, and quick (the bound leaves room for a loaded machine).
  std::string block = cancelled[base + "/stall"];
  ASSERT_EQ(block.rfind("ok=0 type= size=0 sum=0\nended=", 0), 0u) << block;
  EXPECT_LT(std::atoi(block.c_str() + block.find("ended=") + 6), 400) << block;
  block = late[base + "/stall"];
  ASSERT_EQ(block.rfind("log=[warning] https: request failed, WinHTTP error 12002\n"
                        "ok=0 type= size=0 sum=0\nended=",
                        0),
            0u)
      << block;
  int ended = std::atoi(block.c_str() + block.find("ended=") + 6);
  EXPECT_GE(ended, 1450) << block;
  EXPECT_LT(ended, 2000) << block;
}

}  // namespace
}  // namespace tunelight::test
