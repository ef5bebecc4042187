// Placeholder until the identification tables land.
#include "agent/sources/identify.h"

namespace tunelight {

AppIdentity identifyApp(const std::string&) { return {}; }
int32_t serviceFromName(const std::string&) { return kServiceUnknown; }

}  // namespace tunelight
