#include "plugin/controls.h"

#include <obs-frontend-api.h>

#include <iterator>

#include "plugin/plugin.h"
#include "plugin/supervisor.h"

namespace tunelight::plugin {

namespace {

constexpr size_t kMaxQueued = 4;

struct Hotkey {
  const char* name;    // its key in the saved settings
  const char* label;   // locale key of what the hotkey settings show
  const char* action;  // the API's action
  obs_hotkey_id id = OBS_INVALID_HOTKEY_ID;
};

Hotkey g_hotkeys[] = {{"tunelight.play_pause", "Hotkey.PlayPause", "playPause"},
                      {"tunelight.next", "Hotkey.Next", "next"},
                      {"tunelight.previous", "Hotkey.Previous", "previous"},
                      {"tunelight.show", "Hotkey.Show", "show"}};
const char kSaveKey[] = "tunelight_hotkeys";

// On libobs's hotkey thread: only queues.
void on_hotkey(void* data, obs_hotkey_id, obs_hotkey_t*, bool pressed) {
  if (!pressed) return;
  guarded("hotkey", [&] { control_sender().send(static_cast<Hotkey*>(data)->action); });
}

// The bindings live in the scene collection, which OBS writes and reads with its own files.
void on_save(obs_data_t* data, bool saving, void*) {
  guarded("hotkey settings", [&] {
    if (saving) {
      obs_data_t* all = obs_data_create();
      for (const Hotkey& h : g_hotkeys) {
        obs_data_array_t* bindings = obs_hotkey_save(h.id);
        obs_data_set_array(all, h.name, bindings);
        obs_data_array_release(bindings);
      }
      obs_data_set_obj(data, kSaveKey, all);
      obs_data_release(all);
      return;
    }
    obs_data_t* all = obs_data_get_obj(data, kSaveKey);
    if (!all) return;
    for (const Hotkey& h : g_hotkeys) {
      obs_data_array_t* bindings = obs_data_get_array(all, h.name);
      if (bindings) obs_hotkey_load(h.id, bindings);
      obs_data_array_release(bindings);
    }
    obs_data_release(all);
  });
}

std::string control_body(const std::string& action) {
  return "{\"action\":\"" + action + "\"}";
}

}  // namespace

ControlSender& control_sender() {
  static ControlSender instance;
  return instance;
}

void ControlSender::start() {
  std::lock_guard<std::mutex> g(mu_);
  if (worker_.joinable()) return;
  stop_ = false;
  worker_ = std::thread([this] { loop(); });
}

void ControlSender::stop() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void ControlSender::send(const std::string& action) {
  {
    std::lock_guard<std::mutex> g(mu_);
    if (stop_ || queue_.size() >= kMaxQueued) return;
    queue_.push_back(action);
  }
  wake_.notify_all();
}

void ControlSender::loop() {
  for (;;) {
    std::string action;
    {
      std::unique_lock<std::mutex> g(mu_);
      wake_.wait(g, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      action = std::move(queue_.front());
      queue_.pop_front();
    }
    guarded("player action", [&] {
      // The address and token of the agent as the last launch left them; while a launch runs
      // that is the old agent's, and the action fails within the client's time-outs.
      const auto [base, token] = supervisor().published_agent();
      if (base.empty()) {
        plugin_log(LOG_WARNING, "player action %s: the agent is not running", action.c_str());
        return;
      }
      if (!agent_post(base, token, "/api/control", control_body(action)))
        plugin_log(LOG_INFO, "player action %s was not taken", action.c_str());
    });
  }
}

void register_control_hotkeys() {
  for (Hotkey& h : g_hotkeys) {
    if (h.id != OBS_INVALID_HOTKEY_ID) continue;
    h.id = obs_hotkey_register_frontend(h.name, T(h.label).c_str(), on_hotkey, &h);
  }
  obs_frontend_add_save_callback(on_save, nullptr);
}

void unregister_control_hotkeys() {
  obs_frontend_remove_save_callback(on_save, nullptr);
  for (Hotkey& h : g_hotkeys) {
    if (h.id == OBS_INVALID_HOTKEY_ID) continue;
    obs_hotkey_unregister(h.id);
    h.id = OBS_INVALID_HOTKEY_ID;
  }
}

}  // namespace tunelight::plugin
