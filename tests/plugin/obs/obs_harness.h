#pragma once

// Runs the real tunelight module inside the real libobs (no OBS front end). The harness keeps
// every source description the module registers, records the settings each stand-in browser
// child receives, and collects the log.

#include <obs.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/agent_process.h"

namespace tunelight::test {

// What the agent beside the module is.
enum class AgentKind { None, Real, Script };

struct HarnessOptions {
  AgentKind agent = AgentKind::None;
  std::string agent_script;       // body of a /bin/sh script for AgentKind::Script
  bool browser_source = true;     // register the stand-in "browser_source" type
  bool video = false;             // 1920 x 1080 canvas with the OpenGL renderer
  bool text_module = false;       // load the system's FreeType text module too
  uint32_t fake_obs_version = 0;  // what obs_get_version reports to the module (0: the real one)
};

// Longest and count of the card type's callbacks as libobs called them: monotonic time around
// each call, less the time the thread waited for a CPU (its run-queue delay), so that a loaded
// machine does not count as a slow callback while waiting for a lock or I/O still does.
struct CallTimes {
  int updates = 0, ticks = 0, renders = 0;
  double max_update_ms = 0, max_tick_ms = 0, max_render_ms = 0;
  double max_wall_ms = 0;  // the longest call on the monotonic clock alone
};

// Straight-alpha RGBA pixels read back from a render.
struct Capture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgba;
  const uint8_t* at(uint32_t x, uint32_t y) const { return &rgba[(y * width + x) * 4]; }
};

class ObsHarness {
 public:
  explicit ObsHarness(const HarnessOptions& o = {});
  ~ObsHarness();  // shuts libobs down (unloading the module) unless shutdown() ran

  void shutdown();

  // How long obs_init_module of the tunelight module took (its obs_module_load).
  double moduleLoadMs() const { return load_ms_; }

  const TempDir& dir() const { return dir_; }
  std::string binDir() const { return dir_.file("bin"); }
  std::string configDir() const;  // the module's configuration directory, with a trailing '/'

  // Copies of the log lines so far, and a wait for a line containing text (counted from `from`).
  std::vector<std::string> log() const;
  bool waitLog(const std::string& text, int timeoutMs, size_t minCount = 1) const;
  size_t countLog(const std::string& text) const;

  // The registered description of a source type (as the module passed it) and its size.
  const obs_source_info* info(const char* id) const;
  size_t infoSize(const char* id) const;

  // A card source (public, so the scene and enumeration functions see it).
  obs_source_t* createCard(obs_data_t* settings, const char* name = "card");
  void* cardData(obs_source_t* card) const { return obs_obj_get_data(card); }
  void tick(obs_source_t* card, float seconds);
  void update(obs_source_t* card, obs_data_t* settings);

  // The settings the module has sent to browser children, oldest first, as JSON texts.
  std::vector<std::string> browserUpdates() const;
  // The browser child of a card (through the card's source enumeration); null when none.
  obs_source_t* browserOf(obs_source_t* card) const;

  // Runs UI tasks queued so far (placement passes) on this thread.
  void runUiTasks();

  // Timings of the card callbacks since the last reset.
  CallTimes callTimes() const;
  void resetCallTimes();

  // With video: renders source on the graphics thread every frame (as a scene would), and hands
  // each frame's browser-child url of `card` to the sampler. Null stops it.
  void renderEachFrame(obs_source_t* source);
  std::vector<std::string> sampledChildUrls() const;

  // With video: renders source once on the graphics thread into a transparent texture of its
  // size times scale and reads it back; empty on time-out.
  Capture capture(obs_source_t* source, int timeoutMs = 3000, uint32_t scale = 1);

 private:
  TempDir dir_;
  bool shut_ = false;
  void* display_ = nullptr;
  std::vector<obs_source_t*> owned_;
  double load_ms_ = 0;
};

// A stand-in agent script that reports `port` at once and then stays up.
std::string reportsPort(int port);

// An obs_data_t owned for a scope.
struct Data {
  obs_data_t* d = obs_data_create();
  ~Data() { obs_data_release(d); }
  operator obs_data_t*() const { return d; }
};

// Values of a settings JSON text.
std::string jsonString(const std::string& json, const char* key);
long long jsonInt(const std::string& json, const char* key);

}  // namespace tunelight::test
