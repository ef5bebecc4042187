// An agent whose extension intake asks the extensions to upload covers instead of downloading
// them: the one intake mode the agent binary never runs, and the only way to see the
// extension's cover upload end to end. Same server, routes and intake code as the agent.
// Prints its port, then runs until SIGTERM or SIGINT.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "agent/clock.h"
#include "agent/http/server.h"
#include "agent/hub.h"
#include "agent/sources/extension_ingest.h"

namespace {
volatile std::sig_atomic_t stopSignal = 0;
void onSignal(int) {
  stopSignal = 1;
}
}  // namespace

int main() {
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  tunelight::Hub hub(50);
  tunelight::ExtensionIngest ingest(hub, false);
  tunelight::Server server(hub, "0.2.0");
  server.setIngest(&ingest);
  const int port = server.start(tunelight::portCandidates());
  if (port == 0) return 2;
  std::printf("%d\n", port);
  std::fflush(stdout);
  while (!stopSignal) {
    ingest.expireReports(tunelight::wallNowMs());
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  server.stop();
  return 0;
}
