#pragma once

// Shared declarations of the module's libobs-facing files.

#include <obs-module.h>

#include <string>

#include "plugin/card_logic.h"

namespace tunelight::plugin {

obs_module_t* module_pointer();

// Localised text of key; the key itself when the locale files lack it.
std::string T(const char* key);

// Logs through libobs with the module prefix. Levels: LOG_ERROR, LOG_WARNING, LOG_INFO.
void plugin_log(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Card source type (card_source.cpp).
void register_card_source();

// One card source instance.
struct CardSource {
  obs_source_t* self = nullptr;
  obs_source_t* browser = nullptr;  // owned; null without a browser source type
  CardConfig config;
  std::string applied_base_url;
  std::string position = "manual";
  int32_t position_margin = 40;
  float placement_timer = 0.0f;
};

void card_update(CardSource* card, obs_data_t* settings);
void reconfigure_browser(CardSource* card);

// Properties panel (properties.cpp).
obs_properties_t* card_get_properties(void* data);

// Placement (placement.cpp): queues a pass on the UI thread; runs one on the caller's thread.
void queue_placement(CardSource* card);
void apply_placement(CardSource* card);

// Agent client (agent_client.cpp).
std::string agent_get(const std::string& path);
bool agent_post(const std::string& base_url, const std::string& token, const std::string& path,
                const std::string& body);
void push_config(const AgentConfig& c);
StatusReport build_status();
void refresh_status(obs_source_t* source, obs_properties_t* props);
std::string build_history_html();

}  // namespace tunelight::plugin
