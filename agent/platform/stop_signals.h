#pragma once

#include <atomic>

namespace tunelight {

// Makes the signals that ask a program to end (SIGTERM, SIGINT, SIGHUP) set *stopRequested, so
// that the agent runs its normal teardown; a second such signal ends the process at once. Call
// once, early in main. Where the agent gets no such signals (a windowless Windows program) it
// does nothing.
void installStopSignals(std::atomic<bool>* stopRequested);

}  // namespace tunelight
