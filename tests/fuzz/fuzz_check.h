#pragma once

#include <cstdio>
#include <cstdlib>

// A rule every input must keep: when broken, says which and crashes, so that libFuzzer keeps the
// input as a finding.
#define FUZZ_CHECK(rule) ((rule) ? (void)0 : tunelight::fuzz::broken(#rule, __FILE__, __LINE__))

namespace tunelight::fuzz {

[[noreturn]] inline void broken(const char* rule, const char* file, int line) {
  std::fprintf(stderr, "broken: %s (%s:%d)\n", rule, file, line);
  std::abort();
}

}  // namespace tunelight::fuzz
