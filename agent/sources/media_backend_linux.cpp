// Media sessions on Linux: MPRIS players on the user's session bus, through sd-bus. All bus
// traffic happens on the watcher thread; cover downloads run on a worker of their own.
#include "agent/sources/media_backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
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
#include <type_traits>

#include "agent/clock.h"
#include "agent/sources/cover_allowlist.h"
#include "agent/sources/https_get.h"
#include "agent/sources/mpris_identify.h"

namespace tunelight {

namespace {

const char kPrefix[] = "org.mpris.MediaPlayer2.";
const char kObjectPath[] = "/org/mpris/MediaPlayer2";
const char kPlayerInterface[] = "org.mpris.MediaPlayer2.Player";
// A stopped (hung) player answers nothing; the default of 25 s would stall every cycle.
constexpr uint64_t kCallTimeoutUs = 300 * 1000;
// A player that timed out is left alone for a while instead of stalling each cycle again.
constexpr auto kHungBackoff = std::chrono::seconds(5);
// A failed cover download is not tried again sooner than this.
constexpr int64_t kCoverRetryMs = 30000;
constexpr size_t kCoverCacheSize = 16;

using SteadyTime = std::chrono::steady_clock::time_point;

std::string errorText(const sd_bus_error& e, int r) {
  if (e.message && *e.message) return e.message;
  if (e.name && *e.name) return e.name;
  return std::strerror(r < 0 ? -r : r);
}

// Owns one reply or message reference.
struct Message {
  sd_bus_message* m = nullptr;
  Message() = default;
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
  ~Message() { sd_bus_message_unref(m); }
};

struct ErrorHolder {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ErrorHolder() = default;
  ErrorHolder(const ErrorHolder&) = delete;
  ErrorHolder& operator=(const ErrorHolder&) = delete;
  ~ErrorHolder() { sd_bus_error_free(&e); }
};

// One connection to the session bus and whether a player signalled a change since the last
// wait.
struct Connection {
  sd_bus* bus = nullptr;
  bool changed = false;
  ~Connection() {
    if (bus) sd_bus_close_unref(bus);
  }
};

int onSignal(sd_bus_message*, void* userdata, sd_bus_error*) {
  static_cast<Connection*>(userdata)->changed = true;
  return 0;
}

// --- Reading MPRIS values. Each reader stands at a variant and consumes it; a value of another
// type than expected is skipped. Negative results are sd-bus errors.

int variantType(sd_bus_message* m, std::string& contents) {
  char type = 0;
  const char* c = nullptr;
  int r = sd_bus_message_peek_type(m, &type, &c);
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  if (type != SD_BUS_TYPE_VARIANT || !c) return -EBADMSG;
  contents = c;
  return 1;
}

int readString(sd_bus_message* m, std::string& out) {
  std::string sig;
  int r = variantType(m, sig);
  if (r < 0) return r;
  if (sig != "s" && sig != "o") return sd_bus_message_skip(m, "v");
  const char* s = nullptr;
  r = sd_bus_message_read(m, "v", sig.c_str(), &s);
  if (r >= 0 && s) out = s;
  return r;
}

// A list of strings, or one string: joined with ", ".
int readStringList(sd_bus_message* m, std::string& out) {
  std::string sig;
  int r = variantType(m, sig);
  if (r < 0) return r;
  if (sig == "s") return readString(m, out);
  if (sig != "as") return sd_bus_message_skip(m, "v");
  if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "as")) < 0) return r;
  char** list = nullptr;
  if ((r = sd_bus_message_read_strv(m, &list)) < 0) return r;
  out.clear();
  for (char** p = list; p && *p; ++p) {
    if (!**p) continue;
    if (!out.empty()) out += ", ";
    out += *p;
  }
  for (char** p = list; p && *p; ++p) free(*p);
  free(list);
  return sd_bus_message_exit_container(m);
}

// Reads a variant holding the basic type `type` (T is its C type) into out.
template <typename T>
int readVariantNumber(sd_bus_message* m, char type, int64_t& out) {
  T v{};
  const char sig[2] = {type, '\0'};
  const int r = sd_bus_message_read(m, "v", sig, &v);
  if constexpr (std::is_floating_point_v<T>) {
    // NaN and out-of-range values count as unknown.
    out = (v > -9.2e18 && v < 9.2e18) ? static_cast<int64_t>(v) : 0;
  } else if constexpr (std::is_same_v<T, uint64_t>) {
    out = v > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(v);
  } else {
    out = v;
  }
  return r;
}

