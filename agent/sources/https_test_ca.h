#pragma once

#include <string>

namespace tunelight {

// Tests only: trust the certificates in this PEM file instead of the system store for later
// httpsGet calls; an empty path restores the system store. Linux build only.
void setHttpsTestCaFile(const std::string& path);

}  // namespace tunelight
