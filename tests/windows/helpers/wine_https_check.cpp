// Runs the agent's HTTPS download for each URL on the command line and prints what it returned
// and logged, one block per URL:
//   url=<url>
//   log=<line>          (zero or more)
//   ok=<0|1> type=<content type> size=<bytes> sum=<byte sum mod 2^32>
// Options before the URLs: --trust FILE adds a DER certificate to the current user's root
// store of this Wine prefix (so a local test server can be trusted); --max N sets the limit.
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/log.h"
#include "agent/sources/https_get.h"

namespace {

std::vector<std::string> gLines;

void captureSink(int32_t level, const std::string& message) {
  gLines.push_back(std::string("[") + tunelight::logLevelName(level) + "] " + message);
}

bool trust(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  if (der.empty()) return false;
  return CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(),
                                                 static_cast<DWORD>(der.size())) != FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  tunelight::setSink(&captureSink);
  size_t maxBytes = 4194304;
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--trust") {
      if (!trust(argv[i + 1])) {
        std::printf("trust failed %lu\n", GetLastError());
        return 1;
      }
    } else if (opt == "--max") {
      maxBytes = std::strtoull(argv[i + 1], nullptr, 10);
    } else {
      break;
    }
  }
  for (; i < argc; ++i) {
    gLines.clear();
    tunelight::HttpsResult r = tunelight::httpsGet(argv[i], maxBytes);
    uint32_t sum = 0;
    for (unsigned char c : r.body) sum += c;
    std::printf("url=%s\n", argv[i]);
    for (const auto& line : gLines) std::printf("log=%s\n", line.c_str());
    std::printf("ok=%d type=%s size=%zu sum=%u\n", r.ok ? 1 : 0, r.contentType.c_str(),
                r.body.size(), sum);
  }
  std::fflush(stdout);
  return 0;
}
