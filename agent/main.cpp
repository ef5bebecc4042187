// tunelight-agent: builds every long-lived object, serves the loopback HTTP interface and idles
// until the plugin asks it to stop or the process that started it is gone.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_config.h"
#include "agent/clock.h"
#include "agent/command_line.h"
#include "agent/demo_source.h"
#include "agent/http/server.h"
#include "agent/hub.h"
#include "agent/log.h"
#include "agent/parent_process.h"
#include "agent/sources/extension_ingest.h"
#include "agent/sources/smtc_watcher.h"
#include "agent/text_output.h"

namespace {

using namespace tunelight;
namespace fs = std::filesystem;

std::atomic<bool> stopRequested{false};

struct Options {
  std::string token;
  std::string portFile;
  int32_t parentPid = 0;
  bool demo = false;
};

// Base-10 like strtol, clamped to 32 bits so that the result is the same where long is wider.
int32_t parsePid(const std::string& s) {
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  v = std::clamp<long long>(v, INT32_MIN, INT32_MAX);
  return static_cast<int32_t>(v);
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // An option with a value takes the next argument whatever it looks like; as the last
    // argument its value is empty.
    auto value = [&]() -> std::string { return i + 1 < argc ? std::string(argv[++i]) : ""; };
    if (arg == "--token") {
      o.token = value();
    } else if (arg == "--port-file") {
      o.portFile = value();
    } else if (arg == "--parent-pid") {
      o.parentPid = parsePid(value());
    } else if (arg == "--log-file") {
      setLogFilePath(value());
    } else if (arg == "--demo") {
      o.demo = true;
    }
  }
  return o;
}

// Written beside the final name and moved into place, so a reader never sees a partial number.
// Failures are ignored: the plugin then never learns the port and handles that itself.
void writePortFile(const std::string& path, int port) {
  const fs::path target = fs::u8path(path);
  const fs::path tmp = fs::u8path(path + ".tmp");
  {
    std::ofstream out(tmp, std::ios::out | std::ios::trunc);
    out << port;
  }
  std::error_code ec;
  fs::remove(target, ec);
  fs::rename(tmp, target, ec);
}

void removePortFile(const std::string& path) {
  std::error_code ec;
  fs::remove(fs::u8path(path), ec);
}

}  // namespace

int main(int argc, char** argv) {
  // UTF-8 on every platform (on Windows argv is in the ANSI code page).
  std::vector<std::string> args = utf8Arguments(argc, argv);
  std::vector<char*> argPtrs;
  for (std::string& a : args) argPtrs.push_back(a.data());
  const Options opts = parseOptions(static_cast<int>(argPtrs.size()), argPtrs.data());
  setSink(fileSink);

  // Held in optionals so that they are torn down in the documented order, not in reverse
  // declaration order.
  std::optional<Hub> hub;
  std::optional<SmtcWatcher> smtc;
  std::optional<DemoSource> demo;
  std::optional<ExtensionIngest> ingest;
  std::optional<TextOutput> textOutput;
  std::optional<Server> server;

  hub.emplace(50);
  smtc.emplace(*hub);
  demo.emplace(*hub);
  ingest.emplace(*hub, true);
  textOutput.emplace(*hub);
  // The configuration targets need the text output; nothing runs before it starts below.
  ConfigTargets targets{{}, *hub, *textOutput, *demo};
  textOutput->start();

  server.emplace(*hub, "0.2.0");
  server->setIngest(&*ingest);
  server->setControl(
      opts.token, [&targets](const std::string& body) { applyConfig(targets, body); },
      [] { stopRequested.exchange(true); });

  // Destroys the objects in the documented order (each destructor stops what still runs).
  const auto destroyAll = [&] {
    server.reset();
    textOutput.reset();
    ingest.reset();
    smtc.reset();
    demo.reset();
    hub.reset();
  };

  const int port = server->start(portCandidates());
  if (port == 0) {
    log(kLogError, "no free port");
    destroyAll();
    return 2;
  }
  log(kLogInfo, "listening on " + server->baseUrl());
  if (!opts.portFile.empty()) writePortFile(opts.portFile, port);

  smtc->start();
  {
    std::lock_guard<std::mutex> lock(targets.configLock);
    setDemo(targets, opts.demo);
  }

  std::unique_ptr<ParentProcess> parent;
  while (!stopRequested.load()) {
    if (opts.parentPid > 0) {
      // Opened once and kept, so a recycled pid is never taken for the parent.
      if (!parent) parent = openParentProcess(opts.parentPid);
      if (!parent->running()) {
        log(kLogInfo, "parent process exited");
        break;
      }
    }
    ingest->expireReports(wallNowMs());
    std::this_thread::sleep_until(std::chrono::steady_clock::now() +
                                  std::chrono::milliseconds(250));
  }

  smtc->stop();
  demo->stop();
  textOutput->stop();
  server->stop();
  if (!opts.portFile.empty()) removePortFile(opts.portFile);

  destroyAll();
  return 0;
}
