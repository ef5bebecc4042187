#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "agent/command_line.h"

namespace tunelight {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
  int n = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    int len = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string s(len > 0 ? static_cast<size_t>(len) : 1, '\0');
    if (len > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &s[0], len, nullptr, nullptr);
    s.resize(s.size() - 1);  // the terminating zero
    out.push_back(std::move(s));
  }
  LocalFree(wide);
  return out;
}

}  // namespace tunelight
