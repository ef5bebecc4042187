// Placeholder until the intake lands: accepts nothing.
#include "agent/sources/extension_ingest.h"

namespace tunelight {

ExtensionIngest::ExtensionIngest(Hub& hub, bool) : hub_(hub) {}
ExtensionIngest::~ExtensionIngest() = default;
std::string ExtensionIngest::handleReport(const std::string&, int64_t) { return "{\"ok\":false}"; }
bool ExtensionIngest::acceptCover(const std::string&, const std::string&, const std::string&) {
  return false;
}
void ExtensionIngest::expireReports(int64_t) {}

}  // namespace tunelight
