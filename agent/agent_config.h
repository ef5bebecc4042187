#pragma once

#include <mutex>
#include <string>

namespace tunelight {

class Hub;
class TextOutput;
class DemoSource;

// What the configuration callback works on. Owned by main.
struct ConfigTargets {
  std::mutex configLock;  // taken before the Hub's and the TextOutput's locks
  Hub& hub;
  TextOutput& textOutput;
  DemoSource& demo;
  bool demoEnabled = false;  // guarded by configLock
  // Set by main's teardown once the demo is stopped for good: later configuration no longer
  // starts it. Guarded by configLock.
  bool closed = false;
};

// Applies one POST /api/config body. Throws on valid JSON of the wrong shape or type.
void applyConfig(ConfigTargets& t, const std::string& body);

// Starts or stops the demo source so that it matches on; requires configLock held. Does nothing
// once closed.
void setDemo(ConfigTargets& t, bool on);

// Stops the demo for good (teardown); takes configLock.
void closeDemo(ConfigTargets& t);

}  // namespace tunelight
