#pragma once

#include <string>

#include "agent/thread_annotations.h"

namespace tunelight {

class Hub;
class TextOutput;
class DemoSource;

// What the configuration callback works on. Owned by main.
struct ConfigTargets {
  Mutex configLock;  // taken before the Hub's and the TextOutput's locks
  Hub& hub;
  TextOutput& textOutput;
  DemoSource& demo;
  bool demoEnabled GUARDED_BY(configLock) = false;
  // Set by main's teardown once the demo is stopped for good: later configuration no longer
  // starts it.
  bool closed GUARDED_BY(configLock) = false;
};

// Applies one POST /api/config body. Throws on valid JSON of the wrong shape or type.
void applyConfig(ConfigTargets& t, const std::string& body);

// Starts or stops the demo source so that it matches on. Does nothing once closed.
void setDemo(ConfigTargets& t, bool on) REQUIRES(t.configLock);

// Stops the demo for good (teardown); takes configLock.
void closeDemo(ConfigTargets& t) EXCLUDES(t.configLock);

}  // namespace tunelight
