#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "agent/platform/command_line.h"
#include "agent/platform/utf16_windows.h"

namespace tunelight {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
  int n = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    out.push_back(toUtf8(wide[i]));
  }
  LocalFree(wide);
  return out;
}

}  // namespace tunelight
