// Media sessions on Linux: MPRIS players on the user's session bus, through sd-bus. All bus
// traffic happens on the watcher thread; thumbnails are opened on the watcher's thumbnail worker
// and cover downloads run on a worker of their own.
#include "agent/sources/media_backend.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "agent/clock.h"
#include "agent/log.h"
#include "agent/sources/cover_allowlist.h"
#include "agent/sources/cover_fetcher.h"
#include "agent/sources/mpris_identify.h"
#include "agent/sources/mpris_properties.h"

namespace tunelight {

namespace {

const char kPrefix[] = "org.mpris.MediaPlayer2.";
const char kObjectPath[] = "/org/mpris/MediaPlayer2";
const char kRootInterface[] = "org.mpris.MediaPlayer2";
const char kPlayerInterface[] = "org.mpris.MediaPlayer2.Player";
const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr size_t kPrefixLen = sizeof kPrefix - 1;

// How long a cycle waits for the players that answered their previous call. One that takes
// longer is not waited for again until it answers; meanwhile its source keeps its last record
// (the watcher's removal rule decides when it goes).
constexpr auto kReplyWindow = std::chrono::milliseconds(300);
// An unanswered call is given up after this, and the player is asked again in the next cycle.
constexpr uint64_t kCallTimeoutUs = 2000 * 1000;
// Cover URLs already reported as not being images; forgotten in one go when full.
constexpr size_t kRejectedCoverLogSize = 64;

using SteadyTime = std::chrono::steady_clock::time_point;

struct SlotUnref {
  void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
// Unreferencing a slot removes its match or cancels its pending call.
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

bool isPlayerName(const std::string& n) {
  return n.size() > kPrefixLen && n.compare(0, kPrefixLen, kPrefix) == 0 &&
         // playerctld only mirrors the other players.
         n.compare(kPrefixLen, std::string::npos, "playerctld") != 0;
}

bool isNoReply(const sd_bus_error* e) {
  return sd_bus_error_has_name(e, SD_BUS_ERROR_NO_REPLY) ||
         sd_bus_error_has_name(e, SD_BUS_ERROR_TIMEOUT);
}

MediaError busLost(int r, const std::string& what) {
  return MediaError(r, "session bus lost (" + what + "): " + std::strerror(r < 0 ? -r : r), true);
}

// --- Thumbnails.

class BytesStream : public MediaThumbnailStream {
 public:
  BytesStream(std::string type, std::string bytes)
      : type_(std::move(type)), bytes_(std::move(bytes)) {}
  uint64_t size() override { return bytes_.size(); }
  std::string contentType() override { return type_; }
  std::string read(uint32_t count) override { return bytes_.substr(0, count); }