// Any integer or double type.
int readNumber(sd_bus_message* m, int64_t& out) {
  std::string sig;
  const int r = variantType(m, sig);
  if (r < 0) return r;
  if (sig.size() != 1) return sd_bus_message_skip(m, "v");
  switch (sig[0]) {
    case 'y':
      return readVariantNumber<uint8_t>(m, 'y', out);
    case 'n':
      return readVariantNumber<int16_t>(m, 'n', out);
    case 'q':
      return readVariantNumber<uint16_t>(m, 'q', out);
    case 'i':
      return readVariantNumber<int32_t>(m, 'i', out);
    case 'u':
      return readVariantNumber<uint32_t>(m, 'u', out);
    case 'x':
      return readVariantNumber<int64_t>(m, 'x', out);
    case 't':
      return readVariantNumber<uint64_t>(m, 't', out);
    case 'd':
      return readVariantNumber<double>(m, 'd', out);
    default:
      return sd_bus_message_skip(m, "v");
  }
}

struct PlayerState {
  std::string status;
  std::string title;
  std::string artist;
  std::string album;
  std::string artUrl;
  int64_t lengthUs = 0;
  int64_t positionUs = 0;
};

int readMetadata(sd_bus_message* m, PlayerState& st) {
  std::string sig;
  int r = variantType(m, sig);
  if (r < 0) return r;
  if (sig != "a{sv}") return sd_bus_message_skip(m, "v");
  if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "a{sv}")) < 0) return r;
  if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}")) < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    std::string k = key ? key : "";
    if (k == "xesam:title")
      r = readString(m, st.title);
    else if (k == "xesam:artist")
      r = readStringList(m, st.artist);
    else if (k == "xesam:album")
      r = readString(m, st.album);
    else if (k == "mpris:length")
      r = readNumber(m, st.lengthUs);
    else if (k == "mpris:artUrl")
      r = readString(m, st.artUrl);
    else
      r = sd_bus_message_skip(m, "v");
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  return sd_bus_message_exit_container(m);
}

int readPlayer(sd_bus_message* m, PlayerState& st) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    std::string k = key ? key : "";
    if (k == "PlaybackStatus")
      r = readString(m, st.status);
    else if (k == "Metadata")
      r = readMetadata(m, st);
    else if (k == "Position")
      r = readNumber(m, st.positionUs);
    else
      r = sd_bus_message_skip(m, "v");
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
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

