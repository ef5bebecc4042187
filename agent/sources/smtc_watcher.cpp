// Placeholder until the media-session watcher lands.
#include "agent/sources/smtc_watcher.h"

namespace tunelight {

SmtcWatcher::SmtcWatcher(Hub& hub) : hub_(hub) {}
SmtcWatcher::~SmtcWatcher() { stop(); }
void SmtcWatcher::start() {}
void SmtcWatcher::stop() {}

}  // namespace tunelight
