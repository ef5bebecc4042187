#pragma once

// Player actions from OBS: the hotkeys and the panel's buttons hand each action to one worker,
// which posts it to the agent. Nothing on OBS's threads waits for the agent.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace tunelight::plugin {

class ControlSender {
 public:
  void start();
  // Drops what is still queued and joins the worker (a post on its way ends within its
  // time-outs).
  void stop();
  // Queues an API action name ("playPause", "next", "show", ...) and returns at once. A burst
  // beyond a few queued actions is dropped: a key held down must not replay for seconds.
  void send(const std::string& action);

 private:
  void loop();

  std::mutex mu_;  // guards the fields below; never held across a post
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  bool stop_ = false;
  std::thread worker_;
};

ControlSender& control_sender();

// The four frontend hotkeys ("Tunelight: Play/Pause", ...); kept in the scene collection.
void register_control_hotkeys();
void unregister_control_hotkeys();

}  // namespace tunelight::plugin
