// Placeholder until the configuration lands.
#include "agent/agent_config.h"

#include "agent/demo_source.h"

namespace tunelight {

void applyConfig(ConfigTargets&, const std::string&) {}

void setDemo(ConfigTargets& t, bool on) {
  if (on && !t.demoEnabled) t.demo.start();
  if (!on && t.demoEnabled) t.demo.stop();
  t.demoEnabled = on;
}

}  // namespace tunelight
