#include <util/bmem.h>
#include <util/platform.h>

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

#include "plugin/controls.h"
#include "plugin/plugin.h"
#include "plugin/supervisor.h"

namespace tunelight::plugin {

namespace {

// Radio-button lists are newer than some libobs headers we build with.
constexpr auto kComboRadio = static_cast<obs_combo_type>(3);

using Items = std::initializer_list<std::pair<const char*, const char*>>;

obs_property_t* add_list(obs_properties_t* props, const char* key, const char* label, Items items,
                         obs_combo_type type = OBS_COMBO_TYPE_LIST) {
  obs_property_t* p =
      obs_properties_add_list(props, key, T(label).c_str(), type, OBS_COMBO_FORMAT_STRING);
  for (const auto& [item_label, value] : items)
    obs_property_list_add_string(p, T(item_label).c_str(), value);
  return p;
}

template <typename E, size_t N>
obs_property_t* add_choices(obs_properties_t* props, const char* key, const char* label,
                            const Choice<E> (&choices)[N]) {
  obs_property_t* p = obs_properties_add_list(props, key, T(label).c_str(), OBS_COMBO_TYPE_LIST,
                                              OBS_COMBO_FORMAT_STRING);
  for (const auto& c : choices) obs_property_list_add_string(p, T(c.label).c_str(), c.name);
  return p;
}

// The switches of one panel group, in their panel order.
void add_switches(obs_properties_t* props, SwitchGroup group) {
  std::vector<const ServiceSwitch*> rows;
  for (const ServiceSwitch& sw : kServiceSwitches)
    if (sw.group == group) rows.push_back(&sw);
  std::sort(rows.begin(), rows.end(), [](const ServiceSwitch* a, const ServiceSwitch* b) {
    return a->panelOrder < b->panelOrder;
  });
  for (const ServiceSwitch* sw : rows) {
    obs_property_t* p = obs_properties_add_bool(props, sw->settingsKey, T(sw->labelKey).c_str());
    if (sw->descriptionKey) obs_property_set_long_description(p, T(sw->descriptionKey).c_str());
  }
}

obs_property_t* add_info(obs_properties_t* props, const char* key, const std::string& text) {
  return obs_properties_add_text(props, key, text.c_str(), OBS_TEXT_INFO);
}

void set_visible(obs_properties_t* props, const char* key, bool visible) {
  if (obs_property_t* p = obs_properties_get(props, key)) obs_property_set_visible(p, visible);
}

// Text for a quoted HTML attribute (the address of a link) as well as content: html_escape plus '.
std::string attribute_escape(const std::string& text) {
  std::string out;
  for (char c : html_escape(text)) {
    if (c == '\'')
      out += "&#39;";
    else
      out += c;
  }
  return out;
}

// The card's address for another tool's browser source: this card's look at its natural size.
std::string widget_info(obs_data_t* s, const std::string& base) {
  CardConfig c = card_config_from(s);
  c.scale = 100;
  const std::string url = attribute_escape(build_widget_url(c, base));
  return T("Widget.Info") + "<br><a href='" + url + "'>" + url + "</a>";
}

// Keeps the shown address in step with the look being edited.
void refresh_widget_info(obs_properties_t* props, obs_data_t* s) {
  obs_property_t* p = obs_properties_get(props, "widget_info");
  const std::string base = supervisor().published_base_url();
  if (p && !base.empty()) obs_property_set_description(p, widget_info(s, base).c_str());
}

bool on_look_modified(obs_properties_t* props, obs_property_t*, obs_data_t* s) {
  refresh_widget_info(props, s);
  return true;
}

// Accent editors only make sense with a progress bar, the colour only when it is custom.
bool on_accent_modified(obs_properties_t* props, obs_property_t*, obs_data_t* s) {
  refresh_widget_info(props, s);
  bool progress = obs_data_get_bool(s, "show_progress");
  set_visible(props, "accent_custom", progress);
  set_visible(props, "accent", progress && obs_data_get_bool(s, "accent_custom"));
  return true;
}

bool on_mode_modified(obs_properties_t* props, obs_property_t*, obs_data_t* s) {
  refresh_widget_info(props, s);
  const char* show = obs_data_get_string(s, "show_mode");
  const char* pos = obs_data_get_string(s, "position");
  set_visible(props, "show_seconds", std::string(show ? show : "") == "track");
  set_visible(props, "position_margin", std::string(pos ? pos : "") != "manual");
  return true;
}

bool on_status_refresh(obs_properties_t* props, obs_property_t*, void* data) {
  auto* card = static_cast<CardSource*>(data);
  if (card) guarded("status refresh", [&] { refresh_status(card->self, props); });
  return true;
}

// On the UI thread: only queues the action; the card shows its effect through the event stream.
template <const char* Action>
bool on_control(obs_properties_t*, obs_property_t*, void*) {
  guarded("player button", [] { control_sender().send(Action); });
  return false;
}
constexpr char kPlayPause[] = "playPause";
constexpr char kPrevious[] = "previous";
constexpr char kNext[] = "next";

bool on_open_folder(obs_properties_t*, obs_property_t*, void* data) {
  auto* card = static_cast<CardSource*>(data);
  if (!card) return false;
  obs_data_t* s = obs_source_get_settings(card->self);
  const char* v = obs_data_get_string(s, "text_files_dir");
  std::string dir = v ? v : "";
  obs_data_release(s);
  if (dir.empty()) return false;
  os_mkdirs(dir.c_str());
  guarded("open folder", [&] { open_folder(dir); });
  return false;
}

std::string about_html() {
  std::string logo;
  if (char* path = obs_find_module_file(module_pointer(), "header-logo.png")) {
    logo = path;
    bfree(path);
    for (char& ch : logo)
      if (ch == '\\') ch = '/';
  }
  std::string html = "<table cellspacing=0 cellpadding=0><tr>";
  if (!logo.empty())
    html += "<td style='padding-right:10px'><img src='" + logo + "' width=40 height=40></td>";
  html += "<td><b style='font-size:15px'>Tunelight</b> " + std::string(kPluginVersion) +
          "<br><a href='" + T("Link.SiteUrl") +
          "'>tunelight.app</a> &nbsp;\xC2\xB7&nbsp; <a href='" + T("Link.HelpUrl") + "'>" +
          T("Link.Help") + "</a></td></tr></table>";
  return html;
}

obs_properties_t* add_group(obs_properties_t* props, const char* key, const char* label,
                            obs_group_type type = OBS_GROUP_NORMAL) {
  obs_properties_t* group = obs_properties_create();
  obs_properties_add_group(props, key, T(label).c_str(), type, group);
  return group;
}

obs_properties_t* build_properties(void* data);

}  // namespace

obs_properties_t* card_get_properties(void* data) {
  obs_properties_t* props = nullptr;
  if (!guarded("properties", [&] { props = build_properties(data); }) && !props)
    props = obs_properties_create();
  return props;
}

namespace {

obs_properties_t* build_properties(void* data) {
  auto* card = static_cast<CardSource*>(data);
  obs_properties_t* props = obs_properties_create();

  obs_property_text_set_info_word_wrap(add_info(props, "about", about_html()), false);

  obs_properties_t* status = add_group(props, "grp_status", "Group.Status");
  obs_property_text_set_info_word_wrap(add_info(status, "status_now", T("Status.Now")), true);
  obs_property_text_set_info_word_wrap(add_info(status, "status_sources", T("Status.Connected")),
                                       true);
  obs_properties_add_button(status, "control_previous", T("Controls.Previous").c_str(),
                            on_control<kPrevious>);
  obs_properties_add_button(status, "control_play_pause", T("Controls.PlayPause").c_str(),
                            on_control<kPlayPause>);
  obs_properties_add_button(status, "control_next", T("Controls.Next").c_str(), on_control<kNext>);
  obs_property_set_visible(add_info(status, "controls_info", T("Controls.Unsupported")), false);
  obs_properties_add_button(status, "status_refresh", T("Status.Refresh").c_str(),
                            on_status_refresh);
  // Which card this OBS gets: the browser's, or the one the module draws itself.
  if (obs_get_source_output_flags("browser_source") == 0)
    obs_property_text_set_info_word_wrap(add_info(status, "renderer", T("Renderer.Native")), true);

  std::string history = build_history_html();
  if (!history.empty()) {
    obs_properties_t* g = add_group(props, "grp_history", "Group.History");
    obs_property_text_set_info_word_wrap(add_info(g, "history_info", history), true);
  }

  if (card) refresh_status(card->self, props);

  obs_properties_t* look = add_group(props, "grp_look", "Group.Look");
  obs_property_set_modified_callback(add_choices(look, "theme", "Theme", kThemes),
                                     on_look_modified);
  obs_property_set_modified_callback(add_choices(look, "layout", "Layout", kLayouts),
                                     on_look_modified);
  obs_property_t* bg = add_choices(look, "background", "Background", kBackgrounds);
  obs_property_set_long_description(bg, T("Background.Description").c_str());
  obs_property_set_modified_callback(bg, on_look_modified);
  obs_property_set_modified_callback(
      add_list(
          look, "font", "Font",
          {{"Font.System", "system"}, {"Font.Onest", "onest"}, {"Font.Unbounded", "unbounded"}}),
      on_look_modified);

  obs_properties_t* time = add_group(props, "grp_time", "Group.Time");
  obs_property_t* p = obs_properties_add_bool(time, "show_progress", T("ShowProgress").c_str());
  obs_property_set_modified_callback(p, on_accent_modified);
  p = add_list(time, "time_format", "TimeFormat",
               {{"TimeFormat.Off", "off"},
                {"TimeFormat.Elapsed", "elapsed"},
                {"TimeFormat.Remaining", "remaining"},
                {"TimeFormat.ElapsedTotal", "elapsed_total"},
                {"TimeFormat.ElapsedRemaining", "elapsed_remaining"}});
  obs_property_set_modified_callback(p, on_look_modified);
  p = obs_properties_add_bool(time, "accent_custom", T("AccentCustom").c_str());
  obs_property_set_modified_callback(p, on_accent_modified);
  obs_property_set_modified_callback(obs_properties_add_color(time, "accent", T("Accent").c_str()),
                                     on_look_modified);

  obs_properties_t* behavior = add_group(props, "grp_behavior", "Group.Behavior");
  p = add_list(behavior, "pause_mode", "PauseMode",
               {{"PauseMode.Dim", "dim"}, {"PauseMode.Hide", "hide"}}, kComboRadio);
  obs_property_set_modified_callback(p, on_look_modified);
  p = add_list(behavior, "show_mode", "ShowMode",
               {{"ShowMode.Always", "always"}, {"ShowMode.Track", "track"}});
  obs_property_set_modified_callback(p, on_mode_modified);
  p = obs_properties_add_int(behavior, "show_seconds", T("ShowSeconds").c_str(), 3, 120, 1);
  obs_property_int_set_suffix(p, T("Unit.Seconds").c_str());
  obs_property_set_modified_callback(p, on_look_modified);
  p = obs_properties_add_text(behavior, "blocklist_text", T("Blocklist").c_str(),
                              OBS_TEXT_MULTILINE);
  obs_property_set_long_description(p, T("Blocklist.Description").c_str());
  add_info(behavior, "blocklist_help",
           "<a href='" + T("Link.HelpUrl") + "#blocklist'>" + T("Blocklist.Help") + "</a>");
  p = add_list(behavior, "position", "Position",
               {{"Position.Manual", "manual"},
                {"Position.TopLeft", "top_left"},
                {"Position.TopCenter", "top_center"},
                {"Position.TopRight", "top_right"},
                {"Position.MiddleLeft", "middle_left"},
                {"Position.Center", "center"},
                {"Position.MiddleRight", "middle_right"},
                {"Position.BottomLeft", "bottom_left"},
                {"Position.BottomCenter", "bottom_center"},
                {"Position.BottomRight", "bottom_right"}});
  obs_property_set_long_description(p, T("Position.Description").c_str());
  obs_property_set_modified_callback(p, on_mode_modified);
  p = obs_properties_add_int(behavior, "position_margin", T("PositionMargin").c_str(), 0, 400, 4);
  obs_property_int_set_suffix(p, " px");

  obs_properties_t* services = add_group(props, "grp_services", "Group.Services");
  add_switches(services, SwitchGroup::kServices);
  obs_properties_t* other = add_group(props, "grp_other", "Group.Other");
  add_switches(other, SwitchGroup::kOther);
  p = obs_properties_add_bool(other, "demo", T("Demo").c_str());
  obs_property_set_long_description(p, T("Demo.Description").c_str());

  obs_properties_t* files = add_group(props, "text_files", "TextFiles", OBS_GROUP_CHECKABLE);
  obs_properties_add_path(files, "text_files_dir", T("TextFiles.Dir").c_str(), OBS_PATH_DIRECTORY,
                          nullptr, nullptr);
  obs_properties_add_button(files, "text_files_open", T("TextFiles.Open").c_str(), on_open_folder);
  obs_property_text_set_info_word_wrap(add_info(files, "text_files_info", T("TextFiles.Info")),
                                       true);

  // The published address never waits behind an agent launch, so the panel opens at once.
  std::string base = supervisor().published_base_url();
  if (!base.empty()) {
    if (card) {
      obs_data_t* s = obs_source_get_settings(card->self);
      obs_property_text_set_info_word_wrap(add_info(props, "widget_info", widget_info(s, base)),
                                           true);
      obs_data_release(s);
    }
    std::string api = T("Api.Info") + "<br><a href='" + base + "/api/now-playing'>" + base +
                      "/api/now-playing</a> &nbsp;\xC2\xB7&nbsp; " + base + "/events";
    obs_property_text_set_info_word_wrap(add_info(props, "api_info", api), true);
  }
  return props;
}

}  // namespace
}  // namespace tunelight::plugin
