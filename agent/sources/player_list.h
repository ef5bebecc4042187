#pragma once

#include <string>

namespace tunelight {

// The README's list of supported players, rendered from the identification tables so that the
// documentation cannot drift from what the agent recognises (scripts/players-list.sh writes it).
std::string supportedPlayersMarkdown();

}  // namespace tunelight
