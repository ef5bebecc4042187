#include "tests/plugin/obs/obs_harness.h"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <graphics/vec4.h>
#include <obs-module.h>
#include <obs-nix-platform.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

namespace {

// Guards every global below.
std::mutex g_mutex;
std::vector<std::string> g_log;
std::map<std::string, std::vector<unsigned char>> g_infos;
std::vector<std::string> g_browser_updates;
std::deque<std::pair<obs_task_t, void*>> g_ui_tasks;
uint32_t g_fake_version = 0;
tunelight::test::CallTimes g_times;
obs_source_t* g_render_each_frame = nullptr;
std::vector<std::string> g_child_urls;
// A pending capture: the source, then the result and a flag set by the graphics thread.
struct CaptureRequest {
  obs_source_t* source = nullptr;
  uint32_t scale = 1;
  bool taken = false;  // the graphics thread works on it
  bool done = false;
  tunelight::test::Capture result;
};
CaptureRequest* g_capture = nullptr;
std::condition_variable g_capture_done;

// The card type's callbacks as the module registered them; libobs gets timed wrappers.
void (*g_card_update)(void*, obs_data_t*) = nullptr;
void (*g_card_tick)(void*, float) = nullptr;
void (*g_card_render)(void*, gs_effect_t*) = nullptr;
void (*g_infos_card_enum)(void*, obs_source_enum_proc_t, void*) = nullptr;

double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}
// Nanoseconds this thread has spent runnable but waiting for a CPU (second field of its
// schedstat); 0 where the kernel does not keep it.
uint64_t run_queue_wait_ns() {
  thread_local int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
  char buf[128];
  ssize_t n = fd >= 0 ? pread(fd, buf, sizeof buf - 1, 0) : -1;
  if (n <= 0) return 0;
  buf[n] = 0;
  unsigned long long on_cpu = 0, waiting = 0;
  return std::sscanf(buf, "%llu %llu", &on_cpu, &waiting) == 2 ? waiting : 0;
}

// Runs call and records its time into count and longest.
template <typename F>
void timed(F&& call, int tunelight::test::CallTimes::*count,
           double tunelight::test::CallTimes::*longest) {
  uint64_t w0 = run_queue_wait_ns();
  auto t0 = std::chrono::steady_clock::now();
  call();
  double wall = ms_since(t0);
  double ms = std::max(0.0, wall - double(run_queue_wait_ns() - w0) / 1e6);
  std::lock_guard<std::mutex> g(g_mutex);
  ++(g_times.*count);
  g_times.*longest = std::max(g_times.*longest, ms);
  g_times.max_wall_ms = std::max(g_times.max_wall_ms, wall);
}

void timed_update(void* data, obs_data_t* settings) {
  timed([&] { g_card_update(data, settings); }, &tunelight::test::CallTimes::updates,
        &tunelight::test::CallTimes::max_update_ms);
}
void timed_tick(void* data, float seconds) {
  timed([&] { g_card_tick(data, seconds); }, &tunelight::test::CallTimes::ticks,
        &tunelight::test::CallTimes::max_tick_ms);
}
void timed_render(void* data, gs_effect_t* effect) {
  timed([&] { g_card_render(data, effect); }, &tunelight::test::CallTimes::renders,
        &tunelight::test::CallTimes::max_render_ms);
}

