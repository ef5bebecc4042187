#pragma once

// What the native cards show, gathered off OBS's graphics thread: one follower of the agent's
// event stream for the whole module, the latest now-playing state, and the covers fetched from
// the agent and decoded with libobs's image loading.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plugin/native/native_logic.h"

namespace httplib {
class Client;
}

namespace tunelight::plugin {

struct CoverImage {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgba;  // straight RGBA8, at most kMaxCoverSide a side
  std::optional<Hsl> color;   // computed once, here
};

inline constexpr uint32_t kMaxCoverSide = 512;

struct FeedState {
  uint64_t messages = 0;  // states received so far
  bool connected = false;
  bool ever_connected = false;
  std::chrono::steady_clock::time_point lost_at;  // when the stream last ended
  std::optional<NowPlaying> state;                // the last state received
  std::string cover_url;                          // the url `cover` belongs to
  std::shared_ptr<const CoverImage> cover;        // null: none, or it could not be loaded
  std::shared_ptr<const CoverImage> placeholder;  // the agent's placeholder, when decodable
};

class NativeFeed {
 public:
  // Starts the follower and the cover worker unless they run.
  void start();
  // Ends both; bounded by the HTTP client's time-outs.
  void stop();

  // Changes whenever snapshot() would give something new.
  uint64_t version() const { return version_.load(); }
  FeedState snapshot();

 private:
  void follow_loop();
  void cover_loop();
  void on_message(const std::string& data);
  // Waits up to ms unless stopping; false when stopping.
  bool pause(std::chrono::milliseconds ms);
  std::shared_ptr<const CoverImage> fetch_image(const std::string& path);

  // Guards every field below; never held across I/O or a decode.
  std::mutex lock_;
  std::condition_variable wake_;
  FeedState state_;
  std::string wanted_cover_;  // the cover the state asks for ("" = none)
  bool placeholder_tried_ = false;
  httplib::Client* stream_ = nullptr;  // the open event stream, so stop() can cut it
  bool running_ = false;
  bool follower_done_ = false;
  std::string temp_dir_;

  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> version_{0};
  std::thread follower_;
  std::thread coverer_;
};

// The module's one feed.
NativeFeed& native_feed();

}  // namespace tunelight::plugin