class FileStream : public MediaThumbnailStream {
 public:
  FileStream(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileStream() override { ::close(fd_); }
  uint64_t size() override { return size_; }
  std::string contentType() override { return {}; }  // sniffed from the bytes
  std::string read(uint32_t count) override {
    std::string out(count, '\0');
    size_t got = 0;
    while (got < count) {
      ssize_t n = ::pread(fd_, &out[got], count - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw MediaError(errno, std::string("cannot read cover: ") + std::strerror(errno));
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
  }

 private:
  int fd_;
  uint64_t size_;
};

class FileThumbnail : public MediaThumbnail {
 public:
  explicit FileThumbnail(std::string path) : path_(std::move(path)) {}
  std::unique_ptr<MediaThumbnailStream> open() override {
    // Non-blocking so that a FIFO planted as a cover cannot hang the watcher.
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw MediaError(errno, std::string("cannot open cover: ") + std::strerror(errno));
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      throw MediaError(EINVAL, "cover is not a regular file");
    }
    return std::make_unique<FileStream>(fd, static_cast<uint64_t>(st.st_size));
  }

 private:
  std::string path_;
};

// Downloads of https covers, off the watcher thread: a cover that is not here yet counts as a
// failed read, and the watcher tries again a cycle later.
class CoverDownloads {
 public:
  ~CoverDownloads() {
    if (!worker_.joinable()) return;
    std::unique_lock<std::mutex> lock(state_->mu);
    state_->stop = true;
    state_->cv.notify_all();
    // A download in flight may take its full time-out; shutdown does not wait for it.
    bool idle =
        state_->cv.wait_for(lock, std::chrono::seconds(1), [this] { return !state_->busy; });
    lock.unlock();
    if (idle) {
      worker_.join();
    } else {
      worker_.detach();  // it owns a share of the state and ends after its download
    }
  }

  std::unique_ptr<MediaThumbnailStream> open(const std::string& url) {
    State& st = *state_;
    std::lock_guard<std::mutex> lock(st.mu);
    auto it = st.entries.find(url);
    if (it != st.entries.end() && it->second.done && it->second.ok)
      return std::make_unique<BytesStream>(it->second.type, it->second.bytes);
    int64_t now = wallNowMs();
    if (it == st.entries.end() ||
        (it->second.done && now - it->second.finishedAt > kCoverRetryMs)) {
      st.entries[url] = Entry{};
      st.order.push_back(url);
      st.queue.push_back(url);
      evict(st);
      if (!worker_.joinable()) worker_ = std::thread(run, state_);
      st.cv.notify_all();
    }
    throw MediaError(EAGAIN, "cover not downloaded yet");
  }

 private:
  struct Entry {
    bool done = false;
    bool ok = false;
    std::string type;
    std::string bytes;
    int64_t finishedAt = 0;
  };

  struct State {
    std::mutex mu;  // guards everything below
    std::condition_variable cv;
    std::map<std::string, Entry> entries;
    std::deque<std::string> order;
    std::deque<std::string> queue;
    bool stop = false;
    bool busy = false;
  };

  static void evict(State& st) {  // requires st.mu
    while (st.order.size() > kCoverCacheSize) {
      auto it = st.entries.find(st.order.front());
      if (it != st.entries.end() && !it->second.done) break;  // the worker still fills it
      if (it != st.entries.end()) st.entries.erase(it);
      st.order.pop_front();
    }
  }

  static void run(std::shared_ptr<State> state) {
    State& st = *state;
    std::unique_lock<std::mutex> lock(st.mu);
    for (;;) {
      st.cv.wait(lock, [&] { return st.stop || !st.queue.empty(); });
      if (st.stop) return;
      std::string url = st.queue.front();
      st.queue.pop_front();
      st.busy = true;
      lock.unlock();
      HttpsResult res = httpsGet(url, kCoverMaxBytes);
      lock.lock();
      st.busy = false;
      st.cv.notify_all();
      auto it = st.entries.find(url);
      if (it == st.entries.end()) continue;
      it->second.done = true;
      it->second.ok = res.ok && !res.body.empty();
      it->second.type = res.contentType;
      it->second.bytes = std::move(res.body);
      it->second.finishedAt = wallNowMs();
    }
  }

  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::thread worker_;  // started on first use; touched only by the watcher thread's owner
};

class HttpsThumbnail : public MediaThumbnail {
 public:
  HttpsThumbnail(CoverDownloads& downloads, std::string url)
      : downloads_(downloads), url_(std::move(url)) {}
  std::unique_ptr<MediaThumbnailStream> open() override { return downloads_.open(url_); }

 private:
  CoverDownloads& downloads_;
  std::string url_;
};

// --- Sessions.

class MprisSession : public MediaSession {
 public:
  MprisSession(std::string id, AppIdentity identity, PlayerState state, int64_t readAtMs,
               std::shared_ptr<MediaThumbnail> thumbnail)
      : id_(std::move(id)),
        identity_(std::move(identity)),
        state_(std::move(state)),
        readAtMs_(readAtMs),
        thumbnail_(std::move(thumbnail)) {}

  std::string appId() override { return id_; }
  AppIdentity identify() override { return identity_; }
  MediaProperties properties() override {
    return {state_.title, state_.artist, state_.album, thumbnail_};
  }
  int32_t playbackStatus() override {
    if (state_.status == "Playing") return kStatusPlaying;
    if (state_.status == "Paused") return kStatusPaused;
    return kStatusStopped;
  }
  MediaTimeline timeline() override {
    return mprisTimeline(state_.lengthUs, state_.positionUs, readAtMs_);
  }

 private:
  std::string id_;
  AppIdentity identity_;
  PlayerState state_;
  int64_t readAtMs_;
  std::shared_ptr<MediaThumbnail> thumbnail_;
};

class MprisManager : public MediaManager {
 public:
  MprisManager(std::shared_ptr<Connection> conn, CoverDownloads& downloads)
      : conn_(std::move(conn)), downloads_(downloads) {}

  std::vector<std::unique_ptr<MediaSession>> sessions() override {
    sd_bus* bus = conn_->bus;
    std::vector<std::string> names = listPlayers(bus);
    std::vector<std::unique_ptr<MediaSession>> out;
    std::set<std::string> owners;
    const SteadyTime now = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
      std::string owner;
      if (!nameOwner(bus, name, owner)) continue;  // gone meanwhile
      if (!owners.insert(owner).second) continue;  // one player under a second name
      auto hung = hungUntil_.find(owner);
      if (hung != hungUntil_.end()) {
        if (now < hung->second) continue;
        hungUntil_.erase(hung);
      }
      std::string id = name.substr(sizeof kPrefix - 1);
      AppIdentity identity = identifyMprisPlayer(id, identity_(bus, owner));
      if (hungUntil_.count(owner)) continue;  // it did not answer for its Identity
      if (!identity.handled) {
        out.push_back(std::make_unique<MprisSession>(id, identity, PlayerState{}, 0, nullptr));
        continue;
      }
      PlayerState st;
      int64_t readAt = 0;
      if (!readState(bus, owner, st, readAt)) continue;
      out.push_back(std::make_unique<MprisSession>(id, identity, std::move(st), readAt,
                                                   thumbnailFor(st.artUrl)));
    }
    // Forget owners that left.
    for (auto it = identityCache_.begin(); it != identityCache_.end();)
      it = owners.count(it->first) ? std::next(it) : identityCache_.erase(it);
    for (auto it = hungUntil_.begin(); it != hungUntil_.end();)
      it = owners.count(it->first) ? std::next(it) : hungUntil_.erase(it);
    return out;
  }

 private:
  // Throws when the bus itself failed; the watcher then reconnects.
  void checkBus(sd_bus* bus, int r, const char* what) {
    if (sd_bus_is_open(bus) > 0) return;
    throw MediaError(r, std::string("session bus lost (") + what + "): " + std::strerror(-r));
  }

  std::vector<std::string> listPlayers(sd_bus* bus) {
    ErrorHolder err;
    Message reply;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "ListNames", &err.e, &reply.m, "");
    if (r < 0) throw MediaError(r, "cannot list session bus names: " + errorText(err.e, r));
    char** list = nullptr;
    if ((r = sd_bus_message_read_strv(reply.m, &list)) < 0)
      throw MediaError(r, std::string("bad name list: ") + std::strerror(-r));
    std::vector<std::string> names;
    for (char** p = list; p && *p; ++p) {
      std::string n = *p;
      free(*p);
      if (n.compare(0, sizeof kPrefix - 1, kPrefix) != 0 || n.size() == sizeof kPrefix - 1)
        continue;
      // playerctld only mirrors the other players.
      if (n == std::string(kPrefix) + "playerctld") continue;
      names.push_back(std::move(n));
    }
    free(list);
    std::sort(names.begin(), names.end());
    return names;
  }

