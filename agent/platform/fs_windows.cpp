#include "agent/platform/fs.h"
#include "agent/platform/utf16_windows.h"

namespace tunelight {

// The library's own UTF-8 conversion throws on text that is not UTF-8; this one does not.
std::filesystem::path pathFromUtf8(const std::string& utf8) {
  return std::filesystem::path(toUtf16(utf8));
}

}  // namespace tunelight