 private:
  std::string type_;
  std::string bytes_;
};

// Reads up to count bytes from the start of fd.
std::string readHead(int fd, size_t count) {
  std::string out(count, '\0');
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::pread(fd, &out[got], count - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw MediaError(errno, std::string("cannot read cover: ") + std::strerror(errno));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  return out;
}

// A local picture whose type its first bytes proved.
class FileStream : public MediaThumbnailStream {
 public:
  FileStream(int fd, uint64_t size, std::string type)
      : fd_(fd), size_(size), type_(std::move(type)) {}
  ~FileStream() override { ::close(fd_); }
  uint64_t size() override { return size_; }
  std::string contentType() override { return type_; }
  std::string read(uint32_t count) override {
    std::string bytes = readHead(fd_, count);
    // Rewritten since it was opened into something else: nothing read.
    if (imageTypeFromSignature(bytes.substr(0, kImageSignatureBytes)) != type_) return {};
    return bytes;
  }

 private:
  int fd_;
  uint64_t size_;
  std::string type_;
};

// Player-named files are served to any page on loopback: only pictures pass.
class FileThumbnail : public MediaThumbnail {
 public:
  FileThumbnail(std::string path, std::string url, std::set<std::string>& rejected)
      : path_(std::move(path)), url_(std::move(url)), rejected_(rejected) {}
  std::unique_ptr<MediaThumbnailStream> open() override {
    // Non-blocking so that a FIFO planted as a cover cannot hang the watcher.
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw MediaError(errno, std::string("cannot open cover: ") + std::strerror(errno));
    struct stat st;
    std::string type;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      try {
        type = imageTypeFromSignature(readHead(fd, kImageSignatureBytes));
      } catch (...) {
        ::close(fd);
        throw;
      }
    }
    if (type.empty()) {
      ::close(fd);
      if (rejected_.size() >= kRejectedCoverLogSize) rejected_.clear();
      if (rejected_.insert(url_).second)
        log(kLogWarning, "MPRIS: cover is not a picture, ignored: " + url_.substr(0, 120));
      return nullptr;
    }
    return std::make_unique<FileStream>(fd, static_cast<uint64_t>(st.st_size), type);
  }

 private:
  std::string path_;
  std::string url_;
  std::set<std::string>& rejected_;
};

// Downloads of https covers, off the watcher thread: a cover that is not here yet counts as a
// failed read, and the watcher tries again a cycle later. A failed download is not tried again
// sooner than 30 s; the 16 covers asked for last are kept.
const CoverFetcher::Rules kCoverRules = {30000, 30000, 16, true, false, nullptr};

int64_t steadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class HttpsThumbnail : public MediaThumbnail {
 public:
  HttpsThumbnail(CoverFetcher& downloads, std::string url)
      : downloads_(downloads), url_(std::move(url)) {}
  std::unique_ptr<MediaThumbnailStream> open() override {
    if (std::optional<CoverFetcher::Cover> cover = downloads_.cover(url_))
      return std::make_unique<BytesStream>(std::move(cover->contentType), std::move(cover->bytes));
    downloads_.wish(url_);
    throw MediaNotReady("cover not downloaded yet");
  }

 private:
  CoverFetcher& downloads_;
  std::string url_;
};

// --- Players on one connection.

struct Connection;

// One bus connection that owns org.mpris.MediaPlayer2.* names: one player.
struct Player {
  Connection* conn = nullptr;
  std::string owner;     // its unique name
  std::string id;        // the first of its names, without the prefix
  Slot signals;          // its PropertiesChanged and Seeked
  bool watched = false;  // the bus confirmed that match: its changes are signalled

  bool identityKnown = false;
  std::string identity;
  AppIdentity app;  // from id and identity once the identity is known
  Slot identityCall;
  bool identityInFlight = false;

  Slot stateCall;
  bool stateInFlight = false;
  bool askedThisCycle = false;
  uint64_t callSeeks = 0;  // seeks when stateCall was sent

  SteadyTime sentAt;       // of the latest call
  bool awaited = false;    // this cycle waits for its calls
  bool responsive = true;  // answered its previous call within the reply window

  bool fresh = false;  // a reading arrived that no cycle has taken yet
  MprisPlayerState state;
  int64_t readAtMs = 0;
  uint64_t readSeeks = 0;
  uint64_t seeks = 0;  // Seeked signals so far
  uint64_t anchoredSeeks = 0;
  TimelineAnchor anchor;
};

// One connection to the session bus, its players and whether something signalled a change since
// the last wait.
struct Connection {
  sd_bus* bus = nullptr;
  bool changed = false;
  bool lost = false;
  bool allRead = false;  // the last listing read every player it handles
  Slot ownerChanges;
  std::map<std::string, std::string> names;  // well-known player name -> owner
  std::map<std::string, Player> players;     // owner -> player
  ~Connection() {
    players.clear();  // their slots need the bus
    ownerChanges.reset();
    if (bus) sd_bus_close_unref(bus);
  }
};

int onOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* c = static_cast<Connection*>(userdata);
  const char *name = nullptr, *from = nullptr, *to = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &from, &to) < 0 || !name || !isPlayerName(name))
    return 0;
  if (to && *to)
    c->names[name] = to;
  else
    c->names.erase(name);
  c->changed = true;
  return 0;
}

int onPlayerSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* p = static_cast<Player*>(userdata);
  if (sd_bus_message_is_signal(m, kPlayerInterface, "Seeked") > 0) {
    ++p->seeks;
    p->conn->changed = true;
  } else if (sd_bus_message_is_signal(m, kPropertiesInterface, "PropertiesChanged") > 0) {
    const char* iface = nullptr;
    if (sd_bus_message_read(m, "s", &iface) >= 0 && iface &&
        (std::strcmp(iface, kPlayerInterface) == 0 || std::strcmp(iface, kRootInterface) == 0))
      p->conn->changed = true;
  }
  return 0;
}

// Whether the player answered in time; a slow one is not waited for by later cycles, but every
// late answer still runs a cycle of its own.
void noteAnswer(Player& p, const sd_bus_error* e) {
  p.responsive =
      !(e && isNoReply(e)) && std::chrono::steady_clock::now() - p.sentAt <= kReplyWindow;
  if (!p.awaited) p.conn->changed = true;
}

// A player whose match the bus refused is still polled; the default would close the connection.
int onPlayerMatch(sd_bus_message* m, void* userdata, sd_bus_error*) {
  static_cast<Player*>(userdata)->watched = !sd_bus_message_is_method_error(m, nullptr);
  return 0;
}

int onIdentity(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* p = static_cast<Player*>(userdata);
  p->identityInFlight = false;
  const sd_bus_error* e = sd_bus_message_get_error(m);
  noteAnswer(*p, e);
  if (!e || !isNoReply(e)) {  // else asked again next cycle
    p->identityKnown = true;
    p->identity.clear();  // a player without an Identity is told by its name alone
    if (!e && readMprisString(m, p->identity) < 0) p->identity.clear();
    p->app = identifyMprisPlayer(p->id, p->identity);
  }
  return 0;
}

int onState(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* p = static_cast<Player*>(userdata);
  p->stateInFlight = false;
  const sd_bus_error* e = sd_bus_message_get_error(m);
  MprisPlayerState st;
  if (!e && readMprisPlayer(m, st) >= 0) {
    // MPRIS keeps no time of the position: the reply's arrival is it.
    p->readAtMs = wallNowMs();
    p->state = std::move(st);
    p->readSeeks = p->callSeeks;
    p->fresh = true;
  }
  noteAnswer(*p, e);
  return 0;
}

// --- Sessions.

class MprisSession : public MediaSession {
 public:
  MprisSession(std::string id, AppIdentity identity, MprisPlayerState state, MediaTimeline timeline,
               std::shared_ptr<MediaThumbnail> thumbnail)
      : id_(std::move(id)),
        identity_(std::move(identity)),
        state_(std::move(state)),
        timeline_(timeline),
        thumbnail_(std::move(thumbnail)) {}

  std::string appId() override { return id_; }
  AppIdentity identify() override { return identity_; }
  MediaProperties properties() override {
    return {state_.title, state_.artist, state_.album, thumbnail_};
  }
  PlaybackStatus playbackStatus() override {
    if (state_.status == "Playing") return kStatusPlaying;
    if (state_.status == "Paused") return kStatusPaused;
    return kStatusStopped;
  }
  MediaTimeline timeline() override { return timeline_; }
  uint32_t controls() override { return mprisControls(state_); }

 private:
  std::string id_;
  AppIdentity identity_;
  MprisPlayerState state_;
  MediaTimeline timeline_;
  std::shared_ptr<MediaThumbnail> thumbnail_;
};

// Drains what arrived; throws once the bus is gone.
void pump(Connection& c) {
  int r;
  while ((r = sd_bus_process(c.bus, nullptr)) > 0) {
  }
  if (r < 0 || c.lost) throw busLost(r < 0 ? r : -ENOTCONN, "process");
}

class MprisManager : public MediaManager {
 public:
  MprisManager(std::shared_ptr<Connection> conn, CoverFetcher& downloads,
               std::set<std::string>& rejectedCovers)
      : conn_(std::move(conn)), downloads_(downloads), rejectedCovers_(rejectedCovers) {}