template <typename F>
F next_symbol(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void log_handler(int lvl, const char* msg, va_list args, void*) {
  char buf[4096];
  vsnprintf(buf, sizeof buf, msg, args);
  std::fprintf(stderr, "[obs %d] %s\n", lvl, buf);
  std::lock_guard<std::mutex> g(g_mutex);
  g_log.push_back(buf);
}

void ui_task_handler(obs_task_t task, void* param, bool wait) {
  if (wait) {
    task(param);
    return;
  }
  std::lock_guard<std::mutex> g(g_mutex);
  g_ui_tasks.emplace_back(task, param);
}

// Stand-in for the browser plugin's source: sized by the "width"/"height" it is given.
struct StandIn {
  obs_source_t* source;
};
void* standin_create(obs_data_t*, obs_source_t* s) {
  return new StandIn{s};
}
void standin_destroy(void* d) {
  delete static_cast<StandIn*>(d);
}
uint32_t standin_dim(void* d, const char* key) {
  obs_data_t* s = obs_source_get_settings(static_cast<StandIn*>(d)->source);
  auto v = static_cast<uint32_t>(obs_data_get_int(s, key));
  obs_data_release(s);
  return v;
}
uint32_t standin_width(void* d) {
  return standin_dim(d, "width");
}
uint32_t standin_height(void* d) {
  return standin_dim(d, "height");
}
const char* standin_name(void*) {
  return "stand-in browser";
}

void register_standin() {
  obs_source_info info = {};
  info.id = "browser_source";
  info.type = OBS_SOURCE_TYPE_INPUT;
  info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW;
  info.get_name = standin_name;
  info.create = standin_create;
  info.destroy = standin_destroy;
  info.get_width = standin_width;
  info.get_height = standin_height;
  obs_register_source(&info);
}

void find_child(obs_source_t*, obs_source_t* child, void* param) {
  *static_cast<obs_source_t**>(param) = child;
}

// Renders source into a transparent texture of its size and reads it back (graphics thread).
tunelight::test::Capture render_and_read(obs_source_t* source, uint32_t scale) {
  tunelight::test::Capture out;
  uint32_t w = obs_source_get_width(source) * scale, h = obs_source_get_height(source) * scale;
  if (!w || !h) return out;
  gs_texrender_t* tr = gs_texrender_create(GS_RGBA, GS_ZS_NONE);
  gs_stagesurf_t* stage = gs_stagesurface_create(w, h, GS_RGBA);
  if (gs_texrender_begin(tr, w, h)) {
    vec4 clear;
    vec4_zero(&clear);
    gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
    gs_ortho(0.0f, float(w), 0.0f, float(h), -100.0f, 100.0f);
    gs_matrix_scale3f(float(scale), float(scale), 1.0f);
    gs_blend_state_push();
    gs_blend_function_separate(GS_BLEND_SRCALPHA, GS_BLEND_INVSRCALPHA, GS_BLEND_ONE,
                               GS_BLEND_INVSRCALPHA);
    obs_source_video_render(source);
    gs_blend_state_pop();
    gs_texrender_end(tr);
    gs_stage_texture(stage, gs_texrender_get_texture(tr));
    uint8_t* data = nullptr;
    uint32_t linesize = 0;
    if (gs_stagesurface_map(stage, &data, &linesize)) {
      out.width = w;
      out.height = h;
      out.rgba.resize(size_t(w) * h * 4);
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
          const uint8_t* p = data + size_t(y) * linesize + x * 4;
          uint8_t* q = &out.rgba[(size_t(y) * w + x) * 4];
          // The target holds premultiplied colour: give the tests straight colour.
          for (int c = 0; c < 3; ++c)
            q[c] = p[3] ? uint8_t(std::min(255, (p[c] * 255 + p[3] / 2) / p[3])) : 0;
          q[3] = p[3];
        }
      }
      gs_stagesurface_unmap(stage);
    }
  }
  gs_stagesurface_destroy(stage);
  gs_texrender_destroy(tr);
  return out;
}

void main_render(void*, uint32_t, uint32_t) {
  obs_source_t* each = nullptr;
  CaptureRequest* request = nullptr;
  {
    std::lock_guard<std::mutex> g(g_mutex);
    each = g_render_each_frame;
    request = g_capture && !g_capture->taken ? g_capture : nullptr;
    if (request) request->taken = true;
  }
  if (each) {
    obs_source_video_render(each);
    obs_source_t* child = nullptr;
    if (g_infos_card_enum) g_infos_card_enum(obs_obj_get_data(each), find_child, &child);
    if (child) {
      obs_data_t* s = obs_source_get_settings(child);
      std::string url = obs_data_get_string(s, "url");
      obs_data_release(s);
      std::lock_guard<std::mutex> g(g_mutex);
      if (g_child_urls.empty() || g_child_urls.back() != url) g_child_urls.push_back(url);
    }
  }
  if (request) {
    tunelight::test::Capture c = render_and_read(request->source, request->scale);
    std::lock_guard<std::mutex> g(g_mutex);
    request->result = std::move(c);
    request->done = true;
    g_capture_done.notify_all();
  }
}

}  // namespace

