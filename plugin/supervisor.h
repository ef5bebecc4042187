#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "plugin/agent_process.h"
#include "plugin/card_logic.h"

namespace tunelight::plugin {

// Starts the agent at module load, learns its port, restarts it within limits and stops it at
// unload. Publishes the module base URL ("http://127.0.0.1:PORT", empty while none is known).
class AgentSupervisor {
 public:
  void start();
  void stop();

  // The base URL as the last launch ended with it; never waits behind a launch (for the
  // graphics and UI threads). It changes once per launch: to the new URL, or to empty on failure
  // or a slow start; a slow agent's URL follows whenever the watchdog reads its port.
  std::string published_base_url();
  // The base URL and the token of that launch, under the same rule.
  std::pair<std::string, std::string> published_agent();

  // Hands c to the push worker and returns at once: the worker stores it as the settings for
  // later launches and posts it to the running agent. Only the newest pending c is kept.
  void push_config(const AgentConfig& c);

 private:
  bool launch_agent();  // lock_ held
  void adopt_port();    // lock_ held
  void watchdog_loop();
  void push_loop();
  void publish(const std::string& base_url);

  // Guards every field below up to process_. Held across a whole launch and the unload's
  // shutdown, so nothing on OBS's graphics or UI thread may take it.
  std::mutex lock_;
  AgentConfig agent_settings_;
  std::string executable_;
  std::string log_path_;
  std::string port_path_;
  std::string base_url_;
  std::string token_;
  std::unique_ptr<AgentProcess> process_;
  std::unique_ptr<AgentWatch> watch_;  // of *process_; reset before it
  bool untied_told_ = false;

  std::atomic<bool> stop_{false};
  std::thread watchdog_;
  std::thread pusher_;
  // Wakes the watchdog and the push worker; guards pending_ and stop wake-ups. Never held
  // across a wait for lock_ or any I/O.
  std::mutex wake_lock_;
  std::condition_variable wake_;
  std::optional<AgentConfig> pending_;

  // Guards published_ and published_token_ only; held just for the copy, never across a wait.
  std::mutex published_lock_;
  std::string published_;
  std::string published_token_;
};

AgentSupervisor& supervisor();

}  // namespace tunelight::plugin
