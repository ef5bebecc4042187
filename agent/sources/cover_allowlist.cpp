#include "agent/sources/cover_allowlist.h"

#include <regex>
#include <utility>

#include "agent/sources/https_get.h"

namespace tunelight {

namespace {

const std::regex& allowlist() {
  // Built once (thread-safe static initialisation) and only read afterwards.
  static const std::regex pattern(
      "https://("
      "avatars\\.yandex\\.net"              // Yandex Music
      "|i\\.scdn\\.co"                      // Spotify
      "|[a-z0-9-]+\\.vkuserphoto\\.ru"      // VK photos
      "|[a-z0-9-]+\\.userapi\\.com"         // VK user content
      "|lh[0-9]\\.googleusercontent\\.com"  // Google user content
      "|yt[0-9]\\.googleusercontent\\.com"  // YouTube Music artwork
      "|i[0-9]?\\.ytimg\\.com"              // YouTube thumbnails
      "|i[0-9]*\\.sndcdn\\.com"             // SoundCloud
      "|is[0-9]+(-ssl)?\\.mzstatic\\.com"   // Apple
      "|[a-z0-9-]+\\.dzcdn\\.net"           // Deezer
      "|resources\\.tidal\\.com"            // TIDAL
      "|m\\.media-amazon\\.com"             // Amazon
      "|cdn[0-9]*\\.zvuk\\.com"             // Zvuk
      ")/\\S{1,1500}",
      std::regex::ECMAScript);
  return pattern;
}

}  // namespace

bool isAllowedCoverUrl(const std::string& url) {
  return std::regex_match(url, allowlist());
}

bool coverFetcher(const std::string& url, std::string& contentType, std::string& body,
                  const std::atomic<bool>* cancel) {
  HttpsResult r = httpsGet(url, kCoverMaxBytes, cancel);
  if (!r.ok) return false;
  contentType = r.contentType;
  body = std::move(r.body);
  return true;
}

}  // namespace tunelight
