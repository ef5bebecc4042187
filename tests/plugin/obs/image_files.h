#pragma once

// Tiny image writers for the OBS tests: a BMP cover for the stand-in agent, and PNG files of
// captured renders.

#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace tunelight::test {

// A w x h 32-bit BMP of straight RGBA pixels (rows top to bottom).
inline std::string bmpFile(uint32_t w, uint32_t h, const std::vector<uint8_t>& rgba) {
  std::string out;
  auto u16 = [&](uint32_t v) { out += char(v & 255), out += char(v >> 8 & 255); };
  auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  uint32_t data = w * h * 4;
  out += "BM";
  u32(54 + data), u32(0), u32(54);
  u32(40), u32(w), u32(uint32_t(-int32_t(h))), u16(1), u16(32), u32(0), u32(data);
  u32(2835), u32(2835), u32(0), u32(0);
  for (size_t i = 0; i < size_t(w) * h; ++i)
    out += char(rgba[i * 4 + 2]), out += char(rgba[i * 4 + 1]), out += char(rgba[i * 4]),
        out += char(rgba[i * 4 + 3]);
  return out;
}

// Writes straight RGBA pixels as an 8-bit RGBA PNG.
inline bool writePng(const std::string& path, uint32_t w, uint32_t h,
                     const std::vector<uint8_t>& rgba) {
  std::string raw;
  for (uint32_t y = 0; y < h; ++y) {
    raw += char(0);  // no filter
    raw.append(reinterpret_cast<const char*>(&rgba[size_t(y) * w * 4]), size_t(w) * 4);
  }
  uLongf size = compressBound(uLong(raw.size()));
  std::string packed(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &size,
                reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), 9) != Z_OK)
    return false;
  packed.resize(size);
  std::string png = "\x89PNG\r\n\x1a\n";
  auto chunk = [&](const char* type, const std::string& body) {
    uint32_t n = uint32_t(body.size());
    png += char(n >> 24), png += char(n >> 16 & 255), png += char(n >> 8 & 255),
        png += char(n & 255);
    std::string typed = std::string(type, 4) + body;
    png += typed;
    uint32_t crc =
        uint32_t(crc32(0, reinterpret_cast<const Bytef*>(typed.data()), uInt(typed.size())));
    png += char(crc >> 24), png += char(crc >> 16 & 255), png += char(crc >> 8 & 255),
        png += char(crc & 255);
  };
  std::string ihdr;
  for (uint32_t v : {w, h})
    ihdr += char(v >> 24), ihdr += char(v >> 16 & 255), ihdr += char(v >> 8 & 255),
        ihdr += char(v & 255);
  ihdr += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA
  chunk("IHDR", ihdr);
  chunk("IDAT", packed);
  chunk("IEND", "");
  std::ofstream(path, std::ios::binary) << png;
  return true;
}

}  // namespace tunelight::test
