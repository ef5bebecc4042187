#include "agent/http/connection_poller.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "agent/http/hub_documents.h"
#include "agent/hub.h"
#include "agent/model.h"
#include "tests/http/raw_http.h"
#include "tests/support/wait.h"

namespace tunelight {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::waitUntil;

// A connected loopback pair: the client end for the test, the server end for the poller.
struct Pair {
  int client = -1;
  int server = -1;
};

Pair connectedPair(int clientRcvBuf = 0) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  Pair p;
  p.client = socket(AF_INET, SOCK_STREAM, 0);
  if (clientRcvBuf > 0)
    setsockopt(p.client, SOL_SOCKET, SO_RCVBUF, &clientRcvBuf, sizeof(clientRcvBuf));
  connect(p.client, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  p.server = accept(listener, nullptr, nullptr);
  close(listener);
  net::prepareSocket(p.server);
  return p;
}

// Everything the client end receives until the peer closes or timeoutMs passes.
std::string readAll(int fd, int timeoutMs, bool* closed = nullptr) {
  std::string out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

SourceRecord song(const std::string& title) {
  SourceRecord r;
  r.sourceKey = "smtc:app";
  r.kind = kKindMediaApp;
  r.artist = "Artist";
  r.title = title;
  r.status = kStatusPlaying;
  return r;
}

class PollerTest : public ::testing::Test {
 protected:
  PollerTest() {
    ConnectionPoller::Settings s;
    s.idleTimeout = 300ms;
    s.headTimeout = 300ms;
    s.stallTimeout = 300ms;
    s.pingInterval = 400ms;
    s.maxStreams = 3;
    s.maxHeadBytes = 1024;
    poller = std::make_unique<ConnectionPoller>(documents, s, [this](IdleConnection c) {
      if (failDispatch.exchange(false)) throw std::bad_alloc();
      std::lock_guard<std::mutex> lock(mu);
      dispatched.push_back(std::move(c));
    });
    EXPECT_TRUE(poller->start());
  }
  ~PollerTest() override {
    poller->stop();
    for (IdleConnection& c : dispatched) close(c.sock);
    for (int fd : clients) close(fd);
  }
  int adopt() {
    Pair p = connectedPair();
    poller->adopt(p.server);
    clients.push_back(p.client);
    return p.client;
  }
  size_t dispatchedCount() {
    std::lock_guard<std::mutex> lock(mu);
    return dispatched.size();
  }

  Hub hub{50};
  HubDocuments documents{hub};
  std::unique_ptr<ConnectionPoller> poller;
  std::mutex mu;
  std::vector<IdleConnection> dispatched;
  std::vector<int> clients;
  std::atomic<bool> failDispatch{false};  // the next hand-over throws, as without memory
};

TEST_F(PollerTest, CompleteHeadsGoToAWorkerAndSlowOrIdleOnesAreClosed) {
  // Split anywhere, with the start of its body: handed over whole, Range lines taken out.
  const int fast = adopt();
  const std::string head = "POST /x HTTP/1.1\r\nHost: h\r\nrange: bytes=0-1\r\nRange:x\r\n";
  send(fast, head.data(), head.size(), 0);
  std::this_thread::sleep_for(20ms);
  send(fast, "\r", 1, 0);
  std::this_thread::sleep_for(20ms);
  send(fast, "\nbody", 5, 0);
  ASSERT_TRUE(waitUntil([&] { return dispatchedCount() == 1; }, 1000ms, 5ms));
  EXPECT_EQ(dispatched[0].input.substr(0, 27), "POST /x HTTP/1.1\r\nHost: h\r\n");
  EXPECT_EQ(dispatched[0].input.find("ange"), std::string::npos);
  EXPECT_EQ(dispatched[0].input.substr(dispatched[0].input.size() - 6), "\r\nbody");

  // A head that keeps dripping is cut off headTimeout after its first byte, an idle connection
  // after idleTimeout, one larger than maxHeadBytes at once; none reaches a worker.
  const int drip = adopt();
  const int idle = adopt();
  const int huge = adopt();
  const std::string big(2000, 'x');
  send(huge, big.data(), big.size(), 0);
  const auto t0 = Clock::now();
  bool hugeClosed = false;
  readAll(huge, 200, &hugeClosed);
  EXPECT_TRUE(hugeClosed);
  for (int i = 0; i < 4; ++i) {
    send(drip, "G", 1, MSG_NOSIGNAL);
    std::this_thread::sleep_for(50ms);
  }
  bool dripClosed = false, idleClosed = false;
  readAll(drip, 1000, &dripClosed);
  readAll(idle, 1000, &idleClosed);
  EXPECT_TRUE(dripClosed);
  EXPECT_TRUE(idleClosed);
  EXPECT_GE(Clock::now() - t0, 280ms);
  EXPECT_EQ(dispatchedCount(), 1u);

  // A kept-alive connection whose leftover input already holds a whole head goes on at once.
  Pair kept = connectedPair();
  clients.push_back(kept.client);
  poller->keepAlive({kept.server, "GET / HTTP/1.1\r\n\r\nGET", 1});
  ASSERT_TRUE(waitUntil([&] { return dispatchedCount() == 2; }, 1000ms, 5ms));
  EXPECT_EQ(dispatched[1].input, "GET / HTTP/1.1\r\n\r\nGET");
  EXPECT_EQ(dispatched[1].served, 1u);
}

// A hand-over that fails (no memory) closes that connection; the poller goes on with the next.
TEST_F(PollerTest, AFailedHandOverClosesItsConnectionOnly) {
  const std::string head = "GET / HTTP/1.1\r\n\r\n";
  failDispatch = true;
  const int lost = adopt();
  send(lost, head.data(), head.size(), 0);
  bool closed = false;
  readAll(lost, 1000, &closed);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(failDispatch);

  const int next = adopt();
  send(next, head.data(), head.size(), 0);
  EXPECT_TRUE(waitUntil([&] { return dispatchedCount() == 1; }, 1000ms, 5ms));
}

TEST_F(PollerTest, StreamsFollowTheHubPingAndEndWhenTheClientGoesOrStalls) {
  ASSERT_TRUE(poller->reserveStream());
  ASSERT_TRUE(poller->reserveStream());
  ASSERT_TRUE(poller->reserveStream());
  EXPECT_FALSE(poller->reserveStream());
  poller->releaseStream();
  ASSERT_TRUE(poller->reserveStream());

  Pair reader = connectedPair();
  Pair leaver = connectedPair();
  Pair stuck = connectedPair(2048);
  clients.insert(clients.end(), {reader.client, stuck.client});
  for (const Pair& p : {reader, leaver, stuck}) poller->addStream(p.server, hub.changeCounter());

  // Two quick changes reach a reader as chunked messages, the second one last.
  hub.putSource(song("One"));
  hub.putSource(song("Two"));
  const std::string two = "data: " + hub.snapshot().first + "\n\n";
  std::string got = readAll(reader.client, 300);
  ASSERT_GE(got.size(), two.size() + 4);
  EXPECT_EQ(got.substr(got.size() - two.size() - 2), two + "\r\n");

  // A client that hangs up frees its place without any write to it.
  close(leaver.client);
  EXPECT_TRUE(waitUntil([&] { return poller->openStreams() == 2; }, 200ms, 5ms));

  // Silence brings the keep-alive comment.
  got = readAll(reader.client, 600);
  EXPECT_NE(got.find("8\r\n: ping\n\n\r\n"), std::string::npos) << got;

  // A client that does not read is dropped once its socket stays full for stallTimeout, while
  // the reader (reading all along) follows to the latest state.
  const int small = 4096;
  setsockopt(stuck.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  std::string all;
  std::atomic<bool> done{false};
  std::thread readerThread([&] {
    const auto until = Clock::now() + 5s;
    while (Clock::now() < until && (!done || all.find("\"Final\"") == std::string::npos)) {
      all += readAll(reader.client, 20);
    }
  });
  const auto t0 = Clock::now();
  for (int i = 0; poller->openStreams() > 1 && Clock::now() - t0 < 2s; ++i) {
    hub.putSource(song("Long " + std::to_string(i) + std::string(20000, 'x')));
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(poller->openStreams(), 1u);
  EXPECT_GE(Clock::now() - t0, 300ms);
  hub.putSource(song("Final"));
  const std::string last = "data: " + hub.snapshot().first + "\n\n\r\n";
  done = true;
  readerThread.join();
  EXPECT_EQ(all.substr(all.size() - std::min(all.size(), last.size())), last);

  // Stop closes what is left, and a hand-over after it is closed at once.
  poller->stop();
  bool closed = false;
  readAll(reader.client, 500, &closed);
  EXPECT_TRUE(closed);
  Pair late = connectedPair();
  clients.push_back(late.client);
  poller->adopt(late.server);
  closed = false;
  readAll(late.client, 500, &closed);
  EXPECT_TRUE(closed);
}

// A client that falls behind (its socket full in the middle of a message) and then reads again
// gets the rest of that message and the latest document at once, not after a deadline.
TEST_F(PollerTest, AStreamThatFellBehindCatchesUpAsSoonAsItReads) {
  ASSERT_TRUE(poller->reserveStream());
  Pair slow = connectedPair(2048);
  clients.push_back(slow.client);
  const int small = 4096;
  setsockopt(slow.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  poller->addStream(slow.server, hub.changeCounter());
  // Each message is larger than both socket buffers together.
  for (int i = 0; i < 3; ++i) {
    hub.putSource(song("Long " + std::to_string(i) + std::string(20000, 'x')));
    std::this_thread::sleep_for(5ms);
  }
  hub.putSource(song("Final"));
  const std::string last = "data: " + hub.snapshot().first + "\n\n\r\n";
  // Well within stallTimeout of the last progress: the stream must not be dropped meanwhile.
  std::string got;
  const auto t0 = Clock::now();
  while (got.find(last) == std::string::npos && Clock::now() - t0 < 250ms) {
    got += readAll(slow.client, 10);
  }
  EXPECT_NE(got.find(last), std::string::npos);
  EXPECT_EQ(poller->openStreams(), 1u);
}

}  // namespace
}  // namespace tunelight
