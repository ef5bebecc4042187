#include "plugin/native/native_feed.h"

#include <httplib.h>
#include <util/bmem.h>
#include <util/platform.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "plugin/agent_process.h"
#include "plugin/plugin.h"
#include "plugin/supervisor.h"

namespace tunelight::plugin {

namespace {

using namespace std::chrono_literals;

// libobs's loader picks the decoder by the file name for some formats (SVG among them).
const char* extension_for(const std::string& content_type) {
  if (content_type.find("svg") != std::string::npos) return ".svg";
  if (content_type.find("png") != std::string::npos) return ".png";
  if (content_type.find("jpeg") != std::string::npos) return ".jpg";
  if (content_type.find("webp") != std::string::npos) return ".webp";
  if (content_type.find("bmp") != std::string::npos) return ".bmp";
  return ".img";  // probed by content; a ".gif" name would take the animated-GIF path
}

// Straight RGBA8 from what libobs decoded; empty for formats a cover never has.
std::vector<uint8_t> to_rgba8(const uint8_t* data, gs_color_format format, uint32_t w, uint32_t h) {
  size_t n = size_t(w) * h;
  std::vector<uint8_t> out;
  if (format != GS_RGBA && format != GS_BGRA && format != GS_BGRX && format != GS_RGBA16)
    return out;
  out.resize(n * 4);
  for (size_t i = 0; i < n; ++i) {
    uint8_t* q = &out[i * 4];
    if (format == GS_RGBA16) {  // 16-bit channels, little endian: keep the high bytes
      for (int c = 0; c < 4; ++c) q[c] = data[i * 8 + c * 2 + 1];
      continue;
    }
    const uint8_t* p = data + i * 4;
    bool bgr = format != GS_RGBA;
    q[0] = bgr ? p[2] : p[0];
    q[1] = p[1];
    q[2] = bgr ? p[0] : p[2];
    q[3] = format == GS_BGRX ? 255 : p[3];
  }
  return out;
}

// Decoded-image files an OBS that crashed left behind. A running OBS keeps its file for a few
// milliseconds only, so one older than a minute is a leftover.
void remove_stale_images(const std::string& dir) {
  namespace fs = std::filesystem;
  const auto cutoff = fs::file_time_type::clock::now() - std::chrono::minutes(1);
  std::error_code ec;
  for (fs::directory_iterator it(fs::u8path(dir), ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().u8string().rfind("native-image-", 0) != 0) continue;
    std::error_code e;
    auto written = it->last_write_time(e);
    if (!e && written < cutoff) fs::remove(it->path(), e);
  }
}

}  // namespace

NativeFeed& native_feed() {
  static NativeFeed instance;
  return instance;
}

void NativeFeed::start() {
  std::lock_guard<std::mutex> g(lock_);
  if (running_) return;
  if (char* dir = obs_module_get_config_path(module_pointer(), "")) {
    os_mkdirs(dir);
    temp_dir_ = dir;
    bfree(dir);
  } else {
    std::error_code ec;
    temp_dir_ = std::filesystem::temp_directory_path(ec).u8string() + "/";
  }
  running_ = true;
  stop_ = false;
  follower_done_ = false;
  follower_ = std::thread([this] { follow_loop(); });
  coverer_ = std::thread([this] { cover_loop(); });
}

void NativeFeed::stop() {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!running_) return;
    stop_ = true;
  }
  wake_.notify_all();
  {
    // The stream may be connecting when stop() cuts it: cut until the follower is out.
    std::unique_lock<std::mutex> g(lock_);
    while (follower_.joinable() && !follower_done_) {
      if (stream_) stream_->stop();
      wake_.wait_for(g, 20ms);
    }
  }
  if (follower_.joinable()) follower_.join();
  if (coverer_.joinable()) coverer_.join();
  std::lock_guard<std::mutex> g(lock_);
  running_ = false;
}

FeedState NativeFeed::snapshot() {
  std::lock_guard<std::mutex> g(lock_);
  return state_;
}

bool NativeFeed::pause(std::chrono::milliseconds ms) {
  std::unique_lock<std::mutex> g(lock_);
  wake_.wait_for(g, ms, [this] { return stop_.load(); });
  return !stop_;
}

void NativeFeed::on_message(const std::string& data) {
  std::optional<NowPlaying> s = parse_now_playing(data);
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!state_.connected) {
      // A new connection: retry what failed while the agent was away.
      if (!state_.cover) state_.cover_url = "\n";
      if (!state_.placeholder) placeholder_tried_ = false;
    }
    state_.connected = true;
    state_.ever_connected = true;
    // An inactive state keeps the cover as it was.
    if (s->active) wanted_cover_ = s->cover_url;
    state_.state = std::move(s);
    ++state_.messages;
    ++version_;
  }
  wake_.notify_all();
}

