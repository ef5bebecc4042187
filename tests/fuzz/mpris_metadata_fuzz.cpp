// Arbitrary player replies through the MPRIS value mapping. The input is read as a small program
// that builds a Properties.GetAll reply (or a Properties.Get one) of nested variants of every
// D-Bus type, so that the readers meet every shape a player could send; what they produce then
// goes through the timeline and cover-URL mapping.
//
// Input: byte 0 even -> a{sv} reply, odd -> one variant. a{sv}: a count byte (% 8), then per
// entry a key (byte < 0xF0: one of kKeys, else a text) and a variant. Variant: a type byte, then
// its value (texts: a length byte % 32, then one character per byte; numbers: big-endian).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <cstring>
#include <optional>
#include <string>

#include "agent/sources/mpris_identify.h"
#include "agent/sources/mpris_properties.h"

namespace {

using namespace tunelight;

// Started but never connected to anything: enough to build and read back messages.
sd_bus* messageBus() {
  static sd_bus* bus = [] {
    int fds[2];
    sd_bus* b = nullptr;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0 || sd_bus_new(&b) < 0 ||
        sd_bus_set_fd(b, fds[0], fds[0]) < 0 || sd_bus_start(b) < 0)
      abort();
    return b;
  }();
  return bus;
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint64_t number(int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | byte();
    return v;
  }
  // Valid UTF-8 (sd-bus refuses anything else), with multi-byte characters and long ones.
  std::string text() {
    std::string s;
    for (int n = byte() % 32; n > 0; --n) {
      const uint8_t b = byte();
      if (b >= 1 && b < 0x80)
        s.push_back(static_cast<char>(b));
      else if (b == 0)
        s += "\xC3\xA9";
      else if (b < 0xC0)
        s += "\xD0\x96";
      else
        s += "\xF0\x9F\x8E\xB5";
    }
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

const char* const kKeys[] = {
    "PlaybackStatus", "Metadata",     "Position",    "Rate",         "Volume",
    "xesam:title",    "xesam:artist", "xesam:album", "mpris:length", "mpris:artUrl",
    "mpris:trackid",  "LoopStatus",   "CanGoNext",   "xesam:url",    "Shuffle",
};
const char* const kStatuses[] = {"Playing", "Paused", "Stopped", "playing", ""};
const char* const kPaths[] = {"/", "/org/mpris/MediaPlayer2", "/1", "/org/mpv/Track/7"};

std::string key(Input& in) {
  const uint8_t k = in.byte();
  return k < 0xF0 ? kKeys[k % (sizeof kKeys / sizeof *kKeys)] : in.text();
}

void variant(sd_bus_message* m, Input& in, int depth);

void dictionary(sd_bus_message* m, Input& in, int depth, int count) {
  sd_bus_message_open_container(m, 'a', "{sv}");
  for (int i = 0; i < count; ++i) {
    sd_bus_message_open_container(m, 'e', "sv");
    sd_bus_message_append(m, "s", key(in).c_str());
    variant(m, in, depth);
    sd_bus_message_close_container(m);
  }
  sd_bus_message_close_container(m);
}

void variant(sd_bus_message* m, Input& in, int depth) {
  const uint8_t t = in.byte() % (depth > 0 ? 17 : 13);
  switch (t) {
    case 0:
      sd_bus_message_append(m, "v", "s", in.text().c_str());
      break;
    case 1:
      sd_bus_message_append(m, "v", "s", kStatuses[in.byte() % 5]);
      break;
    case 2:
      sd_bus_message_append(m, "v", "o", kPaths[in.byte() % 4]);
      break;
    case 3: {
      sd_bus_message_open_container(m, 'v', "as");
      sd_bus_message_open_container(m, 'a', "s");
      for (int n = in.byte() % 5; n > 0; --n) sd_bus_message_append(m, "s", in.text().c_str());
      sd_bus_message_close_container(m);
      sd_bus_message_close_container(m);
      break;
    }
    case 4:
      sd_bus_message_append(m, "v", "y", static_cast<uint8_t>(in.byte()));
      break;
    case 5:
      sd_bus_message_append(m, "v", "n", static_cast<int16_t>(in.number(2)));
      break;
    case 6:
      sd_bus_message_append(m, "v", "q", static_cast<uint16_t>(in.number(2)));
      break;
    case 7:
      sd_bus_message_append(m, "v", "i", static_cast<int32_t>(in.number(4)));
      break;
    case 8:
      sd_bus_message_append(m, "v", "u", static_cast<uint32_t>(in.number(4)));
      break;
    case 9:
      sd_bus_message_append(m, "v", "x", static_cast<int64_t>(in.number(8)));
      break;
    case 10:
      sd_bus_message_append(m, "v", "t", in.number(8));
      break;
    case 11: {
      const uint64_t bits = in.number(8);
      double d;
      std::memcpy(&d, &bits, sizeof d);  // any double, NaN and infinities included
      sd_bus_message_append(m, "v", "d", d);
      break;
    }
    case 12:
      sd_bus_message_append(m, "v", "b", in.byte() & 1);
      break;
    case 13:
      sd_bus_message_open_container(m, 'v', "a{sv}");
      dictionary(m, in, depth - 1, in.byte() % 6);
      sd_bus_message_close_container(m);
      break;
    case 14:
      sd_bus_message_open_container(m, 'v', "v");
      variant(m, in, depth - 1);
      sd_bus_message_close_container(m);
      break;
    case 15: {
      sd_bus_message_open_container(m, 'v', "ai");
      sd_bus_message_open_container(m, 'a', "i");
      for (int n = in.byte() % 5; n > 0; --n)
        sd_bus_message_append(m, "i", static_cast<int32_t>(in.number(4)));
      sd_bus_message_close_container(m);
      sd_bus_message_close_container(m);
      break;
    }
    default: {
      const std::string s = in.text();
      sd_bus_message_append(m, "v", "(sx)", s.c_str(), static_cast<int64_t>(in.number(8)));
      break;
    }
  }
}

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// What the backend does with a reading.
void map(const MprisPlayerState& s) {
  TimelineAnchor a;
  anchorTimeline(a, s, 1'700'000'000'000, false);
  check(a.positionUs >= 0);
  anchorTimeline(a, s, 1'700'000'000'500, false);
  if (s.status != "Playing") check(a.atMs == 1'700'000'000'000);  // standing still: kept
  const MediaTimeline t = mprisTimeline(s.lengthUs, a.positionUs, a.atMs);
  check(t.endMs >= t.startMs && t.positionMs >= 0);
  check((s.lengthUs >= 1000) == (t.endMs > t.startMs));  // a timeline from the first whole ms
  if (std::optional<std::string> path = fileUrlPath(s.artUrl)) check(!path->empty());
  coverDownloadUrl(s.artUrl);
  imageTypeFromSignature(s.title);
  identifyMprisPlayer(s.title, s.artist);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_method_call(messageBus(), &m, "a.b", "/a", "a.b", "M") < 0) abort();
  const bool getAll = (in.byte() & 1) == 0;
  if (getAll)
    dictionary(m, in, 3, in.byte() % 8);
  else
    variant(m, in, 3);
  if (sd_bus_message_seal(m, 1, 0) >= 0 && sd_bus_message_rewind(m, true) >= 0) {
    if (getAll) {
      MprisPlayerState s;
      if (readMprisPlayer(m, s) >= 0) {
        check(sd_bus_message_at_end(m, true) > 0);  // every entry consumed, containers left
        map(s);
      }
    } else {
      std::string identity;
      if (readMprisString(m, identity) >= 0) check(sd_bus_message_at_end(m, true) > 0);
      identifyMprisPlayer("chromium.instance1", identity);
    }
  }
  sd_bus_message_unref(m);
  return 0;
}