// Interposed libobs functions: the module binds to these (the harness exports its symbols).
extern "C" {

void obs_register_source_s(const struct obs_source_info* info, size_t size) {
  uint32_t fake;
  {
    std::lock_guard<std::mutex> g(g_mutex);
    g_infos[info->id].assign(reinterpret_cast<const unsigned char*>(info),
                             reinterpret_cast<const unsigned char*>(info) + size);
    fake = g_fake_version;
  }
  // A layout newer than this libobs would be refused by it; keep it only.
  if (size > sizeof(obs_source_info) && fake) return;
  auto forward = next_symbol<void (*)(const obs_source_info*, size_t)>("obs_register_source_s");
  if (std::string(info->id) != "tunelight_card" || size > sizeof(obs_source_info)) {
    forward(info, size);
    return;
  }
  // libobs calls the card through timing wrappers.
  obs_source_info timed = *info;
  g_card_update = info->update;
  g_card_tick = info->video_tick;
  g_card_render = info->video_render;
  g_infos_card_enum = info->enum_all_sources;
  timed.update = timed_update;
  timed.video_tick = timed_tick;
  timed.video_render = timed_render;
  forward(&timed, size);
}

uint32_t obs_get_version(void) {
  {
    std::lock_guard<std::mutex> g(g_mutex);
    if (g_fake_version) return g_fake_version;
  }
  return next_symbol<uint32_t (*)()>("obs_get_version")();
}

void obs_source_update(obs_source_t* source, obs_data_t* settings) {
  const char* id = obs_source_get_id(source);
  if (id && std::string(id) == "browser_source" && settings) {
    std::lock_guard<std::mutex> g(g_mutex);
    g_browser_updates.push_back(obs_data_get_json(settings));
  }
  next_symbol<void (*)(obs_source_t*, obs_data_t*)>("obs_source_update")(source, settings);
}

}  // extern "C"

