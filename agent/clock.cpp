#include "agent/clock.h"

#include <chrono>

namespace tunelight {

int64_t wallNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace tunelight
