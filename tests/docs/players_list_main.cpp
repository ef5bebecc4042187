// Prints the list of supported players for the README (see scripts/players-list.sh).
#include <cstdio>

#include "agent/sources/player_list.h"

int main() {
  std::fputs(tunelight::supportedPlayersMarkdown().c_str(), stdout);
  return 0;
}
