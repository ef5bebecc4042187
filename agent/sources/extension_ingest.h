#pragma once

#include <cstdint>
#include <string>

namespace tunelight {

class Hub;

// Turns browser-extension reports into "ext:" sources of the Hub and obtains their covers.
class ExtensionIngest {
 public:
  ExtensionIngest(Hub& hub, bool fetchCovers);
  ~ExtensionIngest();
  ExtensionIngest(const ExtensionIngest&) = delete;
  ExtensionIngest& operator=(const ExtensionIngest&) = delete;

  // Answer text of POST /api/ingest. Throws on a wrongly typed string/boolean member.
  std::string handleReport(const std::string& body, int64_t nowMs);
  bool acceptCover(const std::string& url, const std::string& contentType,
                   const std::string& bytes);
  void expireReports(int64_t nowMs);

 private:
  Hub& hub_;
};

}  // namespace tunelight
