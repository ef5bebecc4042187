// The real agent under the loads a desktop produces: many cards, reconnecting pages, slow and
// idle connections, oversized bodies, a client that stops reading. The API and shutdown must
// stay prompt throughout, and memory flat.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/http/raw_http.h"
#include "tests/support/agent_process.h"

namespace tunelight::test {
namespace {

using Clock = std::chrono::steady_clock;
using Streams = std::vector<std::unique_ptr<RawConnection>>;

const HeaderList kExtension = {{"Origin", "chrome-extension://capacity"}};

// Sanitizers keep freed memory and grow shadow memory: peak memory says nothing there.
constexpr bool kMemoryIsMeasured = !kSanitizedBuild;

long msSince(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

bool hasFirstEvent(const std::string& b) {
  const size_t head = b.find("\r\n\r\n");
  return head != std::string::npos && b.find("\n\n", head + 4) != std::string::npos;
}

// A kB figure ("VmHWM", "VmRSS") of the process; under Wine, of the Windows program's process.
long statusKb(int pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size() + 1, key + ":") == 0)
      return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

std::string report(const std::string& title, const std::string& artist = "Capacity") {
  return nlohmann::json({{"id", "tab-1"},
                         {"title", title},
                         {"artist", artist},
                         {"status", "playing"},
                         {"service", "spotify"}})
      .dump();
}

class HttpCapacity : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Hundreds of connections on the test's side too.
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  void SetUp() override {
    agent = startAgent();
    ASSERT_GT(agent->port, 0) << agent->log();
    port = agent->port;
  }

  // Opens n streams at once, then waits for each one's first message.
  Streams openStreams(size_t n) {
    Streams s;
    for (size_t i = 0; i < n; ++i) s.push_back(openEvents(port));
    for (auto& c : s) EXPECT_TRUE(c->readUntil(hasFirstEvent, 10000)) << c->buffer();
    return s;
  }

  // GET /api/now-playing answers 200, within limitMs.
  void expectPromptApi(long limitMs = 200) {
    const auto t0 = Clock::now();
    const HttpResponse r = get(port, "/api/now-playing");
    const long took = msSince(t0);
    EXPECT_EQ(r.status, 200);
    EXPECT_LT(took, limitMs);
  }

  // The shutdown request is answered within 100 ms; the agent exits 0 within 1 s and removes
  // its port file.
  void expectPromptShutdown() {
    const auto t0 = Clock::now();
    const HttpResponse r = post(port, "/api/shutdown", "", {{"X-Tunelight-Token", agent->token}});
    EXPECT_LT(msSince(t0), 100);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(agent->process->waitExit(1000 - static_cast<int>(msSince(t0))), 0);
    EXPECT_FALSE(fileExists(agent->portFile()));
  }

