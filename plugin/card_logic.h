#pragma once

// The module's rules that need no libobs, by topic: the card's look and address
// (card_config.h), the agent's settings and their push (agent_settings.h), the panel's status
// and history texts (status_text.h), placement (placement_rules.h) and keeping the agent
// (agent_link.h). The libobs glue (card_source.cpp, agent_client.cpp, ...) calls these.

#include "plugin/agent_link.h"
#include "plugin/agent_settings.h"
#include "plugin/card_config.h"
#include "plugin/placement_rules.h"
#include "plugin/status_text.h"

namespace tunelight::plugin {

inline constexpr const char* kPluginVersion = "0.2.0";

}  // namespace tunelight::plugin
