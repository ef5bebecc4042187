#pragma once

namespace tunelight {

class ParentProcess;

// The agent's main loop sleeps here between its passes, so that an idle agent does not wake on
// a timer: a stop request, the parent's end and the first extension source wake it instead.

// Call once, early in main, before anything may call wakeMainLoop().
void initMainLoopWake();

// Ends the main loop's current wait, or else its next one. Safe in a signal handler.
void wakeMainLoop();

// Sleeps until wakeMainLoop(), until parent (may be null) ends, or until timeoutMs have passed
// (a negative timeout has no limit). May also return early, e.g. when a signal arrives.
void waitMainLoop(const ParentProcess* parent, int timeoutMs);

}  // namespace tunelight
