#include "agent/platform/fs.h"

namespace tunelight {

// Paths are byte strings here: the UTF-8 text is the path.
std::filesystem::path pathFromUtf8(const std::string& utf8) {
  return std::filesystem::path(utf8);
}

}  // namespace tunelight
