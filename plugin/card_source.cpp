#include <graphics/matrix4.h>
#include <util/bmem.h>

#include <cstring>

#include "plugin/native/native_card.h"
#include "plugin/plugin.h"
#include "plugin/supervisor.h"

namespace tunelight::plugin {

namespace {

#if LIBOBS_API_MAJOR_VER >= 33
using FullSourceInfo = obs_source_info;
#else
// The description as libobs 33.0 and later know it: our headers predate the two icon-file
// callbacks (and, before 30, the filter_add member that precedes them).
struct FullSourceInfo : obs_source_info {
#if LIBOBS_API_MAJOR_VER < 30
  void (*filter_add)(void* data, obs_source_t* source);
#endif
  const char* (*get_dark_icon)(void* type_data);
  const char* (*get_light_icon)(void* type_data);
};
#endif

constexpr uint32_t kLibobs33 = 0x21000000;  // 33.0.0

std::string str_or(obs_data_t* s, const char* key, const char* fallback) {
  const char* v = obs_data_get_string(s, key);
  return v && *v ? v : fallback;
}

const char* card_get_name(void*) {
  static std::string name;
  name = T("SourceName");
  return name.c_str();
}

// Logged once per module: the reason the cards draw themselves.
std::atomic<bool> g_native_logged{false};

void* card_create(obs_data_t* settings, obs_source_t* source) {
  auto* card = new CardSource();
  card->self = source;
  guarded("card create", [&] {
    // A missing type still yields a placeholder source, so ask for the type itself.
    if (obs_get_source_output_flags("browser_source") != 0)
      card->browser = obs_source_create_private("browser_source", "tunelight-browser", nullptr);
    if (!card->browser) {
      if (!g_native_logged.exchange(true))
        plugin_log(LOG_INFO, "native card: this OBS has no browser source");
      card->native = std::make_unique<NativeCard>(source);
    }
    card_update(card, settings);
    // libobs does not tick the source before create returns: configure the child right here.
    CardConfig config;
    {
      std::lock_guard<std::mutex> g(card->lock);
      config = card->config;
      card->look_changed = false;
    }
    if (card->native) card->native->set_config(config);
    reconfigure_browser(card, config, supervisor().published_base_url());
  });
  return card;
}

void card_destroy(void* data) {
  auto* card = static_cast<CardSource*>(data);
  guarded("card destroy", [&] {
    card->native.reset();
    if (card->browser) obs_source_release(card->browser);
  });
  delete card;
}

void card_update_cb(void* data, obs_data_t* settings) {
  guarded("card update", [&] { card_update(static_cast<CardSource*>(data), settings); });
}

void card_get_defaults(obs_data_t* s) {
  obs_data_set_default_string(s, "theme", kThemes[0].name);
  obs_data_set_default_string(s, "layout", kLayouts[0].name);
  obs_data_set_default_string(s, "background", kBackgrounds[0].name);
  obs_data_set_default_string(s, "font", "system");
  obs_data_set_default_bool(s, "accent_custom", false);
  obs_data_set_default_int(s, "accent", 4281028336LL);
  obs_data_set_default_string(s, "time_format", "off");
  obs_data_set_default_bool(s, "text_files", false);
  if (char* dir = obs_module_get_config_path(module_pointer(), "now-playing")) {
    obs_data_set_default_string(s, "text_files_dir", dir);
    bfree(dir);
  }
  obs_data_set_default_string(s, "show_mode", "always");
  obs_data_set_default_int(s, "show_seconds", 10);
  obs_data_set_default_string(s, "position", "manual");
  obs_data_set_default_int(s, "position_margin", 40);
  obs_data_set_default_string(s, "pause_mode", "dim");
  obs_data_set_default_bool(s, "show_progress", true);
  for (const ServiceSwitch& sw : kServiceSwitches)
    obs_data_set_default_bool(s, sw.settingsKey, sw.defaultOn);
  obs_data_set_default_bool(s, "demo", false);
}

uint32_t card_get_width(void* data) {
  return static_cast<CardSource*>(data)->width.load();
}

uint32_t card_get_height(void* data) {
  return static_cast<CardSource*>(data)->height.load();
}

// Graphics thread, every frame: nothing here waits for the supervisor or any I/O.
void card_video_tick(void* data, float seconds) {
  auto* card = static_cast<CardSource*>(data);
  guarded("card tick", [&] {
    bool look, place = false;
    CardConfig config;
    {
      std::lock_guard<std::mutex> g(card->lock);
      look = card->look_changed;
      card->look_changed = false;
      if (look) config = card->config;
      if (card->place_now) card->placement_timer = 1.0f;
      card->place_now = false;
      card->placement_timer += seconds;
      if (card->placement_timer >= 1.0f) {
        card->placement_timer = 0.0f;
        place = card->position != "manual";
      }
    }
    if (place) queue_placement(card);
    if (card->native) {
      if (look) card->native->set_config(config);
      card->native->tick(seconds);
      return;
    }
    // The published URL: a launch in progress never stalls the graphics thread.
    std::string base = supervisor().published_base_url();
    if (!look && base == card->applied_base_url) return;
    if (!look) {
      std::lock_guard<std::mutex> g(card->lock);
      config = card->config;
    }
    reconfigure_browser(card, config, base);
  });
}

void card_video_render(void* data, gs_effect_t*) {
  auto* card = static_cast<CardSource*>(data);
  guarded("card render", [&] {
    if (card->native) {
      card->native->render();
      return;
    }
    if (!card->browser) return;
    float f = 100.0f / static_cast<float>(kCardScale);
    gs_matrix_push();
    gs_matrix_scale3f(f, f, 1.0f);
    obs_source_video_render(card->browser);
    gs_matrix_pop();
  });
}

void card_enum_sources(void* data, obs_source_enum_proc_t cb, void* param) {
  auto* card = static_cast<CardSource*>(data);
  if (card->browser) cb(card->self, card->browser, param);
  if (card->native) card->native->enum_children(cb, param);
}

const char* icon_path(const char* file) {
  return obs_find_module_file(module_pointer(), file);
}
const char* card_dark_icon(void*) {
  return icon_path("source-icon-dark.svg");
}
const char* card_light_icon(void*) {
  return icon_path("source-icon-light.svg");
}

}  // namespace

CardConfig card_config_from(obs_data_t* s) {
  CardConfig c;
  c.theme = parse_theme(str_or(s, "theme", ""));
  c.layout = parse_layout(str_or(s, "layout", ""));
  c.background = parse_background(str_or(s, "background", ""));
  c.font = str_or(s, "font", "system");
  c.accent = obs_data_get_bool(s, "accent_custom") ? accent_hex(obs_data_get_int(s, "accent")) : "";
  c.time_format = str_or(s, "time_format", "off");
  c.scale = kCardScale;
  c.hide_on_pause = str_or(s, "pause_mode", "dim") == "hide";
  c.show_for = str_or(s, "show_mode", "always") == "track"
                   ? static_cast<int32_t>(obs_data_get_int(s, "show_seconds"))
                   : 0;
  c.show_progress = obs_data_get_bool(s, "show_progress");
  return c;
}

// Copies the settings into the card and hands the agent's part to the push worker: it may run
// on the graphics thread, so it takes nothing but the card's own lock.
void card_update(CardSource* card, obs_data_t* s) {
  const CardConfig c = card_config_from(s);
  std::string position = str_or(s, "position", "manual");
  auto margin = static_cast<int32_t>(obs_data_get_int(s, "position_margin"));
  auto [w, h] = card_size(c);

  AgentConfig a;
  for (const ServiceSwitch& sw : kServiceSwitches)
    a.*(sw.on) = obs_data_get_bool(s, sw.settingsKey);
  a.demo = obs_data_get_bool(s, "demo");
  const char* text = obs_data_get_string(s, "blocklist_text");
  a.blocklist = parse_blocklist_text(text ? text : "");
  if (obs_data_array_t* arr = obs_data_get_array(s, "blocklist")) {
    size_t n = obs_data_array_count(arr);
    for (size_t i = 0; i < n; ++i) {
      obs_data_t* item = obs_data_array_item(arr, i);
      const char* v = obs_data_get_string(item, "value");
      if (v && *v) a.blocklist.push_back(v);
      obs_data_release(item);
    }
    obs_data_array_release(arr);
  }
  if (obs_data_get_bool(s, "text_files")) {
    const char* dir = obs_data_get_string(s, "text_files_dir");
    a.outputDir = dir ? dir : "";
  }

  {
    std::lock_guard<std::mutex> g(card->lock);
    card->config = std::move(c);
    card->position = std::move(position);
    card->position_margin = margin;
    card->look_changed = true;
    card->place_now = true;
  }
  // The browser child's size, or the card's own: half the page, which is its logical size.
  if (card->browser || card->native) {
    card->width = static_cast<uint32_t>(w) * 100u / kCardScale;
    card->height = static_cast<uint32_t>(h) * 100u / kCardScale;
  }
  push_config(a);
}

void reconfigure_browser(CardSource* card, const CardConfig& config, const std::string& base_url) {
  card->applied_base_url = base_url;
  if (!card->browser) return;
  auto [w, h] = card_size(config);
  std::string url = build_widget_url(config, base_url);
  obs_data_t* s = obs_data_create();
  obs_data_set_bool(s, "is_local_file", false);
  obs_data_set_string(s, "url", url.c_str());
  obs_data_set_int(s, "width", w);
  obs_data_set_int(s, "height", h);
  obs_data_set_bool(s, "shutdown", false);
  obs_data_set_bool(s, "restart_when_active", false);
  obs_data_set_bool(s, "reroute_audio", false);
  obs_source_update(card->browser, s);
  obs_data_release(s);
}

void register_card_source() {
  FullSourceInfo info = {};
  info.id = "tunelight_card";
  info.type = OBS_SOURCE_TYPE_INPUT;
  info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW | OBS_SOURCE_SRGB;
  info.icon_type = static_cast<obs_icon_type>(11);
  info.get_name = card_get_name;
  info.create = card_create;
  info.destroy = card_destroy;
  info.update = card_update_cb;
  info.get_defaults = card_get_defaults;
  info.get_properties = card_get_properties;
  info.get_width = card_get_width;
  info.get_height = card_get_height;
  info.video_tick = card_video_tick;
  info.video_render = card_video_render;
  info.enum_active_sources = card_enum_sources;
  info.enum_all_sources = card_enum_sources;
  if (obs_get_version() < kLibobs33) {
    obs_register_source_s(&info, sizeof(obs_source_info));
  } else {
    FullSourceInfo full = info;
    full.icon_type = static_cast<obs_icon_type>(13);
    full.get_dark_icon = card_dark_icon;
    full.get_light_icon = card_light_icon;
    obs_register_source_s(&full, sizeof(FullSourceInfo));
  }
}

}  // namespace tunelight::plugin
