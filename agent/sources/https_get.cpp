#include "agent/sources/https_get.h"

#include <type_traits>

namespace tunelight {

namespace {

template <typename Unit>
std::string toAsciiContentType(const Unit* raw) {
  std::string out;
  if (!raw) return out;
  size_t n = 0;
  while (raw[n] != 0) {
    if (++n >= kContentTypeUnits) return out;
  }
  for (size_t i = 0; i < n && raw[i] != ';'; ++i) {
    const auto unit = static_cast<std::make_unsigned_t<Unit>>(raw[i]);
    out.push_back(unit > 127 ? '?' : static_cast<char>(unit));
  }
  return out;
}

}  // namespace

std::string asciiContentType(const char* raw) {
  return toAsciiContentType(raw);
}

std::string asciiContentType(const wchar_t* raw) {
  return toAsciiContentType(raw);
}

}  // namespace tunelight
