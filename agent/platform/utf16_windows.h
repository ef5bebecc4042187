#pragma once

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

namespace tunelight {

// UTF-8 <-> UTF-16 for the Windows API. Invalid input is not refused: each malformed UTF-8
// sequence or unpaired surrogate becomes U+FFFD. The result is empty only for empty input (or a
// failure of the system's conversion itself).
inline std::wstring toUtf16(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

inline std::string toUtf8(const wchar_t* s, size_t n) {
  if (!s || n == 0) return {};
  const int len =
      WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  if (len <= 0) return {};
  std::string out(static_cast<size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(n), &out[0], len, nullptr, nullptr);
  return out;
}

inline std::string toUtf8(const wchar_t* s) {
  return s ? toUtf8(s, std::wcslen(s)) : std::string();
}

}  // namespace tunelight
