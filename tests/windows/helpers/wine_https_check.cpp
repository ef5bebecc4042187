// Runs the agent's HTTPS download for each URL on the command line and prints what it returned
// and logged, one block per URL:
//   url=<url>
//   log=<line>          (zero or more)
//   ok=<0|1> type=<content type> size=<bytes> sum=<byte sum mod 2^32>
// Options before the URLs: --trust FILE adds a DER certificate to the current user's root
// store of this Wine prefix (so a local test server can be trusted); --max N sets the limit;
// --cancel-after MS sets the cancel flag MS ms into each download, --deadline MS gives each
// download that overall deadline. With either, each block also has the line
//   ended=<ms from the cancel (or the start) to the return>
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "agent/log.h"
#include "agent/sources/https_get_windows.h"

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
  long cancelAfterMs = -1;
  long deadlineMs = -1;
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
    } else if (opt == "--cancel-after") {
      cancelAfterMs = std::strtol(argv[i + 1], nullptr, 10);
    } else if (opt == "--deadline") {
      deadlineMs = std::strtol(argv[i + 1], nullptr, 10);
    } else {
      break;
    }
  }
  for (; i < argc; ++i) {
    gLines.clear();
    using Clock = std::chrono::steady_clock;
    std::atomic<bool> cancel{false};
    Clock::time_point from = Clock::now();
    std::thread canceller;
    if (cancelAfterMs >= 0) {
      canceller = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(cancelAfterMs));
        from = Clock::now();
        cancel = true;
      });
    }
    tunelight::HttpsResult r = deadlineMs >= 0
                                   ? tunelight::httpsGetWithin(argv[i], maxBytes, &cancel,
                                                               static_cast<uint32_t>(deadlineMs))
                                   : tunelight::httpsGet(argv[i], maxBytes, &cancel);
    Clock::time_point ended = Clock::now();
    if (canceller.joinable()) canceller.join();
    uint32_t sum = 0;
    for (unsigned char c : r.body) sum += c;
    std::printf("url=%s\n", argv[i]);
    for (const auto& line : gLines) std::printf("log=%s\n", line.c_str());
    std::printf("ok=%d type=%s size=%zu sum=%u\n", r.ok ? 1 : 0, r.contentType.c_str(),
                r.body.size(), sum);
    if (cancelAfterMs >= 0 || deadlineMs >= 0) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(ended - from).count();
      std::printf("ended=%lld\n", static_cast<long long>(ms));
    }
  }
  std::fflush(stdout);
  return 0;
}
