#include "agent/http/connection_poller.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "agent/http/httplib_adapter.h"
#include "agent/log.h"

namespace tunelight {

namespace {

using Clock = std::chrono::steady_clock;

// Streams whose keep-alive comment falls due within a fifteenth of the interval (1 s of 15 s)
// get theirs in the same pass, so that many streams wake the poller about once a second at
// most, not once each.
constexpr int kPingSlackDivisor = 15;
// How long, and how much, unread input of a closing connection is discarded.
constexpr auto kClosingTime = std::chrono::seconds(1);
constexpr size_t kClosingDiscardBytes = 1 << 20;

using httplib_adapter::chunkFrame;

const std::shared_ptr<const std::string>& pingMessage() {
  static const auto ping = std::make_shared<const std::string>(chunkFrame(": ping\n\n"));
  return ping;
}

// After a failed pass (no memory): logged if possible, and a moment's pause so as not to spin.
void logFailure(const char* what) {
  try {
    log(kLogError, std::string("connection poller: ") + what);
  } catch (...) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool isRangeHeader(const std::string& s, size_t begin, size_t end) {
  static const char kName[] = "range:";
  if (end - begin < sizeof(kName) - 1) return false;
  for (size_t i = 0; i < sizeof(kName) - 1; ++i) {
    if (std::tolower(static_cast<unsigned char>(s[begin + i])) != kName[i]) return false;
  }
  return true;
}

// Partial answers are never sent: a "Range" header line is taken out of the head before the
// library parses it (which would answer 206, or 416 for a range it cannot read). Lines are
// split at "\n" as the library splits them.
void dropRangeHeaders(std::string& input, size_t headEnd) {
  size_t line = input.find('\n') + 1;
  while (line < headEnd) {
    const size_t next = input.find('\n', line) + 1;
    if (isRangeHeader(input, line, next)) {
      input.erase(line, next - line);
      headEnd -= next - line;
    } else {
      line = next;
    }
  }
}

}  // namespace

struct ConnectionPoller::Conn {
  enum class State { Input, Stream, Closing };
  State state = State::Input;
  socket_t sock = INVALID_SOCKET;
  bool dead = false;
  bool handedOver = false;     // now owned by a worker; not closed here
  bool watched = false;        // in the poll set
  bool watchedOutput = false;  // waited on for room to write
  Clock::time_point deadline;

  // Input: the next request so far.
  std::string input;
  size_t served = 0;
  size_t scanned = 0;  // input up to here holds no end of the head
  bool headStarted = false;

  // Closing.
  size_t discarded = 0;

