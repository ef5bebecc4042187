#pragma once

// The agent's settings as the card sources set them, and the body that pushes them.

#include <string>
#include <vector>

#include "agent/services.h"

namespace tunelight::plugin {

// The service switches (agent/services.h) and the rest of the agent's configuration.
struct AgentConfig : ServiceSwitches {
  bool demo = false;
  std::vector<std::string> blocklist;
  std::string outputDir;
};

// One entry per line; trailing blanks and CRs stripped, leading blanks kept, empty lines dropped.
std::vector<std::string> parse_blocklist_text(const std::string& text);

// The body of the configuration push: the switches in table order, then demo, blocklist and
// output folder. Control characters in the texts are dropped.
std::string agent_config_json(const AgentConfig& c);

}  // namespace tunelight::plugin
