#include "agent/model.h"

#include <cstdio>
#include <utility>

#include <nlohmann/json.hpp>

namespace tunelight {

namespace {

const char* const kServiceNames[] = {"unknown",     "yandex",        "vk",           "spotify",
                                     "apple-music", "youtube-music", "youtube",      "soundcloud",
                                     "deezer",      "tidal",         "amazon-music", "other"};

bool isBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

const char* kindName(int32_t kind) {
  switch (kind) {
    case kKindExtension:
      return "extension";
    // Media sessions keep the names they were first published with on every platform: the
    // card, the plugin's player list and other programs reading the API compare them.
    case kKindMediaApp:
      return "smtc-app";
    case kKindMediaBrowser:
      return "smtc-browser";
    default:
      return "mock";
  }
}

const char* serviceName(int32_t service) {
  if (service < 1 || service > 11) return kServiceNames[0];
  return kServiceNames[service];
}

const char* statusName(int32_t status) {
  switch (status) {
    case kStatusPaused:
      return "paused";
    case kStatusPlaying:
      return "playing";
    default:
      return "stopped";
  }
}

namespace {
// API names in the order the document lists them.
const std::pair<uint32_t, const char*> kControlNames[] = {{kControlPlayPause, "playPause"},
                                                          {kControlPlay, "play"},
                                                          {kControlPause, "pause"},
                                                          {kControlNext, "next"},
                                                          {kControlPrevious, "previous"}};
}  // namespace

const char* controlName(uint32_t action) {
  for (const auto& [bit, name] : kControlNames)
    if (bit == action) return name;
  return nullptr;
}

uint32_t controlFromName(const std::string& name) {
  for (const auto& [bit, n] : kControlNames)
    if (name == n) return bit;
  return 0;
}

std::string matchKey(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  bool pendingSpace = false;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (isBlank(c)) {
      if (!out.empty()) pendingSpace = true;
      continue;
    }
    if (pendingSpace) {
      out.push_back(' ');
      pendingSpace = false;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
    } else if (c == 0xD0 && i + 1 < s.size()) {
      // Two-byte Cyrillic: fold А–Я and Ё to lower case.
      const auto b = static_cast<unsigned char>(s[++i]);
      if (b >= 0x90 && b <= 0x9F) {
        out.push_back('\xD0');
        out.push_back(static_cast<char>(b + 0x20));
      } else if (b >= 0xA0 && b <= 0xAF) {
        out.push_back('\xD1');
        out.push_back(static_cast<char>(b - 0x20));
      } else if (b == 0x81) {
        out.push_back('\xD1');
        out.push_back('\x91');
      } else {
        out.push_back('\xD0');
        out.push_back(static_cast<char>(b));
      }
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string trackKey(const SourceRecord& r) {
  return matchKey(r.artist) + "|" + matchKey(r.title);
}

uint64_t fnv1a64(const std::string& bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string hex16(uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string trackId(const SourceRecord& r) {
  return hex16(fnv1a64(trackKey(r))).substr(0, 12);
}

std::string nowPlayingJson(const std::optional<SourceRecord>& r, int64_t showAt) {
  if (!r) return "{\"active\":false}";
  nlohmann::json j = nlohmann::json::object();
  j["active"] = true;
  j["album"] = r->album ? nlohmann::json(*r->album) : nlohmann::json(nullptr);
  j["app"] = r->app;
  j["artist"] = r->artist;
  j["controls"] = nlohmann::json::array();
  for (const auto& [bit, name] : kControlNames)
    if (r->controls & bit) j["controls"].push_back(name);
  j["coverUrl"] =
      r->coverId.empty() ? nlohmann::json(nullptr) : nlohmann::json("/cover/" + r->coverId);
  j["durationMs"] = r->durationMs ? nlohmann::json(*r->durationMs) : nlohmann::json(nullptr);
  j["kind"] = kindName(r->kind);
  j["player"] = r->player;
  j["positionAt"] = r->positionAt;
  j["positionMs"] = r->positionMs ? nlohmann::json(*r->positionMs) : nlohmann::json(nullptr);
  j["service"] = serviceName(r->service);
  j["showAt"] = showAt > 0 ? nlohmann::json(showAt) : nlohmann::json(nullptr);
  j["source"] = r->sourceKey;
  j["status"] = statusName(r->status);
  j["title"] = r->title;
  j["trackId"] = trackId(*r);
  return dumpJson(j);
}

std::string dumpJson(const nlohmann::json& j) {
  // Compact, keys sorted (std::map), non-ASCII as is; invalid UTF-8 becomes U+FFFD instead of
  // throwing, so a bad title can never take a route down.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string cutUtf8(const std::string& s, size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  size_t p = maxBytes;
  // Step back over continuation bytes so the cut never splits a sequence.
  while (p > 0 && (static_cast<unsigned char>(s[p]) & 0xC0) == 0x80) --p;
  return s.substr(0, p);
}

}  // namespace tunelight
