// tunelight-agent: builds every long-lived object, serves the loopback HTTP interface and idles
// until the plugin asks it to stop, the process that started it is gone or a signal asks it to end.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_config.h"
#include "agent/clock.h"
#include "agent/control.h"
#include "agent/demo_source.h"
#include "agent/exit_codes.h"
#include "agent/http/server.h"
#include "agent/hub.h"
#include "agent/log.h"
#include "agent/platform/command_line.h"
#include "agent/platform/fs.h"
#include "agent/platform/main_loop_wait.h"
#include "agent/platform/memory.h"
#include "agent/platform/parent_process.h"
#include "agent/platform/stop_signals.h"
#include "agent/sources/extension_ingest.h"
#include "agent/sources/media_control.h"
#include "agent/sources/session_watcher.h"
#include "agent/text_output.h"
#include "agent/thread_annotations.h"

namespace {

using namespace tunelight;

constexpr char kVersion[] = "0.2.0";

const char kHelp[] =
    "Usage: tunelight-agent [options]\n"
    "Serves what is playing on http://127.0.0.1 (first free port of 48210-48214).\n"
    "\n"
    "  --token <text>       token for /api/config, /api/control and /api/shutdown (without it\n"
    "                       they do not exist)\n"
    "  --port-file <path>   write the bound port into this file\n"
    "  --parent-pid <pid>   stop when this process ends\n"
    "  --log-file <path>    append the log to this file (default: standard error)\n"
    "  --demo               play the demo track from the start\n"
    "  --diagnose           read the media sessions once, print what they say (JSON) and exit\n"
    "  --help               print this text and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "Unknown options are ignored. SIGTERM, SIGINT and SIGHUP stop the agent; a second one ends\n"
    "it at once.\n"
    "\n"
    "Exit codes: 0 stopped as asked, 2 no free port, 3 the system's media-session code crashed\n"
    "(start the agent again).\n";

std::atomic<bool> stopRequested{false};
std::atomic<bool> mediaFault{false};
// How long shutdown waits for the media-session watcher, which may be stuck in a system call.
constexpr int32_t kWatcherStopMs = 1000;

struct Options {
  std::string token;
  std::string portFile;
  std::string logFile;
  int32_t parentPid = 0;
  bool demo = false;
  bool diagnose = false;
  bool help = false;
  bool version = false;
};

// Base-10 like strtol, clamped to 32 bits so that the result is the same where long is wider.
int32_t parsePid(const std::string& s) {
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  v = std::clamp<long long>(v, INT32_MIN, INT32_MAX);
  return static_cast<int32_t>(v);
}

Options parseOptions(const std::vector<std::string>& args) {
  Options o;
  const size_t n = args.size();
  for (size_t i = 1; i < n; ++i) {
    const std::string& arg = args[i];
    // An option with a value takes the next argument whatever it looks like; as the last
    // argument its value is empty.
    auto value = [&]() -> std::string { return i + 1 < n ? args[++i] : std::string(); };
    if (arg == "--token") {
      o.token = value();
    } else if (arg == "--port-file") {
      o.portFile = value();
    } else if (arg == "--parent-pid") {
      o.parentPid = parsePid(value());
    } else if (arg == "--log-file") {
      o.logFile = value();
    } else if (arg == "--demo") {
      o.demo = true;
    } else if (arg == "--diagnose") {
      o.diagnose = true;
    } else if (arg == "--help") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    }
    // Anything else is ignored: the plugin may pass options a newer agent knows.
  }
  return o;
}

// Written beside the final name and moved into place, so a reader never sees a partial number.
// A failure keeps the agent running (the plugin handles a missing file) but says why.
void writePortFile(const std::string& path, int port) {
  std::string error;
  if (!writeFileAtomically(path, std::to_string(port), &error))
    log(kLogError, "port file: cannot write " + path + ": " + error);
}

void removePortFile(const std::string& path) {
  std::string error;
  if (!removeFile(path, &error) && !error.empty())
    log(kLogError, "port file: cannot delete " + path + ": " + error);
}

