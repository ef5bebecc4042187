#pragma once

// Shared declarations of the module's libobs-facing files.

#include <obs-module.h>

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "plugin/card_logic.h"

namespace tunelight::plugin {

obs_module_t* module_pointer();

// Localised text of key; the key itself when the locale files lack it.
std::string T(const char* key);

// Logs through libobs with the module prefix. Levels: LOG_ERROR, LOG_WARNING, LOG_INFO.
void plugin_log(int level, const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Runs body and keeps any exception from leaving it: it is logged as "<what>: <reason>".
// False when body threw. Every thread body and libobs callback of the module goes through it.
template <typename F>
bool guarded(const char* what, F&& body) noexcept {
  try {
    body();
    return true;
  } catch (const std::exception& e) {
    plugin_log(LOG_ERROR, "%s: %s", what, e.what());
  } catch (...) {
    plugin_log(LOG_ERROR, "%s: unknown exception", what);
  }
  return false;
}

// Card source type (card_source.cpp).
void register_card_source();

class NativeCard;

// One card source instance.
//
// libobs runs update on its graphics thread (a video source's update is deferred to the next
// tick), create and the placement tasks on the UI thread. The fields under `lock` are written
// by update and read by tick and placement; the lock is held only to copy them.
struct CardSource {
  obs_source_t* self = nullptr;
  obs_source_t* browser = nullptr;     // owned; null without a browser source type
  std::unique_ptr<NativeCard> native;  // the card drawn by the module when there is no browser

  std::mutex lock;
  CardConfig config;
  std::string position = "manual";
  int32_t position_margin = 40;
  bool look_changed = false;  // the next tick applies config to the child
  bool place_now = false;     // the next tick runs a placement pass

  // The card's size, for get_width/get_height from any thread.
  std::atomic<uint32_t> width{0}, height{0};

  // Graphics thread only.
  std::string applied_base_url;
  float placement_timer = 0.0f;
};

// The scale at which every card page is rendered: twice the card, drawn at half size.
inline constexpr int32_t kCardScale = 200;

void card_update(CardSource* card, obs_data_t* settings);
// The card's look from its settings (the browser child's, at its fixed scale).
CardConfig card_config_from(obs_data_t* settings);

void reconfigure_browser(CardSource* card, const CardConfig& config, const std::string& base_url);

// Properties panel (properties.cpp).
obs_properties_t* card_get_properties(void* data);

// Placement (placement.cpp): queues a pass on the UI thread; runs one on the caller's thread.
void queue_placement(CardSource* card);
// Placement reads position and margin under the card's lock.
void apply_placement(CardSource* card);

// Agent client (agent_client.cpp).
std::string agent_get(const std::string& path);
bool agent_post(const std::string& base_url, const std::string& token, const std::string& path,
                const std::string& body);
void push_config(const AgentConfig& c);
// The status report; now_playing, when given, receives the now-playing document it was made from.
StatusReport build_status(std::string* now_playing = nullptr);
void refresh_status(obs_source_t* source, obs_properties_t* props);
std::string build_history_html();

}  // namespace tunelight::plugin
