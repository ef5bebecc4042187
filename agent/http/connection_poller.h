#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/http/poll_set.h"
#include "agent/http/socket_io.h"
#include "agent/thread_annotations.h"

namespace tunelight {

// Where the event streams' document comes from (the Hub's now-playing document in the agent).
class DocumentSource {
 public:
  virtual ~DocumentSource() = default;
  // The current document and its version, taken together. Versions only grow; a version may
  // move without the text changing.
  virtual std::pair<std::string, uint64_t> document() const = 0;
  virtual uint64_t version() const = 0;
  // onChange is called after each change, on the changing thread; it must return at once. The
  // id is for unwatch, which returns when no call of onChange is in progress.
  virtual size_t watch(std::function<void()> onChange) = 0;
  virtual void unwatch(size_t id) = 0;
};

// A connection between two requests, or with a complete request head in `input`.
struct IdleConnection {
  socket_t sock = INVALID_SOCKET;
  std::string input;  // bytes read and not yet answered
  size_t served = 0;  // requests answered on it so far
};

// Holds every connection that is not busy with a request, on one thread that waits on all of
// their sockets and a wake-up at once (no timer besides the deadlines below):
//  - idle and incoming connections until their request head is complete, which then goes to
//    `dispatch` (a worker); a head must be complete headTimeout after its first byte, and an idle
//    connection sends one within idleTimeout or is closed;
//  - event streams: after a worker wrote the answer head and the first message, every change of
//    the source's document is written here as one chunk, a ": ping" comment after pingInterval of
//    silence, and a client that hangs up is dropped as soon as its close arrives. A stream that
//    does not read holds at most one message: changes in the meantime collapse into the latest
//    document, sent when the socket has room; no progress for stallTimeout drops it;
//  - connections being closed after an answer, whose unread input is discarded for a moment so
//    that the peer reads the answer rather than a reset.
class ConnectionPoller {
 public:
  struct Settings {
    std::chrono::milliseconds idleTimeout{5000};
    std::chrono::milliseconds headTimeout{5000};
    std::chrono::milliseconds stallTimeout{5000};
    std::chrono::milliseconds pingInterval{15000};
    size_t maxStreams = 256;
    size_t maxHeadBytes = 65536;
  };
  using Dispatch = std::function<void(IdleConnection)>;

  ConnectionPoller(DocumentSource& documents, Settings settings, Dispatch dispatch);
  ~ConnectionPoller();
  ConnectionPoller(const ConnectionPoller&) = delete;
  ConnectionPoller& operator=(const ConnectionPoller&) = delete;

  bool start();
  // Closes every connection it holds; later hand-overs are closed at once.
  void stop();

  // A freshly accepted connection; made non-blocking here. The calls below take sockets that
  // came in through adopt().
  void adopt(socket_t sock);
  // A connection whose answer was sent; any input already read belongs to its next request.
  void keepAlive(IdleConnection c);
  // Closes after the answer that was sent, discarding unread input for a moment first.
  void closeAfterAnswer(socket_t sock);

  // A place for one more event stream, or false when maxStreams are open or reserved.
  bool reserveStream();
  void releaseStream();
  // A reserved stream whose head and first message (of the document at `lastSent`) are sent.
  void addStream(socket_t sock, uint64_t lastSent);

  size_t openStreams() const { return streams_.load(); }

 private:
  struct Conn;
  struct Command;

  void post(Command c) EXCLUDES(mu_);
  void closeCommand(Command& c);
  void run();
  void pass();
  void takeCommands(std::chrono::steady_clock::time_point now) EXCLUDES(mu_);
  void accept(Command& c, std::chrono::steady_clock::time_point now);
  void readInput(Conn& c, std::chrono::steady_clock::time_point now);
  bool headComplete(Conn& c);
  void readStream(Conn& c);
  void discard(Conn& c);
  void refreshDocument();
  void flush(Conn& c, std::chrono::steady_clock::time_point now);
  void checkDeadlines(Conn& c, std::chrono::steady_clock::time_point now);
  int waitMs(std::chrono::steady_clock::time_point now) const;
  void drop(Conn& c);
  void watchOutput(Conn& c);

  DocumentSource& documents_;
  const Settings settings_;
  const Dispatch dispatch_;
  net::WakeSignal wake_;
  net::PollSet sockets_;  // poller thread only, after start()
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> streams_{0};
  std::thread thread_;
  std::optional<size_t> listener_;  // the source's watch id while started

  // Hand-overs from other threads. Held only to move commands in or out, never across I/O or a
  // call into another object.
  Mutex mu_;
  std::vector<Command> inbox_ GUARDED_BY(mu_);
  bool stopped_ GUARDED_BY(mu_) = false;  // hand-overs are closed at once

  // Poller thread only (no lock).
  std::vector<std::unique_ptr<Conn>> conns_;
  std::vector<net::PollSet::Event> ready_;
  std::shared_ptr<const std::string> document_;  // the latest state message, chunk-framed
  std::string documentText_;                     // its document
  uint64_t documentCounter_ = 0;                 // the source's version when that text appeared
  uint64_t seenCounter_ = 0;                     // the source's version at the last look
};

}  // namespace tunelight
