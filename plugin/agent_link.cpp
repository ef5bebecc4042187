#include "plugin/agent_link.h"

#include <cstdio>
#include <cstdlib>
#include <random>

namespace tunelight::plugin {

int port_of(const std::string& base_url) {
  size_t colon = base_url.rfind(':');
  if (colon == std::string::npos) return 0;
  return std::atoi(base_url.c_str() + colon + 1);
}

std::string make_token() {
  std::random_device rd;
  std::string out;
  for (int i = 0; i < 4; ++i) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(rd()));
    out += buf;
  }
  return out;
}

bool RestartWindow::allow(Clock::time_point now) {
  if (now - start_ > kWindow) {
    start_ = now;
    count_ = 0;
  } else if (count_ >= kMaxRestarts) {
    return false;
  }
  ++count_;
  return true;
}

}  // namespace tunelight::plugin