  bool nameOwner(sd_bus* bus, const std::string& name, std::string& owner) {
    ErrorHolder err;
    Message reply;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner", &err.e, &reply.m, "s",
                               name.c_str());
    if (r < 0) {
      checkBus(bus, r, "GetNameOwner");
      return false;
    }
    const char* o = nullptr;
    if (sd_bus_message_read(reply.m, "s", &o) < 0 || !o) return false;
    owner = o;
    return true;
  }

  std::string identity_(sd_bus* bus, const std::string& owner) {
    auto it = identityCache_.find(owner);
    if (it != identityCache_.end()) return it->second;
    ErrorHolder err;
    Message reply;
    std::string identity;
    int r = sd_bus_call_method(bus, owner.c_str(), kObjectPath, "org.freedesktop.DBus.Properties",
                               "Get", &err.e, &reply.m, "ss", "org.mpris.MediaPlayer2", "Identity");
    if (r < 0) {
      checkBus(bus, r, "Identity");
      if (r == -ETIMEDOUT) hungUntil_[owner] = std::chrono::steady_clock::now() + kHungBackoff;
      return {};  // not cached: asked again next time
    }
    if (readString(reply.m, identity) < 0) identity.clear();
    identityCache_[owner] = identity;
    return identity;
  }

  bool readState(sd_bus* bus, const std::string& owner, PlayerState& st, int64_t& readAt) {
    ErrorHolder err;
    Message reply;
    int r = sd_bus_call_method(bus, owner.c_str(), kObjectPath, "org.freedesktop.DBus.Properties",
                               "GetAll", &err.e, &reply.m, "s", kPlayerInterface);
    // MPRIS keeps no time of the position: the reply's arrival is it.
    readAt = wallNowMs();
    if (r < 0) {
      checkBus(bus, r, "GetAll");
      if (r == -ETIMEDOUT) hungUntil_[owner] = std::chrono::steady_clock::now() + kHungBackoff;
      return false;  // the player quit or broke mid-call: skipped this cycle
    }
    return readPlayer(reply.m, st) >= 0;
  }

  std::shared_ptr<MediaThumbnail> thumbnailFor(const std::string& artUrl) {
    if (artUrl.empty()) return nullptr;
    if (std::optional<std::string> path = fileUrlPath(artUrl))
      return std::make_shared<FileThumbnail>(*path);
    std::string url = coverDownloadUrl(artUrl);
    if (url.compare(0, 8, "https://") == 0 && isAllowedCoverUrl(url))
      return std::make_shared<HttpsThumbnail>(downloads_, url);
    return nullptr;
  }

  std::shared_ptr<Connection> conn_;
  CoverDownloads& downloads_;
  std::map<std::string, std::string> identityCache_;  // owner -> Identity
  std::map<std::string, SteadyTime> hungUntil_;       // owner -> skipped until
};