  // Stream.
  uint64_t lastSent = 0;
  std::shared_ptr<const std::string> out;  // the message being written, or none
  size_t outOffset = 0;
  Clock::time_point lastProgress;
  Clock::time_point nextPing;
};

struct ConnectionPoller::Command {
  enum class Kind { Adopt, KeepAlive, Close, Stream };
  Kind kind = Kind::Adopt;
  IdleConnection conn;
  uint64_t lastSent = 0;
};

ConnectionPoller::ConnectionPoller(DocumentSource& documents, Settings settings, Dispatch dispatch)
    : documents_(documents), settings_(settings), dispatch_(std::move(dispatch)) {}

ConnectionPoller::~ConnectionPoller() {
  stop();
}

bool ConnectionPoller::start() {
  if (!wake_.ok() || !sockets_.ok() || !sockets_.add(wake_.handle(), nullptr, false)) return false;
  // Every change of the document wakes the poll (a write to the wake-up never blocks).
  listener_ = documents_.watch([this] { wake_.signal(); });
  thread_ = std::thread([this] { run(); });
  return true;
}

void ConnectionPoller::stop() {
  stopping_ = true;
  if (wake_.ok()) wake_.signal();
  if (listener_) {
    documents_.unwatch(*listener_);
    listener_.reset();
  }
  if (thread_.joinable()) thread_.join();
  std::vector<Command> left;
  {
    MutexLock lock(mu_);
    stopped_ = true;
    left.swap(inbox_);
  }
  for (Command& c : left) closeCommand(c);
}

void ConnectionPoller::adopt(socket_t sock) {
  net::prepareSocket(sock);
  Command c;
  c.kind = Command::Kind::Adopt;
  c.conn.sock = sock;
  post(std::move(c));
}

void ConnectionPoller::keepAlive(IdleConnection conn) {
  Command c;
  c.kind = Command::Kind::KeepAlive;
  c.conn = std::move(conn);
  post(std::move(c));
}

void ConnectionPoller::closeAfterAnswer(socket_t sock) {
  Command c;
  c.kind = Command::Kind::Close;
  c.conn.sock = sock;
  post(std::move(c));
}

bool ConnectionPoller::reserveStream() {
  size_t n = streams_.load();
  while (n < settings_.maxStreams) {
    if (streams_.compare_exchange_weak(n, n + 1)) return true;
  }
  return false;
}

void ConnectionPoller::releaseStream() {
  --streams_;
}

void ConnectionPoller::addStream(socket_t sock, uint64_t lastSent) {
  Command c;
  c.kind = Command::Kind::Stream;
  c.conn.sock = sock;
  c.lastSent = lastSent;
  post(std::move(c));
}

void ConnectionPoller::post(Command c) {
  MutexLock lock(mu_);
  if (stopped_) {
    lock.unlock();
    closeCommand(c);
    return;
  }
  // The poller drains the wake-up before it takes the inbox, so one signal per batch is enough.
  const bool first = inbox_.empty();
  inbox_.push_back(std::move(c));
  lock.unlock();
  if (first) wake_.signal();
}

void ConnectionPoller::closeCommand(Command& c) {
  net::closeSocket(c.conn.sock);
  if (c.kind == Command::Kind::Stream) releaseStream();
}

void ConnectionPoller::run() {
  bool fresh = false;
  // A pass that fails (no memory) is logged and the next one begins, with a fresh look at the
  // document: the poller must not end while connections are still handed to it.
  while (!stopping_) {
    try {
      if (!fresh) {
        refreshDocument();
        fresh = true;
      }
      pass();
    } catch (const std::exception& e) {
      fresh = false;
      logFailure(e.what());
    } catch (...) {
      fresh = false;
      logFailure("unknown");
    }
  }
  for (auto& c : conns_) drop(*c);
  conns_.clear();
}

void ConnectionPoller::pass() {
  const int ready = sockets_.wait(ready_, waitMs(Clock::now()));
  if (stopping_) return;
  if (ready < 0) {
    // Not expected; do not spin if it persists.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return;
  }
  const auto now = Clock::now();
  bool woken = false;
  for (const net::PollSet::Event& ev : ready_) {
    if (!ev.key) {
      woken = true;
      continue;
    }
    // Connections leave conns_ only at the end of a pass, so every key is still valid.
    Conn& c = *static_cast<Conn*>(ev.key);
    if (c.dead) continue;
    if (ev.invalid) {
      c.dead = true;
      continue;
    }
    switch (c.state) {
      case Conn::State::Input:
        readInput(c, now);
        break;
      case Conn::State::Stream:
        if (ev.input) readStream(c);
        if (!c.dead && ev.output) flush(c, now);
        break;
      case Conn::State::Closing:
        discard(c);
        break;
    }
  }
  // A wait that timed out looks at the inbox and the document too, so a wake-up the platform's
  // poll missed costs one wait, not a stall.
  if (woken || ready == 0) {
    wake_.drain();
    takeCommands(now);
    refreshDocument();
  }
  for (auto& c : conns_) {
    if (c->dead) continue;
    checkDeadlines(*c, now);
    if (!c->dead) watchOutput(*c);
  }
  auto gone = std::partition(conns_.begin(), conns_.end(), [](const auto& c) { return !c->dead; });
  for (auto it = gone; it != conns_.end(); ++it) drop(**it);
  conns_.erase(gone, conns_.end());
}

// A stream with a message under way waits for room to write as well; others only for input.
void ConnectionPoller::watchOutput(Conn& c) {
  const bool want = c.out != nullptr;
  if (c.watched && want != c.watchedOutput) {
    sockets_.setOutput(c.sock, &c, want);
    c.watchedOutput = want;
  }
}

void ConnectionPoller::takeCommands(Clock::time_point now) {
  std::vector<Command> batch;
  {
    MutexLock lock(mu_);
    batch.swap(inbox_);
  }
  for (Command& c : batch) {
    try {
      accept(c, now);
    } catch (...) {
      // No memory to hold it: only this connection is lost.
      closeCommand(c);
    }
  }
}

// Once the connection is in conns_, nothing here throws: a failure before leaves the socket to
// the caller.
void ConnectionPoller::accept(Command& cmd, Clock::time_point now) {
  conns_.push_back(std::make_unique<Conn>());
  Conn& c = *conns_.back();
  c.sock = cmd.conn.sock;
  // Not watched (no memory): dropped at the end of this pass.
  c.watched = sockets_.add(c.sock, &c, false);
  if (!c.watched) c.dead = true;
  switch (cmd.kind) {
    case Command::Kind::Adopt:
    case Command::Kind::KeepAlive:
      c.state = Conn::State::Input;
      c.input = std::move(cmd.conn.input);
      c.served = cmd.conn.served;
      c.deadline = now + settings_.idleTimeout;
      if (!c.input.empty()) {
        c.headStarted = true;
        c.deadline = now + settings_.headTimeout;
        if (headComplete(c)) c.dead = true;
      }
      break;
    case Command::Kind::Close:
      c.state = Conn::State::Closing;
      net::shutdownSend(c.sock);
      c.deadline = now + kClosingTime;
      break;
    case Command::Kind::Stream:
      c.state = Conn::State::Stream;
      c.lastSent = cmd.lastSent;
      c.nextPing = now + settings_.pingInterval;
      break;
  }
}

void ConnectionPoller::readInput(Conn& c, Clock::time_point now) {
  char buf[16384];
  const size_t room = settings_.maxHeadBytes - std::min(settings_.maxHeadBytes, c.input.size());
  const long n = net::recvSome(c.sock, buf, std::min(sizeof(buf), room));
  if (n == net::kWouldBlock) return;
  if (n <= 0) {
    // Closed, failed, or a head larger than any this server answers.
    c.dead = true;
    return;
  }
  c.input.append(buf, static_cast<size_t>(n));
  if (!c.headStarted) {
    c.headStarted = true;
    c.deadline = now + settings_.headTimeout;
  }
  if (headComplete(c)) c.dead = true;
}

// A head ends at the first line (after the request line) that is exactly "\r\n".
bool ConnectionPoller::headComplete(Conn& c) {
  for (;;) {
    const size_t nl = c.input.find('\n', c.scanned);
    if (nl == std::string::npos) return false;
    const bool blank = c.scanned > 0 && nl == c.scanned + 1 && c.input[c.scanned] == '\r';
    c.scanned = nl + 1;
    if (blank) break;
  }
  dropRangeHeaders(c.input, c.scanned);
  // Out of the set before a worker may close it (and the system reuse its number).
  if (c.watched) {
    sockets_.remove(c.sock);
    c.watched = false;
  }
  IdleConnection conn;
  conn.sock = c.sock;
  conn.input = std::move(c.input);
  conn.served = c.served;
  try {
    dispatch_(std::move(conn));
  } catch (...) {
    // Not handed over (no memory): the connection is closed here.
    return true;
  }
  c.handedOver = true;
  return true;
}

void ConnectionPoller::readStream(Conn& c) {
  // Event-stream clients send nothing; anything they do send is dropped. Only the end matters.
  char buf[4096];
  const long n = net::recvSome(c.sock, buf, sizeof(buf));
  if (n == net::kPeerClosed || n == net::kFailed) c.dead = true;
}

void ConnectionPoller::discard(Conn& c) {
  char buf[16384];
  const long n = net::recvSome(c.sock, buf, sizeof(buf));
  if (n == net::kWouldBlock) return;
  if (n > 0) c.discarded += static_cast<size_t>(n);
  if (n <= 0 || c.discarded > kClosingDiscardBytes) c.dead = true;
}

void ConnectionPoller::refreshDocument() {
  const uint64_t counter = documents_.version();
  if (document_ && counter == seenCounter_) return;
  auto [text, at] = documents_.document();
  seenCounter_ = at;
  // A version that moved without a new text sends nothing again.
  if (document_ && text == documentText_) return;
  document_ = std::make_shared<const std::string>(chunkFrame("data: " + text + "\n\n"));
  documentText_ = std::move(text);
  documentCounter_ = at;
}

// Writes what the socket takes; a finished message is followed by the latest document when the
// stream is behind it.
void ConnectionPoller::flush(Conn& c, Clock::time_point now) {
  while (c.out) {
    const std::string& msg = *c.out;
    const long n = net::sendSome(c.sock, msg.data() + c.outOffset, msg.size() - c.outOffset);
    if (n == net::kWouldBlock) return;
    if (n < 0) {
      c.dead = true;
      return;
    }
    c.outOffset += static_cast<size_t>(n);
    c.lastProgress = now;
    if (c.outOffset < msg.size()) continue;
    c.out.reset();
    c.outOffset = 0;
    c.nextPing = now + settings_.pingInterval;
    // Counters only grow; a stream that started from a newer snapshot than ours waits for it.
    if (document_ && documentCounter_ > c.lastSent) {
      c.out = document_;
      c.lastSent = documentCounter_;
    }
  }
}

void ConnectionPoller::checkDeadlines(Conn& c, Clock::time_point now) {
  switch (c.state) {
    case Conn::State::Input:
    case Conn::State::Closing:
      if (now >= c.deadline) c.dead = true;
      return;
    case Conn::State::Stream:
      if (c.out) {
        if (now - c.lastProgress >= settings_.stallTimeout) c.dead = true;
        return;
      }
      if (document_ && documentCounter_ > c.lastSent) {
        c.out = document_;
        c.lastSent = documentCounter_;
      } else if (c.nextPing <= now + settings_.pingInterval / kPingSlackDivisor) {
        c.out = pingMessage();
      } else {
        return;
      }
      c.outOffset = 0;
      c.lastProgress = now;
      flush(c, now);
      return;
  }
}

int ConnectionPoller::waitMs(Clock::time_point now) const {
  bool any = false;
  Clock::time_point first{};
  for (const auto& c : conns_) {
    Clock::time_point t;
    switch (c->state) {
      case Conn::State::Input:
      case Conn::State::Closing:
        t = c->deadline;
        break;
      case Conn::State::Stream:
        t = c->out ? c->lastProgress + settings_.stallTimeout : c->nextPing;
        break;
    }
    if (!any || t < first) first = t;
    any = true;
  }
  if (!any) return -1;
  if (first <= now) return 0;
  // Rounded up, so that the wake finds the deadline passed.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(first - now).count();
  return static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000));
}

void ConnectionPoller::drop(Conn& c) {
  if (c.watched) sockets_.remove(c.sock);
  c.watched = false;
  if (c.handedOver) return;
  net::closeSocket(c.sock);
  if (c.state == Conn::State::Stream) releaseStream();
}

}  // namespace tunelight
