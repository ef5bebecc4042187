// Configuration bodies as the plugin (or anything with the token) may post them, with the output
// folder moved into a sandbox so that whatever path the input names, the files land there.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "agent/agent_config.h"
#include "agent/demo_source.h"
#include "agent/hub.h"
#include "agent/text_output.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace tunelight;
namespace fs = std::filesystem;

// A fresh folder for the whole run, removed at exit.
struct Sandbox {
  std::string dir;
  Sandbox() {
    std::string tmpl = (fs::temp_directory_path() / "tunelight-config-fuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(tmpl.data()) != nullptr);
    dir = tmpl;
  }
  ~Sandbox() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

const std::string& sandbox() {
  static const Sandbox box;
  return box.dir;
}

// The input's folder inside the sandbox: its components are kept (long ones, odd bytes, a file
// name where a folder is expected), except those that would climb out.
std::string intoSandbox(const std::string& dir) {
  std::string out = sandbox();
  size_t start = 0;
  int depth = 0;
  while (start <= dir.size() && depth < 4) {
    size_t end = dir.find_first_of("/\\", start);
    if (end == std::string::npos) end = dir.size();
    const std::string part = dir.substr(start, end - start);
    if (!part.empty() && part != "." && part != ".." && part.find('\0') == std::string::npos) {
      out += "/" + part;
      ++depth;
    }
    start = end + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
  if (j.is_object()) {
    auto dir = j.find("outputDir");
    if (dir != j.end() && dir->is_string() && !dir->get<std::string>().empty()) {
      *dir = intoSandbox(dir->get<std::string>());
      body = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
  }

  Hub hub(50);
  TextOutput out(hub);  // passes are run here, not by its thread
  DemoSource demo(hub, wallNowMs,
                  [](int64_t) { std::this_thread::sleep_for(std::chrono::microseconds(100)); });
  ConfigTargets targets{{}, hub, out, demo};
  const FilterSettings before = hub.settings();
  try {
    applyConfig(targets, body);
  } catch (const std::exception&) {
    // Valid JSON of the wrong shape or type: answered with status 500 by the server.
  }
  const FilterSettings after = hub.settings();
  if (j.is_discarded())
    FUZZ_CHECK(after.blocklist == before.blocklist && after.yandex == before.yandex);
  out.writePass();
  out.writePass();
  FUZZ_CHECK(nlohmann::json::parse(hub.snapshot().first, nullptr, false).is_object());
  closeDemo(targets);
  FUZZ_CHECK(hub.health().sources.empty());

  static int runs = 0;
  if (++runs % 500 == 0) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(sandbox(), ec)) fs::remove_all(e.path(), ec);
  }
  return 0;
}