void NativeFeed::follow_loop() {
  auto backoff = 100ms;
  while (!stop_) {
    bool got_message = false;
    guarded("event stream", [&] {
      // Never waits behind a launch: the last published address, or none yet.
      std::string base = supervisor().published_base_url();
      if (base.empty()) return;
      httplib::Client client("127.0.0.1", port_of(base));
      client.set_connection_timeout(0, 300000);
      client.set_read_timeout(20, 0);  // the agent sends a keep-alive every 15 s
      struct Registration {
        NativeFeed* feed;
        ~Registration() {
          std::lock_guard<std::mutex> g(feed->lock_);
          feed->stream_ = nullptr;
        }
      };
      {
        std::lock_guard<std::mutex> g(lock_);
        if (stop_) return;
        stream_ = &client;
      }
      Registration registration{this};
      EventStreamParser parser([&](const std::string& data) {
        got_message = true;
        on_message(data);
      });
      client.Get("/events", [&](const char* data, size_t size) {
        parser.feed(data, size);
        return !stop_.load();
      });
    });
    {
      std::lock_guard<std::mutex> g(lock_);
      if (state_.connected) {
        state_.connected = false;
        state_.lost_at = std::chrono::steady_clock::now();
        ++version_;
      }
    }
    // Back soon after an agent restart; slower while none answers.
    backoff = got_message ? 100ms : std::min<std::chrono::milliseconds>(backoff * 2, 500ms);
    pause(backoff);
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    follower_done_ = true;
  }
  wake_.notify_all();
}

void NativeFeed::cover_loop() {
  // Here rather than in start(): the card's creation and frames never wait for the disk.
  guarded("leftover image files", [&] { remove_stale_images(temp_dir_); });
  while (!stop_) {
    bool ok = guarded("cover download", [&] {
      std::string url;
      bool placeholder = false;
      {
        std::unique_lock<std::mutex> g(lock_);
        wake_.wait(g, [&] {
          return stop_ ||
                 (state_.connected && (!placeholder_tried_ || wanted_cover_ != state_.cover_url));
        });
        if (stop_) return;
        if (!placeholder_tried_) {
          placeholder = placeholder_tried_ = true;
        } else {
          url = wanted_cover_;
        }
      }
      if (placeholder) {
        auto image = fetch_image("/widget/placeholder.svg");
        std::lock_guard<std::mutex> g(lock_);
        state_.placeholder = std::move(image);
        ++version_;
        return;
      }
      auto image = url.empty() ? nullptr : fetch_image(url);
      std::lock_guard<std::mutex> g(lock_);
      if (wanted_cover_ != url) return;  // a newer cover won
      state_.cover_url = url;
      state_.cover = std::move(image);
      ++version_;
    });
    if (!ok) pause(200ms);
  }
}

std::shared_ptr<const CoverImage> NativeFeed::fetch_image(const std::string& path) {
  std::string base = supervisor().published_base_url();
  if (base.empty()) return nullptr;
  httplib::Client client("127.0.0.1", port_of(base));
  client.set_connection_timeout(0, 300000);
  client.set_read_timeout(2, 0);
  auto res = client.Get(path.c_str());
  if (!res || res->status != 200 || res->body.empty() || res->body.size() > (32u << 20))
    return nullptr;

  // libobs decodes from a file only.
  std::string file = temp_dir_ + "native-image-" + std::to_string(current_process_id()) +
                     extension_for(res->get_header_value("Content-Type"));
  {
    std::ofstream out(std::filesystem::u8path(file), std::ios::binary | std::ios::trunc);
    out.write(res->body.data(), static_cast<std::streamsize>(res->body.size()));
    if (!out) return nullptr;
  }
  gs_color_format format = GS_UNKNOWN;
  uint32_t w = 0, h = 0;
  uint8_t* data =
      gs_create_texture_file_data2(file.c_str(), GS_IMAGE_ALPHA_STRAIGHT, &format, &w, &h);
  std::error_code ec;
  std::filesystem::remove(std::filesystem::u8path(file), ec);
  if (!data) return nullptr;
  auto image = std::make_shared<CoverImage>();
  image->rgba = to_rgba8(data, format, w, h);
  bfree(data);
  if (image->rgba.empty() || !w || !h) return nullptr;
  image->width = w;
  image->height = h;
  if (w > kMaxCoverSide || h > kMaxCoverSide) {
    // Small enough to upload within a frame; twice the largest cover box.
    double f = double(kMaxCoverSide) / std::max(w, h);
    image->width = std::max(1u, uint32_t(w * f + 0.5));
    image->height = std::max(1u, uint32_t(h * f + 0.5));
    image->rgba = resample_rgba(image->rgba, w, h, image->width, image->height);
  }
  image->color = dominant_hsl(image->rgba, image->width, image->height);
  return image;
}

}  // namespace tunelight::plugin