  // Every player is asked at once; the cycle waits only for those that answered last time, so a
  // hung player delays nobody after its first stall.
  std::vector<std::unique_ptr<MediaSession>> sessions() override {
    Connection& c = *conn_;
    pump(c);
    // The readings below cover what was signalled so far; later signals set it again.
    c.changed = false;
    syncPlayers(c);
    for (auto& [owner, p] : c.players) p.askedThisCycle = false;
    const SteadyTime deadline = std::chrono::steady_clock::now() + kReplyWindow;
    for (;;) {
      for (auto& [owner, p] : c.players) ask(c, p);
      pump(c);
      const bool waiting = std::any_of(c.players.begin(), c.players.end(), [](const auto& e) {
        const Player& p = e.second;
        return p.awaited && (p.identityInFlight || p.stateInFlight);
      });
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      if (!waiting || left.count() <= 0) break;
      int r = sd_bus_wait(c.bus, static_cast<uint64_t>(left.count()));
      if (r < 0) throw busLost(r, "wait");
    }

    std::vector<Player*> order;
    c.allRead = true;
    for (auto& [owner, p] : c.players) {
      if (p.awaited && (p.identityInFlight || p.stateInFlight)) p.responsive = false;
      p.awaited = false;
      if (p.identityKnown) order.push_back(&p);
      if (!p.identityKnown || (p.app.handled && !p.fresh)) c.allRead = false;
    }
    std::sort(order.begin(), order.end(), [](Player* a, Player* b) { return a->id < b->id; });
    std::vector<std::unique_ptr<MediaSession>> out;
    for (Player* p : order) {
      if (!p->app.handled) continue;  // never read, never listed
      if (!p->fresh) continue;        // no answer this time: the last record stays for now
      p->fresh = false;
      anchorTimeline(p->anchor, p->state, p->readAtMs, p->readSeeks != p->anchoredSeeks);
      p->anchoredSeeks = p->readSeeks;
      MediaTimeline t = mprisTimeline(p->state.lengthUs, p->anchor.positionUs, p->anchor.atMs);
      out.push_back(std::make_unique<MprisSession>(p->id, p->app, p->state, t,
                                                   thumbnailFor(p->state.artUrl)));
    }
    return out;
  }

 private:
  // Players follow the owners of the player names; each is watched by a match on its own
  // unique name, so that other clients' signals never reach this connection.
  void syncPlayers(Connection& c) {
    std::map<std::string, std::string> idOf;  // owner -> its first name
    for (const auto& [name, owner] : c.names) idOf.emplace(owner, name.substr(kPrefixLen));
    for (auto it = c.players.begin(); it != c.players.end();)
      it = idOf.count(it->first) ? std::next(it) : c.players.erase(it);
    for (const auto& [owner, id] : idOf) {
      auto [it, added] = c.players.try_emplace(owner);
      Player& p = it->second;
      if (!added) {
        if (p.id != id && p.identityKnown) p.app = identifyMprisPlayer(id, p.identity);
        p.id = id;
        continue;
      }
      p.id = id;
      p.conn = &c;
      p.owner = owner;
      const std::string rule = "type='signal',sender='" + owner + "',path='" + kObjectPath + "'";
      sd_bus_slot* slot = nullptr;
      // Not waited for: a stalled bus daemon must not hold up the cycle or a stop.
      int r = sd_bus_add_match_async(c.bus, &slot, rule.c_str(), onPlayerSignal, onPlayerMatch, &p);
      if (r < 0 && sd_bus_is_open(c.bus) <= 0) throw busLost(r, "AddMatch");
      p.signals.reset(slot);  // without it the player is still polled
    }
  }

