#pragma once

#include <cstdint>
#include <functional>

namespace tunelight {

// Wall-clock milliseconds since the Unix epoch. Injected where a rule depends on time so tests
// can drive it; production code passes wallNowMs.
using WallClock = std::function<int64_t()>;

int64_t wallNowMs();

}  // namespace tunelight
