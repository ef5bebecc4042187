// MPRIS values out of sd-bus messages. Each reader stands at a variant and consumes it; a value
// of another type than expected is skipped. Negative results are sd-bus errors.
#include "agent/sources/mpris_properties.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace tunelight {

namespace {

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

// Any number, for Rate.
int readReal(sd_bus_message* m, double& out) {
  std::string sig;
  const int r = variantType(m, sig);
  if (r < 0) return r;
  if (sig == "d") return sd_bus_message_read(m, "v", "d", &out);
  int64_t n = 0;
  const int rn = readNumber(m, n);
  if (rn >= 0 && sig.size() == 1 && std::strchr("ynqiuxt", sig[0])) out = static_cast<double>(n);
  return rn;
}

int readBool(sd_bus_message* m, bool& out) {
  std::string sig;
  const int r = variantType(m, sig);
  if (r < 0) return r;
  if (sig != "b") return sd_bus_message_skip(m, "v");
  int v = 0;
  const int rv = sd_bus_message_read(m, "v", "b", &v);
  if (rv >= 0) out = v != 0;
  return rv;
}

int readMetadata(sd_bus_message* m, MprisPlayerState& st) {
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

}  // namespace

int readMprisPlayer(sd_bus_message* m, MprisPlayerState& st) {
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
    else if (k == "Rate")
      r = readReal(m, st.rate);
    else if (k == "CanControl")
      r = readBool(m, st.canControl);
    else if (k == "CanPlay")
      r = readBool(m, st.canPlay);
    else if (k == "CanPause")
      r = readBool(m, st.canPause);
    else if (k == "CanGoNext")
      r = readBool(m, st.canGoNext);
    else if (k == "CanGoPrevious")
      r = readBool(m, st.canGoPrevious);
    else
      r = sd_bus_message_skip(m, "v");
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

int readMprisString(sd_bus_message* m, std::string& out) {
  return readString(m, out);
}

}  // namespace tunelight
