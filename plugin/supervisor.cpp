#include "plugin/supervisor.h"

#include <util/bmem.h>
#include <util/platform.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "plugin/plugin.h"

namespace tunelight::plugin {

namespace {

void remove_port_file(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(std::filesystem::u8path(path), ec);
}

}  // namespace

AgentSupervisor& supervisor() {
  static AgentSupervisor instance;
  return instance;
}

void AgentSupervisor::start() {
  std::string executable, port_path, log_path;
  obs_module_t* mod = module_pointer();
  if (char* dir = obs_module_get_config_path(mod, "")) {
    os_mkdirs(dir);
    port_path = std::string(dir) + "agent-" + std::to_string(current_process_id()) + ".port";
    log_path = std::string(dir) + "agent.log";
    bfree(dir);
  }
  const char* binary = obs_get_module_binary_path(mod);
  executable = agent_executable_path(binary ? binary : "");

  stop_ = false;
  {
    std::lock_guard<std::mutex> g(lock_);
    executable_ = executable;
    port_path_ = port_path;
    log_path_ = log_path;
    guarded("agent launch", [this] { launch_agent(); });
  }
  watchdog_ = std::thread([this] { watchdog_loop(); });
  pusher_ = std::thread([this] { push_loop(); });
}

void AgentSupervisor::stop() {
  {
    std::lock_guard<std::mutex> g(wake_lock_);
    stop_ = true;
    pending_.reset();  // the agent is about to be shut down
  }
  wake_.notify_all();
  // A push on its way ends within the client's time-outs; a launch in progress within ~5 s.
  if (watchdog_.joinable()) watchdog_.join();
  if (pusher_.joinable()) pusher_.join();

  std::lock_guard<std::mutex> g(lock_);
  guarded("agent shutdown", [this] {
    if (process_) {
      agent_post(base_url_, token_, "/api/shutdown", "");
      if (!process_->wait_exit(2000)) process_->terminate();
      watch_.reset();
      process_.reset();
    }
  });
  base_url_.clear();
  publish(base_url_);
  if (!port_path_.empty()) remove_port_file(port_path_);
}

std::string AgentSupervisor::published_base_url() {
  std::lock_guard<std::mutex> g(published_lock_);
  return published_;
}

std::pair<std::string, std::string> AgentSupervisor::published_agent() {
  std::lock_guard<std::mutex> g(published_lock_);
  return {published_, published_token_};
}

void AgentSupervisor::publish(const std::string& base_url) {
  std::lock_guard<std::mutex> g(published_lock_);
  published_ = base_url;
  published_token_ = token_;  // lock_ is held by every caller
}

void AgentSupervisor::push_config(const AgentConfig& c) {
  {
    std::lock_guard<std::mutex> g(wake_lock_);
    if (stop_) return;
    pending_ = c;
  }
  wake_.notify_all();
}

void AgentSupervisor::push_loop() {
  while (!stop_) {
    guarded("settings push", [this] {
      AgentConfig c;
      {
        std::unique_lock<std::mutex> w(wake_lock_);
        wake_.wait(w, [this] { return stop_ || pending_; });
        if (stop_) return;
        c = std::move(*pending_);
        pending_.reset();
      }
      std::string base, token, body = agent_config_json(c);
      {
        // Waits behind a launch in progress; that launch posts the older settings, this push
        // then brings the new agent up to date.
        std::lock_guard<std::mutex> g(lock_);
        agent_settings_ = std::move(c);
        base = base_url_;
        token = token_;
      }
      // No agent port known: the next successful launch posts the stored settings.
      agent_post(base, token, "/api/config", body);
    });
  }
}

bool AgentSupervisor::launch_agent() {
  token_ = make_token();
  base_url_.clear();
  watch_.reset();
  if (!port_path_.empty()) remove_port_file(port_path_);
  // The published URL stays as it was until this launch ends: a successful restart must not
  // flash the fallback page.

  unsigned long error = 0;
  process_ = launch_agent_process(
      {executable_, token_, port_path_, current_process_id(), log_path_}, &error);
  if (!process_) {
    plugin_log(LOG_ERROR, "cannot start agent %s (error %lu)", executable_.c_str(), error);
    publish(base_url_);
    return false;
  }
  if (unsigned long untied = process_->untied_error(); untied != 0 && !untied_told_) {
    untied_told_ = true;
    plugin_log(LOG_WARNING,
               "agent is not in a kill-on-close job (error %lu); only its parent watch ends it "
               "with OBS",
               untied);
  }
  watch_ = std::make_unique<AgentWatch>(*process_, port_path_, AgentWatch::Clock::now());
  for (;;) {
    switch (watch_->check(AgentWatch::Clock::now())) {
      case AgentWatch::Event::PortKnown:
        adopt_port();
        return true;
      case AgentWatch::Event::Ended:
        plugin_log(LOG_ERROR, "agent did not report a port; see %s", log_path_.c_str());
        publish(base_url_);
        return false;
      case AgentWatch::Event::Slow:
        // The watchdog keeps looking for the port file while the process lives.
        plugin_log(LOG_WARNING, "agent is slow to start; waiting for its port (see %s)",
                   log_path_.c_str());
        publish(base_url_);
        return false;
      case AgentWatch::Event::None:
        process_->wait_exit(50);
        break;
    }
  }
}

void AgentSupervisor::adopt_port() {
  base_url_ = "http://127.0.0.1:" + std::to_string(watch_->port());
  plugin_log(LOG_INFO, "agent started: %s/widget (pid %lu)", base_url_.c_str(),
             static_cast<unsigned long>(process_->pid()));
  agent_post(base_url_, token_, "/api/config", agent_config_json(agent_settings_));
  publish(base_url_);
}

void AgentSupervisor::watchdog_loop() {
  RestartWindow window(RestartWindow::Clock::now());
  while (!stop_) {
    {
      std::unique_lock<std::mutex> w(wake_lock_);
      wake_.wait_for(w, std::chrono::milliseconds(500), [this] { return stop_.load(); });
    }
    guarded("agent watchdog", [&] {
      std::lock_guard<std::mutex> g(lock_);
      if (stop_) return;
      auto event = watch_ ? watch_->check(AgentWatch::Clock::now()) : AgentWatch::Event::Ended;
      if (event == AgentWatch::Event::PortKnown) adopt_port();
      if (event != AgentWatch::Event::Ended) return;
      if (!window.allow(RestartWindow::Clock::now())) return;
      if (process_ && process_->exit_code() == kAgentExitRestart) {
        plugin_log(LOG_WARNING, "agent exited, restarting after a media runtime fault (%d)",
                   window.count());
      } else {
        plugin_log(LOG_WARNING, "agent is not running, restarting (%d)", window.count());
      }
      watch_.reset();
      process_.reset();
      launch_agent();
    });
  }
}

}  // namespace tunelight::plugin