namespace tunelight::test {

ObsHarness::ObsHarness(const HarnessOptions& o) {
  {
    std::lock_guard<std::mutex> g(g_mutex);
    g_log.clear();
    g_infos.clear();
    g_browser_updates.clear();
    g_ui_tasks.clear();
    g_fake_version = o.fake_obs_version;
    g_times = {};
    g_render_each_frame = nullptr;
    g_child_urls.clear();
    g_capture = nullptr;
  }
  mkdir(binDir().c_str(), 0755);
  mkdir(dir_.file("config").c_str(), 0755);
  std::string module = binDir() + "/tunelight.so";
  // Another build of the module may stand in (bench/plugin_load.sh compares two).
  const char* other = getenv("TUNELIGHT_MODULE");
  if (symlink(other && *other ? other : TUNELIGHT_MODULE_PATH, module.c_str()) != 0)
    throw std::runtime_error("symlink");
  std::string agent = binDir() + "/tunelight-agent";
  if (o.agent == AgentKind::Real) {
    if (symlink(agentPath().c_str(), agent.c_str()) != 0) throw std::runtime_error("symlink");
  } else if (o.agent == AgentKind::Script) {
    std::ofstream(agent) << "#!/bin/sh\n" << o.agent_script;
    chmod(agent.c_str(), 0755);
  }

  base_set_log_handler(log_handler, nullptr);
  display_ = XOpenDisplay(nullptr);
  if (!display_) throw std::runtime_error("no X display (run under xvfb-run)");
  obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
  obs_set_nix_platform_display(display_);
  if (!obs_startup("en-US", dir_.file("config").c_str(), nullptr))
    throw std::runtime_error("obs_startup failed");
  obs_set_ui_task_handler(ui_task_handler);
  if (o.video) {
    obs_video_info ovi = {};
    ovi.graphics_module = "libobs-opengl";
    ovi.fps_num = 30;
    ovi.fps_den = 1;
    ovi.base_width = ovi.output_width = 1920;
    ovi.base_height = ovi.output_height = 1080;
    ovi.output_format = VIDEO_FORMAT_NV12;
    ovi.adapter = 0;
    ovi.gpu_conversion = true;
    ovi.colorspace = VIDEO_CS_709;
    ovi.range = VIDEO_RANGE_PARTIAL;
    ovi.scale_type = OBS_SCALE_BICUBIC;
    int rc = obs_reset_video(&ovi);
    if (rc != OBS_VIDEO_SUCCESS)
      throw std::runtime_error("obs_reset_video failed: " + std::to_string(rc));
  }
  if (o.browser_source) register_standin();
  if (o.video) obs_add_main_render_callback(main_render, nullptr);
  if (o.text_module) {
    obs_module_t* text = nullptr;
    if (obs_open_module(&text, TUNELIGHT_OBS_PLUGIN_DIR "/text-freetype2.so",
                        TUNELIGHT_OBS_DATA_DIR "/text-freetype2") != MODULE_SUCCESS ||
        !obs_init_module(text))
      throw std::runtime_error("cannot load the FreeType text module");
  }

  obs_module_t* mod = nullptr;
  int rc = obs_open_module(&mod, module.c_str(), TUNELIGHT_MODULE_DATA_DIR);
  if (rc != MODULE_SUCCESS) throw std::runtime_error("obs_open_module: " + std::to_string(rc));
  auto t0 = std::chrono::steady_clock::now();
  if (!obs_init_module(mod)) throw std::runtime_error("obs_init_module failed");
  load_ms_ = ms_since(t0);
}

ObsHarness::~ObsHarness() {
  shutdown();
}

void ObsHarness::shutdown() {
  if (shut_) return;
  shut_ = true;
  {
    std::lock_guard<std::mutex> g(g_mutex);
    g_render_each_frame = nullptr;
  }
  // Returns once no frame is in the callback, which may still hold a card it read before: only
  // then may the sources go.
  obs_remove_main_render_callback(main_render, nullptr);
  for (obs_source_t* s : owned_) {
    obs_source_remove(s);
    obs_source_release(s);
  }
  owned_.clear();
  runUiTasks();
  obs_shutdown();
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
  display_ = nullptr;
}

std::string ObsHarness::configDir() const {
  return dir_.file("config") + "/tunelight/";
}

std::vector<std::string> ObsHarness::log() const {
  std::lock_guard<std::mutex> g(g_mutex);
  return g_log;
}

size_t ObsHarness::countLog(const std::string& text) const {
  size_t n = 0;
  for (const auto& line : log())
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

bool ObsHarness::waitLog(const std::string& text, int timeoutMs, size_t minCount) const {
  return waitUntil([&] { return countLog(text) >= minCount; }, timeoutMs);
}

const obs_source_info* ObsHarness::info(const char* id) const {
  std::lock_guard<std::mutex> g(g_mutex);
  auto it = g_infos.find(id);
  return it == g_infos.end() ? nullptr
                             : reinterpret_cast<const obs_source_info*>(it->second.data());
}

size_t ObsHarness::infoSize(const char* id) const {
  std::lock_guard<std::mutex> g(g_mutex);
  auto it = g_infos.find(id);
  return it == g_infos.end() ? 0 : it->second.size();
}

obs_source_t* ObsHarness::createCard(obs_data_t* settings, const char* name) {
  obs_source_t* s = obs_source_create("tunelight_card", name, settings, nullptr);
  if (s) owned_.push_back(s);
  return s;
}

void ObsHarness::tick(obs_source_t* card, float seconds) {
  info("tunelight_card")->video_tick(cardData(card), seconds);
}

void ObsHarness::update(obs_source_t* card, obs_data_t* settings) {
  obs_data_t* current = obs_source_get_settings(card);
  obs_data_apply(current, settings);
  info("tunelight_card")->update(cardData(card), current);
  obs_data_release(current);
}

std::vector<std::string> ObsHarness::browserUpdates() const {
  std::lock_guard<std::mutex> g(g_mutex);
  return g_browser_updates;
}

obs_source_t* ObsHarness::browserOf(obs_source_t* card) const {
  obs_source_t* child = nullptr;
  info("tunelight_card")->enum_all_sources(cardData(card), find_child, &child);
  return child;
}

void ObsHarness::runUiTasks() {
  for (;;) {
    std::pair<obs_task_t, void*> t;
    {
      std::lock_guard<std::mutex> g(g_mutex);
      if (g_ui_tasks.empty()) return;
      t = g_ui_tasks.front();
      g_ui_tasks.pop_front();
    }
    t.first(t.second);
  }
}

CallTimes ObsHarness::callTimes() const {
  std::lock_guard<std::mutex> g(g_mutex);
  return g_times;
}

void ObsHarness::resetCallTimes() {
  std::lock_guard<std::mutex> g(g_mutex);
  g_times = {};
}

void ObsHarness::renderEachFrame(obs_source_t* source) {
  std::lock_guard<std::mutex> g(g_mutex);
  g_render_each_frame = source;
}

std::vector<std::string> ObsHarness::sampledChildUrls() const {
  std::lock_guard<std::mutex> g(g_mutex);
  return g_child_urls;
}

Capture ObsHarness::capture(obs_source_t* source, int timeoutMs, uint32_t scale) {
  CaptureRequest request;
  request.source = source;
  request.scale = scale;
  std::unique_lock<std::mutex> g(g_mutex);
  g_capture = &request;
  bool done = g_capture_done.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                      [&] { return request.done; });
  g_capture = nullptr;
  // A render already under way still writes into request.
  if (!done && request.taken) g_capture_done.wait(g, [&] { return request.done; });
  return done ? request.result : Capture{};
}

std::string reportsPort(int port) {
  return "printf " + std::to_string(port) + " > \"$4\"\nexec sleep 60\n";
}

std::string jsonString(const std::string& json, const char* key) {
  auto j = nlohmann::json::parse(json, nullptr, false);
  return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

long long jsonInt(const std::string& json, const char* key) {
  auto j = nlohmann::json::parse(json, nullptr, false);
  return j.is_object() && j.contains(key) && j[key].is_number() ? j[key].get<long long>() : -1;
}

}  // namespace tunelight::test
