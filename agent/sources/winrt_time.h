#pragma once

// Windows Runtime times as the media seam's milliseconds. Time spans are 100 ns ticks and dates
// are 100 ns ticks since 1601-01-01 UTC. Plain arithmetic without Windows headers, so that it is
// tested on every platform.

#include <cstdint>

#include "agent/sources/media_backend.h"

namespace tunelight {

constexpr int64_t kTicksPerMs = 10000;
// Ticks between 1601-01-01 and 1970-01-01 UTC.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

// A session's timeline from its ticks. The end and the position are cut to whole milliseconds
// from the start (truncated toward zero), so that the duration and the position a session shows
// are those of its own spans. A date of 0 or less is unknown.
inline MediaTimeline timelineFromTicks(int64_t start, int64_t end, int64_t position,
                                       int64_t updated) {
  MediaTimeline t;
  t.startMs = start / kTicksPerMs;
  t.endMs = t.startMs + (end - start) / kTicksPerMs;
  t.positionMs = t.startMs + (position - start) / kTicksPerMs;
  t.updatedAtMs = updated > 0 ? (updated - kUnixEpochTicks) / kTicksPerMs : 0;
  return t;
}

}  // namespace tunelight
