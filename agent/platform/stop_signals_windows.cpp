#include "agent/platform/stop_signals.h"

namespace tunelight {

// A GUI-subsystem program has no console and gets no console signals; the plugin stops it
// through /api/shutdown or by ending its parent.
void installStopSignals(std::atomic<bool>*) {}

}  // namespace tunelight