// One pass of the main loop's work; false when the parent has gone.
bool mainLoopPass(ParentProcess* parent, ExtensionIngest& ingest) {
  if (parent && !parent->running()) {
    log(kLogInfo, "parent process exited");
    return false;
  }
  // A flood of reports leaves freed memory behind; hand it back once sources expire.
  if (ingest.expireReports(wallNowMs()) > 0) releaseFreeMemory();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // UTF-8 on every platform (on Windows argv is in the ANSI code page).
  const Options opts = parseOptions(utf8Arguments(argc, argv));
  if (opts.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (opts.version) {
    std::printf("tunelight-agent %s\n", kVersion);
    return 0;
  }
  if (opts.diagnose) {
    // No port, no log file: the report goes to standard output (redirect it to keep it).
    std::unique_ptr<MediaBackend> backend = makePlatformMediaBackend();
    std::fputs(diagnoseMediaSessions(*backend, kVersion).c_str(), stdout);
    std::fflush(stdout);
    return kExitOk;
  }
  // Opened before anything else runs, so that a parent that is already gone cannot have its pid
  // taken by another process in the meantime. A pid that cannot be opened counts as exited.
  std::unique_ptr<ParentProcess> parent;
  if (opts.parentPid > 0) parent = openParentProcess(opts.parentPid);

  setLogFilePath(opts.logFile);
  setSink(fileSink);
  initMainLoopWake();
  installStopSignals(&stopRequested);

  // Held in optionals so that they are torn down in the documented order, not in reverse
  // declaration order.
  std::optional<Hub> hub;
  std::optional<SessionWatcher> sessions;
  std::optional<DemoSource> demo;
  std::optional<ExtensionIngest> ingest;
  std::optional<TextOutput> textOutput;
  std::optional<Server> server;
  // Player actions; used by the server's workers only, so they outlive it.
  std::unique_ptr<PlayerControl> mediaControl;
  std::optional<Controller> controller;

  hub.emplace(50);
  sessions.emplace(*hub);
  mediaControl = makePlatformMediaControl(*sessions);
  controller.emplace(*hub);
  controller->route(kKindMediaApp, mediaControl.get());
  controller->route(kKindMediaBrowser, mediaControl.get());
  sessions->setOnFault([] {
    mediaFault = true;
    stopRequested.exchange(true);
    wakeMainLoop();
  });
  demo.emplace(*hub);
  ingest.emplace(*hub, true);
  controller->route(kKindExtension, &*ingest);
  textOutput.emplace(*hub);
  // The configuration targets need the text output; nothing runs before it starts below.
  ConfigTargets targets{{}, *hub, *textOutput, *demo};
  textOutput->start();

  server.emplace(*hub, kVersion);
  server->setIngest(&*ingest);
  server->setControl(
      opts.token, [&targets](const std::string& body) { applyConfig(targets, body); },
      [] {
        stopRequested.exchange(true);
        wakeMainLoop();
      });
  server->setPlayerControl(&*controller);
  // The first extension source needs the expiry checks below.
  ingest->setOnNewSource(wakeMainLoop);

  // Destroys the objects in the documented order (each destructor stops what still runs).
  const auto destroyAll = [&] {
    server.reset();
    controller.reset();
    textOutput.reset();
    ingest.reset();
    sessions.reset();
    demo.reset();
    hub.reset();
  };

  const int port = server->start(portCandidates());
  if (port == 0) {
    log(kLogError, "no free port");
    destroyAll();
    return kExitNoFreePort;
  }
  log(kLogInfo, "listening on " + server->baseUrl());
  if (!opts.portFile.empty()) writePortFile(opts.portFile, port);

  sessions->start();
  if (opts.demo) {
    // Only ever starts: the plugin's first configuration may already have switched it on.
    MutexLock lock(targets.configLock);
    setDemo(targets, true);
  }

  while (!stopRequested.load()) {
    try {
      if (!mainLoopPass(parent.get(), *ingest)) break;
    } catch (const std::exception& e) {
      log(kLogError, std::string("main: ") + e.what());
    } catch (...) {
      log(kLogError, "main: unknown exception");
    }
    // Expiry wants a look every 250 ms, but only while extension sources live; a stop request,
    // the parent's end (where the platform can wait for it) and a first source wake the wait.
    const bool poll = ingest->hasReports() || (parent && parent->endSignal() < 0);
    waitMainLoop(parent.get(), poll ? 250 : -1);
  }

  const bool watcherStopped = sessions->stop(kWatcherStopMs);
  if (!watcherStopped) log(kLogError, "SMTC: stuck in a system call; exiting without it");
  // Under the configuration lock, and for good: a configuration request served meanwhile can
  // neither race this stop nor start the demo again.
  closeDemo(targets);
  textOutput->stop();
  server->stop();
  if (!opts.portFile.empty()) removePortFile(opts.portFile);

  const int code = mediaFault ? kExitMediaFault : kExitOk;
  if (!watcherStopped) {
    // Its thread still uses the hub and the watcher: no destructor may run.
    std::fflush(nullptr);
    std::_Exit(code);
  }
  destroyAll();
  return code;
}
