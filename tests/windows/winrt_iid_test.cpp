// The media-session backend's interface ids against the stand-in's independent table, and the
// table's generic instances against the ids computed from their type signatures (SHA-1 over the
// Windows Runtime namespace id and the UTF-8 signature, as a version-5 UUID).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "agent/sources/winrt_iids.h"
#include "tests/windows/helpers/stand_in_iids.h"

namespace tunelight::test {
namespace {

std::vector<uint8_t> sha1(const std::vector<uint8_t>& message) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::vector<uint8_t> m = message;
  const uint64_t bits = uint64_t{message.size()} * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  auto rotl = [](uint32_t v, int n) { return (v << n) | (v >> (32 - n)); };
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      const uint8_t* p = &m[block + 4 * i];
      w[i] = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    }
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d), k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d, k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d, k = 0xCA62C1D6;
      }
      uint32_t t = rotl(a, 5) + f + e + k + w[i];
      e = d, d = c, c = rotl(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  }
  std::vector<uint8_t> out;
  for (uint32_t v : h) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return out;
}

std::string guidText(const uint8_t* b) {
  char s[37];
  std::snprintf(s, sizeof s, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                b[13], b[14], b[15]);
  return s;
}

std::string parameterizedIid(const std::string& signature) {
  const uint8_t ns[16] = {0x11, 0xf4, 0x7a, 0xd5, 0x7b, 0x73, 0x42, 0xc0,
                          0xab, 0xae, 0x87, 0x8b, 0x1e, 0x16, 0xad, 0xee};
  std::vector<uint8_t> input(ns, ns + 16);
  input.insert(input.end(), signature.begin(), signature.end());
  std::vector<uint8_t> hash = sha1(input);
  hash[6] = static_cast<uint8_t>((hash[6] & 0x0F) | 0x50);
  hash[8] = static_cast<uint8_t>((hash[8] & 0x3F) | 0x80);
  return guidText(hash.data());
}

std::map<std::string, StandInIid> standInByName() {
  std::map<std::string, StandInIid> byName;
  for (const StandInIid& e : kStandInIids) byName[e.name] = e;
  return byName;
}

TEST(WinrtIids, GenericInstancesMatchTheirTypeSignatures) {
  auto byName = standInByName();
  std::map<std::string, std::string> known;  // iid -> name
  for (const auto& [name, e] : byName) known[e.iid] = name;
  int checked = 0;
  for (const StandInIid& e : kStandInIids) {
    std::string sig = e.signature;
    if (sig.empty()) continue;
    ++checked;
    EXPECT_EQ(parameterizedIid(sig), e.iid) << e.name;
    // The ids inside the signature (after the generic's own) are entries of the same table.
    std::regex braced("\\{([0-9a-f-]{36})\\}");
    auto it = std::sregex_iterator(sig.begin(), sig.end(), braced);
    for (++it; it != std::sregex_iterator(); ++it) {
      EXPECT_EQ(known.count((*it)[1]), 1u) << e.name << ": " << (*it)[1];
    }
  }
  EXPECT_EQ(checked, 6);
}

TEST(WinrtIids, EveryBackendIdMatchesTheStandInTable) {
  auto byName = standInByName();
  int declared = 0;
#define TUNELIGHT_CHECK_IID(name, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
  {                                                                           \
    ++declared;                                                               \
    const uint8_t bytes[16] = {(d1 >> 24) & 0xff,                             \
                               (d1 >> 16) & 0xff,                             \
                               (d1 >> 8) & 0xff,                              \
                               d1 & 0xff,                                     \
                               (d2 >> 8) & 0xff,                              \
                               d2 & 0xff,                                     \
                               (d3 >> 8) & 0xff,                              \
                               d3 & 0xff,                                     \
                               b0,                                            \
                               b1,                                            \
                               b2,                                            \
                               b3,                                            \
                               b4,                                            \
                               b5,                                            \
                               b6,                                            \
                               b7};                                           \
    auto found = byName.find(#name);                                          \
    if (found == byName.end()) {                                              \
      ADD_FAILURE() << #name << " is not in the stand-in's table";            \
    } else {                                                                  \
      EXPECT_EQ(guidText(bytes), found->second.iid) << #name;                 \
    }                                                                         \
  }
  TUNELIGHT_WINRT_IIDS(TUNELIGHT_CHECK_IID)
#undef TUNELIGHT_CHECK_IID
  EXPECT_EQ(declared, 22);
}

}  // namespace
}  // namespace tunelight::test
