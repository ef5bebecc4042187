#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "plugin/agent_process.h"
#include "plugin/card_logic.h"

namespace tunelight::plugin {

// Starts the agent at module load, learns its port, restarts it within limits and stops it at
// unload. Publishes the module base URL ("http://127.0.0.1:PORT", empty while none is known).
class AgentSupervisor {
 public:
  void start();
  void stop();

  // The base URL under the supervisor lock: waits while a launch is in progress.
  std::string current_base_url();
  // The last published base URL; never waits behind a launch (for the graphics thread).
  std::string published_base_url();

  // Stores c as the settings for later launches and posts it to the running agent in the
  // background.
  void push_config(const AgentConfig& c);

 private:
  bool launch_agent();  // lock_ held
  void watchdog_loop();
  void publish(const std::string& base_url);

  // Guards every field below up to process_.
  std::mutex lock_;
  AgentConfig agent_settings_;
  std::string executable_;
  std::string log_path_;
  std::string port_path_;
  std::string base_url_;
  std::string token_;
  std::unique_ptr<AgentProcess> process_;

  std::atomic<bool> stop_{false};
  std::thread watchdog_;
  // Lets stop() wake the watchdog from its sleep; guards nothing else.
  std::mutex wake_lock_;
  std::condition_variable wake_;

  // Guards published_ only; held just for the copy, never across a wait.
  std::mutex published_lock_;
  std::string published_;

  // Settings pushes still on their way. Unload waits for them (each is bounded by the client's
  // time-outs) so that no thread runs module code once libobs unloads the library.
  std::mutex pushes_lock_;  // guards pushes_
  std::condition_variable pushes_done_;
  int pushes_ = 0;
};

AgentSupervisor& supervisor();

}  // namespace tunelight::plugin
