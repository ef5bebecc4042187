#include <util/text-lookup.h>

#include <cstdarg>
#include <cstdio>

#include "plugin/controls.h"
#include "plugin/native/native_feed.h"
#include "plugin/plugin.h"
#include "plugin/supervisor.h"

using namespace tunelight::plugin;

namespace {
obs_module_t* g_module = nullptr;
lookup_t* g_locale = nullptr;
}  // namespace

namespace tunelight::plugin {

obs_module_t* module_pointer() {
  return g_module;
}

std::string T(const char* key) {
  const char* out = key;
  if (g_locale) text_lookup_getstr(g_locale, key, &out);
  return out ? out : key;
}

void plugin_log(int level, const char* format, ...) noexcept {
  // A fixed buffer: logging must work where an allocation just failed.
  char fmt[512];
  std::snprintf(fmt, sizeof fmt, "[tunelight] %s", format);
  va_list args;
  va_start(args, format);
  blogva(level, fmt, args);
  va_end(args);
}

}  // namespace tunelight::plugin

extern "C" {

MODULE_EXPORT void obs_module_set_pointer(obs_module_t* module) {
  g_module = module;
}

MODULE_EXPORT uint32_t obs_module_ver(void) {
  return LIBOBS_API_VER;
}

MODULE_EXPORT void obs_module_set_locale(const char* locale) {
  if (g_locale) text_lookup_destroy(g_locale);
  g_locale = obs_module_load_locale(g_module, "en-US", locale);
}

MODULE_EXPORT void obs_module_free_locale(void) {
  if (g_locale) text_lookup_destroy(g_locale);
  g_locale = nullptr;
}

MODULE_EXPORT bool obs_module_get_string(const char* key, const char** out) {
  return g_locale && text_lookup_getstr(g_locale, key, out);
}

MODULE_EXPORT const char* obs_module_name(void) {
  return "Tunelight";
}

MODULE_EXPORT const char* obs_module_description(void) {
  return "Tunelight: now playing card for Yandex Music, VK Music and Spotify";
}

MODULE_EXPORT bool obs_module_load(void) {
  guarded("module load", [] { supervisor().start(); });
  guarded("module load", [] { register_card_source(); });
  guarded("module load", [] { control_sender().start(); });
  guarded("module load", [] { register_control_hotkeys(); });
  plugin_log(LOG_INFO, "plugin loaded (version %s)", kPluginVersion);
  return true;
}

MODULE_EXPORT void obs_module_unload(void) {
  // The follower first, so that it does not chase the agent going away.
  guarded("module unload", [] { native_feed().stop(); });
  guarded("module unload", [] { unregister_control_hotkeys(); });
  guarded("module unload", [] { control_sender().stop(); });
  guarded("module unload", [] { supervisor().stop(); });
  plugin_log(LOG_INFO, "plugin unloaded");
}

}  // extern "C"