  std::unique_ptr<RunningAgent> agent;
  int port = 0;
};

TEST_F(HttpCapacity, SixtyFourStreamsLeaveTheApiAndShutdownFree) {
  Streams streams = openStreams(64);
  expectPromptApi();
  ASSERT_EQ(post(port, "/api/ingest", report("Reaches Everyone"), kExtension).status, 200);
  for (auto& s : streams) EXPECT_TRUE(s->readUntilContains("Reaches Everyone", 3000));
  expectPromptShutdown();
  for (auto& s : streams) EXPECT_TRUE(s->readUntilClosed(1000));
}

// At the cap a stream is refused with a hint to come back; a client that resets its connection
// gives its place back within a second, without waiting for a write to fail.
TEST_F(HttpCapacity, StreamCapAndResetClientsFreeTheirPlaces) {
  Streams streams = openStreams(256);
  auto refused = openEvents(port);
  ASSERT_TRUE(refused->readUntil(
      [](const std::string& b) { return b.find("\r\n\r\n") != std::string::npos; }, 3000));
  const HttpResponse r = parseResponse(refused->buffer());
  EXPECT_EQ(r.status, 503);
  EXPECT_EQ(r.header("Retry-After"), "1");
  EXPECT_EQ(r.body, "");
  expectPromptApi();

  for (size_t i = 0; i < 32; ++i) streams[i]->abort();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  Streams fresh = openStreams(32);
  for (auto& s : fresh) EXPECT_EQ(parseResponse(s->buffer()).status, 200);
  expectPromptApi();
  ASSERT_EQ(post(port, "/api/ingest", report("After The Churn"), kExtension).status, 200);
  for (size_t i = 32; i < streams.size(); ++i)
    EXPECT_TRUE(streams[i]->readUntilContains("After The Churn", 3000));
  for (auto& s : fresh) EXPECT_TRUE(s->readUntilContains("After The Churn", 3000));
}

// A request head must arrive within 5 s in total; idle connections hold nothing.
TEST_F(HttpCapacity, SlowHeadsAndIdleConnectionsDoNotStarveRequests) {
  Streams idle, drips;
  for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<RawConnection>(port));
  const std::string head =
      "GET /api/now-playing HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  for (int i = 0; i < 20; ++i) drips.push_back(std::make_unique<RawConnection>(port));
  // Answered once all the connections before it were accepted (under Wine that takes a while);
  // from here on they are only held.
  EXPECT_EQ(get(port, "/api/now-playing").status, 200);
  const auto t0 = Clock::now();
  std::vector<long> closedAt(drips.size(), -1);
  for (size_t byte = 0; msSince(t0) < 7500; ++byte) {
    for (size_t i = 0; i < drips.size(); ++i) {
      if (closedAt[i] >= 0) continue;
      drips[i]->readNow();
      if (drips[i]->peerClosed() || !drips[i]->send(head.substr(byte % head.size(), 1))) {
        closedAt[i] = msSince(t0);
      }
    }
    expectPromptApi();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  for (size_t i = 0; i < drips.size(); ++i) {
    EXPECT_GE(closedAt[i], 4900) << i;
    EXPECT_LE(closedAt[i], 7000) << i;
    EXPECT_TRUE(drips[i]->buffer().empty()) << "a slow head was answered: " << drips[i]->buffer();
  }
  expectPromptShutdown();
}

// Refused from the head alone: 413, no body, nothing of it buffered.
TEST_F(HttpCapacity, HugeBodiesAreRefusedUnread) {
  for (int i = 0; i < 20; ++i) get(port, "/api/now-playing");
  const long before = statusKb(agent->process->pid(), "VmHWM");
  ASSERT_GT(before, 0);
  for (const std::string path : {"/api/ingest", "/api/ingest/cover?url=x", "/nowhere"}) {
    RawConnection c(port);
    ASSERT_TRUE(c.send("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                       "\r\nOrigin: chrome-extension://x\r\nContent-Type: image/png\r\n"
                       "Content-Length: 314572800\r\n\r\n"));
    // Push body bytes for as long as the agent takes them, until its answer is complete.
    const std::string block(65536, 'x');
    const auto t0 = Clock::now();
    while (!c.peerClosed() && msSince(t0) < 3000 && parseResponse(c.buffer()).status == 0) {
      ::send(c.fd(), block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      c.readUntil([](const std::string& b) { return b.find("\r\n\r\n") != std::string::npos; }, 20);
    }
    const HttpResponse r = parseResponse(c.buffer());
    EXPECT_EQ(r.status, 413) << path;
    EXPECT_EQ(r.header("Content-Length"), "0");
    EXPECT_EQ(r.header("Connection"), "close");
  }
  if (kMemoryIsMeasured) {
    EXPECT_LT(statusKb(agent->process->pid(), "VmHWM") - before, 8 * 1024);
  }
  expectPromptApi();
}

// A card that stops reading holds at most one message in the agent while the others follow
// every change.
TEST_F(HttpCapacity, AStreamThatStopsReadingCostsNoMemory) {
  Streams readers = openStreams(3);
  RawConnection stuck(port);
  const int small = 4096;
  setsockopt(stuck.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  stuck.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");

  const std::string filler(480, 'f');
  auto change = [&](int i) {
    const std::string title = "Change " + std::to_string(i) + " " + filler;
    ASSERT_EQ(
        post(port, "/api/ingest", report(title, filler + std::to_string(i)), kExtension).status,
        200);
    for (auto& r : readers) {
      ASSERT_TRUE(r->readUntilContains("\"title\":\"" + title + "\"", 3000)) << i;
      r->buffer().clear();
    }
  };
  for (int i = 0; i < 50; ++i) change(i);
  const long before = statusKb(agent->process->pid(), "VmHWM");
  for (int i = 50; i < 2050; ++i) change(i);
  if (kMemoryIsMeasured) {
    EXPECT_LT(statusKb(agent->process->pid(), "VmHWM") - before, 2 * 1024);
  }
  expectPromptShutdown();
}

}  // namespace
}  // namespace tunelight::test
