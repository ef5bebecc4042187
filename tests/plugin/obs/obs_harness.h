#pragma once

// Runs the real tunelight module inside the real libobs (no OBS front end). The harness keeps
// every source description the module registers, records the settings each stand-in browser
// child receives, and collects the log.

#include <obs.h>

#include <cstdint>
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
  uint32_t fake_obs_version = 0;  // what obs_get_version reports to the module (0: the real one)
};

class ObsHarness {
 public:
  explicit ObsHarness(const HarnessOptions& o = {});
  ~ObsHarness();  // shuts libobs down (unloading the module) unless shutdown() ran

  void shutdown();

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

 private:
  TempDir dir_;
  bool shut_ = false;
  void* display_ = nullptr;
  std::vector<obs_source_t*> owned_;
};

// Values of a settings JSON text.
std::string jsonString(const std::string& json, const char* key);
long long jsonInt(const std::string& json, const char* key);

}  // namespace tunelight::test
