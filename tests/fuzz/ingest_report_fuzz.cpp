// Extension reports and cover uploads as a browser would send them, each followed by every view
// of the Hub the agent publishes.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agent/hub.h"
#include "agent/model.h"
#include "agent/sources/extension_ingest.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace tunelight;

// The input is a list of steps separated by 0x01 (a byte no JSON text holds unescaped):
// "C<url>\x02<type>\x02<bytes>" uploads a cover, "E<digits>" lets that many seconds (modulo 100)
// pass, anything else is the body of a report.
std::vector<std::string> steps(const std::string& input) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t at = input.find('\x01'); at != std::string::npos; at = input.find('\x01', start)) {
    out.push_back(input.substr(start, at - start));
    start = at + 1;
  }
  out.push_back(input.substr(start));
  return out;
}

std::vector<std::string> fields(const std::string& s) {
  std::vector<std::string> out(3);
  size_t a = s.find('\x02');
  size_t b = a == std::string::npos ? a : s.find('\x02', a + 1);
  out[0] = s.substr(0, a);
  if (a != std::string::npos) out[1] = s.substr(a + 1, b == std::string::npos ? b : b - a - 1);
  if (b != std::string::npos) out[2] = s.substr(b + 1);
  return out;
}

void checkViews(const Hub& hub) {
  const auto [doc, counter] = hub.snapshot();
  FUZZ_CHECK(nlohmann::json::parse(doc, nullptr, false).is_object());
  const nlohmann::json history = nlohmann::json::parse(hub.historyJson(), nullptr, false);
  FUZZ_CHECK(history.is_array() && history.size() <= 20);
  const Hub::Health h = hub.health();
  const std::vector<SourceRecord>& sources = h.sources;
  FUZZ_CHECK(sources.size() <= ExtensionIngest::kMaxSources);
  nlohmann::json health = nlohmann::json::array();
  for (const SourceRecord& r : sources) {
    FUZZ_CHECK(r.sourceKey.compare(0, 4, "ext:") == 0 && !r.title.empty());
    FUZZ_CHECK(nlohmann::json::parse(nowPlayingJson(r), nullptr, false).is_object());
    health.push_back({{"app", r.app}, {"id", r.sourceKey}, {"title", r.title}});
  }
  if (h.hidden) health.push_back({{"title", h.hidden->title}});
  FUZZ_CHECK(!dumpJson(health).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int64_t now = 1700000000000;
  Hub hub(50, [&] { return now; });
  {
    ExtensionIngest ingest(hub, false);  // extensions upload covers: no network, no thread
    for (const std::string& step : steps(std::string(reinterpret_cast<const char*>(data), size))) {
      now += 7;
      if (!step.empty() && step[0] == 'C') {
        const std::vector<std::string> f = fields(step.substr(1));
        ingest.acceptCover(f[0], f[1], f[2]);
      } else if (!step.empty() && step[0] == 'E') {
        // The digits may name any number: reduced before scaling, or the clock would overflow.
        now += 1000 * std::llabs(std::strtoll(step.c_str() + 1, nullptr, 10) % 100);
        ingest.expireReports(now);
      } else {
        try {
          const std::string answer = ingest.handleReport(step, now);
          FUZZ_CHECK(answer == R"({"ok":false})" || answer == R"({"ok":true,"needCover":false})" ||
                     answer == R"({"ok":true,"needCover":true})");
        } catch (const std::exception&) {
          // A wrongly typed member: answered with status 500 by the server.
        }
      }
      checkViews(hub);
    }
  }
  return 0;
}