  void ask(Connection& c, Player& p) {
    if (!p.identityKnown) {
      if (p.identityInFlight) return;
      sd_bus_slot* slot = nullptr;
      int r =
          sd_bus_call_method_async(c.bus, &slot, p.owner.c_str(), kObjectPath, kPropertiesInterface,
                                   "Get", onIdentity, &p, "ss", kRootInterface, "Identity");
      if (r < 0) return failedSend(c, r);
      p.identityCall.reset(slot);
      p.identityInFlight = true;
      p.sentAt = std::chrono::steady_clock::now();
      p.awaited = p.responsive;
      return;
    }
    if (p.stateInFlight || p.askedThisCycle || !p.app.handled) return;
    sd_bus_slot* slot = nullptr;
    int r =
        sd_bus_call_method_async(c.bus, &slot, p.owner.c_str(), kObjectPath, kPropertiesInterface,
                                 "GetAll", onState, &p, "s", kPlayerInterface);
    if (r < 0) return failedSend(c, r);
    p.stateCall.reset(slot);
    p.stateInFlight = true;
    p.sentAt = std::chrono::steady_clock::now();
    p.askedThisCycle = true;
    p.callSeeks = p.seeks;
    p.awaited = p.responsive;
  }

  void failedSend(Connection& c, int r) {
    if (sd_bus_is_open(c.bus) <= 0) throw busLost(r, "call");
  }

  std::shared_ptr<MediaThumbnail> thumbnailFor(const std::string& artUrl) {
    if (artUrl.empty()) return nullptr;
    if (std::optional<std::string> path = fileUrlPath(artUrl))
      return std::make_shared<FileThumbnail>(*path, artUrl, rejectedCovers_);
    std::string url = coverDownloadUrl(artUrl);
    if (url.compare(0, 8, "https://") == 0 && isAllowedCoverUrl(url))
      return std::make_shared<HttpsThumbnail>(downloads_, url);
    return nullptr;
  }

  std::shared_ptr<Connection> conn_;
  CoverFetcher& downloads_;
  std::set<std::string>& rejectedCovers_;
};

