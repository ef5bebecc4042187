// Placeholder until the demo source lands.
#include "agent/demo_source.h"

namespace tunelight {

DemoSource::DemoSource(Hub& hub) : hub_(hub) {}
DemoSource::~DemoSource() { stop(); }
void DemoSource::start() {}
void DemoSource::stop() {}

}  // namespace tunelight
