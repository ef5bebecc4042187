// Module load time with the real agent beside it (run by bench/plugin_load.sh, not by ctest).

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/plugin/obs/obs_harness.h"

namespace tunelight::test {
namespace {

TEST(ObsBench, DISABLED_ModuleLoad) {
  HarnessOptions o;
  o.agent = AgentKind::Real;
  ObsHarness h(o);
  std::printf("module load: %.1f ms\n", h.moduleLoadMs());
}

}  // namespace
}  // namespace tunelight::test
