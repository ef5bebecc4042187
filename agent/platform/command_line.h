#pragma once

#include <string>
#include <vector>

namespace tunelight {

// The program's arguments as UTF-8 texts, program name first. On Windows, main's argv is in
// the ANSI code page, which cannot hold every path (a user name in another script); there the
// arguments are read from the UTF-16 command line instead. One file per platform.
std::vector<std::string> utf8Arguments(int argc, char** argv);

}  // namespace tunelight