// The player names and their owners as the bus has them now. Every call may wait the full
// time-out on a stalled bus, so a stop is looked for between them.
void listPlayers(Connection& c, const MediaBackend& backend) {
  sd_bus_error err = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(c.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "ListNames", &err, &reply, "");
  sd_bus_error_free(&err);
  if (r < 0) throw busLost(r, "ListNames");
  char** list = nullptr;
  r = sd_bus_message_read_strv(reply, &list);
  sd_bus_message_unref(reply);
  if (r < 0) throw MediaError(r, std::string("bad name list: ") + std::strerror(-r), true);
  std::vector<std::string> names;
  for (char** p = list; p && *p; ++p) {
    if (isPlayerName(*p)) names.push_back(*p);
    free(*p);
  }
  free(list);
  for (const std::string& name : names) {
    if (backend.stopRequested()) throw MediaError(ECANCELED, "stopping");
    reply = nullptr;
    r = sd_bus_call_method(c.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetNameOwner", &err, &reply, "s", name.c_str());
    sd_bus_error_free(&err);
    const char* owner = nullptr;
    if (r >= 0 && sd_bus_message_read(reply, "s", &owner) >= 0 && owner) c.names[name] = owner;
    sd_bus_message_unref(reply);
    if (r < 0 && sd_bus_is_open(c.bus) <= 0) throw busLost(r, "GetNameOwner");
  }
}

class MprisBackend : public MediaBackend {
 public:
  // TUNELIGHT_MPRIS_SIGNALS=0 turns the early wake-up off (polling only), for measurements.
  MprisBackend() {
    const char* v = std::getenv("TUNELIGHT_MPRIS_SIGNALS");
    signals_ = !(v && std::string(v) == "0");
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~MprisBackend() override {
    downloads_.stop();  // its worker wakes the watcher through wakeFd_
    if (wakeFd_ >= 0) ::close(wakeFd_);
  }

  void threadBegin() override {
    pthread_setname_np(pthread_self(), "tl-media");
    drainWake();
  }
  // No download outlives the watcher thread.
  void threadEnd() override { downloads_.stop(); }

  std::unique_ptr<MediaManager> requestManager() override {
    auto conn = std::make_shared<Connection>();
    // The user's session bus; the default bus of root would be the system bus.
    int r = sd_bus_open_user(&conn->bus);
    if (r < 0) {
      conn->bus = nullptr;
      throw MediaError(r, std::string("cannot open the session bus: ") + std::strerror(-r), true);
    }
    sd_bus_set_method_call_timeout(conn->bus, kCallTimeoutUs);
    // Before listing, so that no change between the two is missed (the bus answers in order).
    // Not waited for; should the bus refuse it, sd-bus closes the connection and the next
    // cycle starts over.
    sd_bus_slot* slot = nullptr;
    r = sd_bus_add_match_async(
        conn->bus, &slot,
        "type='signal',sender='org.freedesktop.DBus',interface='org."
        "freedesktop.DBus',member='NameOwnerChanged',arg0namespace='org.mpris."
        "MediaPlayer2'",
        onOwnerChanged, nullptr, conn.get());
    if (r < 0) throw busLost(r, "AddMatch");
    conn->ownerChanges.reset(slot);
    listPlayers(*conn, *this);
    current_ = conn;
    return std::make_unique<MprisManager>(conn, downloads_, rejectedCovers_);
  }

  bool waitForChange(int32_t timeoutMs) override {
    std::shared_ptr<Connection> conn = current_.lock();
    if (!conn) return MediaBackend::waitForChange(timeoutMs);
    const SteadyTime deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (coverLanded_.exchange(false)) return true;  // the cycle shows it
      int r;
      while ((r = sd_bus_process(conn->bus, nullptr)) > 0) {
      }
      if (r < 0) {
        conn->lost = true;
        return true;  // the next cycle reports it at once
      }
      if (conn->changed) {
        conn->changed = false;
        if (signals_) return true;
      }
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      int64_t waitMs = left.count();
      uint64_t busDue = 0;  // sd-bus's own next time-out, CLOCK_MONOTONIC µs
      if (sd_bus_get_timeout(conn->bus, &busDue) > 0 && busDue != UINT64_MAX) {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t nowUs = static_cast<uint64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
        waitMs = std::min<int64_t>(waitMs, busDue > nowUs ? (busDue - nowUs + 999) / 1000 : 0);
      }
      pollfd fds[2] = {
          {sd_bus_get_fd(conn->bus), static_cast<short>(sd_bus_get_events(conn->bus)), 0},
          {wakeFd_, POLLIN, 0}};
      if (::poll(fds, 2, static_cast<int>(waitMs)) < 0 && errno != EINTR) {
        std::this_thread::sleep_until(deadline);
        return false;
      }
      if (fds[1].revents & POLLIN) {
        drainWake();
        return coverLanded_.exchange(false);
      }
    }
  }

  // With signals on, every player's properties, seeks and coming and going are signalled, once
  // the bus confirmed each player's match; a player the last listing could not read is polled.
  bool reportsEveryChange() override {
    std::shared_ptr<Connection> conn = current_.lock();
    if (!signals_ || !conn || conn->lost || !conn->allRead) return false;
    return std::all_of(conn->players.begin(), conn->players.end(),
                       [](const auto& e) { return e.second.watched; });
  }

  void wake() override {
    MediaBackend::wake();
    const uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
  }

 private:
  void drainWake() {
    uint64_t n;
    if (wakeFd_ >= 0) (void)!::read(wakeFd_, &n, sizeof n);
  }

  bool signals_ = true;
  int wakeFd_ = -1;
  std::weak_ptr<Connection> current_;
  // Started by thumbnail reads, stopped by threadEnd after they ended.
  // A landed cover is a change: the watcher's next cycle reads it at once.
  std::atomic<bool> coverLanded_{false};
  CoverFetcher downloads_{kCoverRules, httpsCoverGetter, steadyNowMs,
                          [this](const std::string&, const std::string&, const std::string&) {
                            coverLanded_ = true;
                            wake();
                          }};
  std::set<std::string> rejectedCovers_;  // thumbnail reads only (the watcher's worker)
};

}  // namespace

std::unique_ptr<MediaBackend> makePlatformMediaBackend() {
  return std::make_unique<MprisBackend>();
}

}  // namespace tunelight
