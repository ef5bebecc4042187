#include "agent/platform/command_line.h"

namespace tunelight {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace tunelight