class MprisBackend : public MediaBackend {
 public:
  // TUNELIGHT_MPRIS_SIGNALS=0 turns the early wake-up off (polling only), for measurements.
  MprisBackend() {
    const char* v = std::getenv("TUNELIGHT_MPRIS_SIGNALS");
    signals_ = !(v && std::string(v) == "0");
  }

  std::unique_ptr<MediaManager> requestManager() override {
    auto conn = std::make_shared<Connection>();
    // The user's session bus; the default bus of root would be the system bus.
    int r = sd_bus_open_user(&conn->bus);
    if (r < 0) {
      conn->bus = nullptr;
      throw MediaError(r, std::string("cannot open the session bus: ") + std::strerror(-r));
    }
    sd_bus_set_method_call_timeout(conn->bus, kCallTimeoutUs);
    static const char* const kMatches[] = {
        "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
        "path='/org/mpris/MediaPlayer2'",
        "type='signal',interface='org.mpris.MediaPlayer2.Player',member='Seeked',"
        "path='/org/mpris/MediaPlayer2'",
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0namespace='org.mpris.MediaPlayer2'",
    };
    for (const char* match : kMatches) {
      r = sd_bus_add_match(conn->bus, nullptr, match, onSignal, conn.get());
      if (r < 0)
        throw MediaError(r, std::string("cannot watch the session bus: ") + std::strerror(-r));
    }
    current_ = conn;
    return std::make_unique<MprisManager>(conn, downloads_);
  }

  bool waitForChange(int32_t timeoutMs) override {
    std::shared_ptr<Connection> conn = current_.lock();
    if (!conn) return MediaBackend::waitForChange(timeoutMs);
    if (!signals_) {
      // Signals still arrive; drain them so that they do not pile up.
      while (sd_bus_process(conn->bus, nullptr) > 0) {
      }
      conn->changed = false;
      return MediaBackend::waitForChange(timeoutMs);
    }
    const SteadyTime deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int r;
      while ((r = sd_bus_process(conn->bus, nullptr)) > 0) {
      }
      if (conn->changed) {
        conn->changed = false;
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      if (r < 0 || sd_bus_wait(conn->bus, static_cast<uint64_t>(left.count())) < 0) {
        // A broken bus: the next cycle notices and reconnects.
        std::this_thread::sleep_until(deadline);
        return false;
      }
    }
  }

 private:
  bool signals_ = true;
  std::weak_ptr<Connection> current_;
  CoverDownloads downloads_;
};

}  // namespace

std::unique_ptr<MediaBackend> makePlatformMediaBackend() {
  return std::make_unique<MprisBackend>();
}

}  // namespace tunelight
