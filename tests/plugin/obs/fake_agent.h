#pragma once

// A small stand-in for the agent's HTTP side: records the settings and control posts, answers the
// status routes, streams now-playing states on /events (with keep-alive comments, as the agent
// sends them) and serves covers and the placeholder picture.

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/wait.h"

namespace tunelight::test {

struct FakeAgentServer {
  std::unique_ptr<httplib::Server> server;  // null while down
  std::thread thread;
  int port = 0;
  std::mutex mutex;  // guards the fields below
  std::condition_variable changed;
  std::vector<std::pair<std::string, std::string>> posts;  // path, body
  std::vector<std::string> tokens;
  bool origin_seen = false;
  std::string now_playing = R"({"active":true,"artist":"A","title":"T","service":"yandex"})";
  uint64_t version = 0;     // bumped by every setState
  uint64_t generation = 0;  // bumped by dropStreams: open streams end
  bool closing = false;
  int ping_ms = 300;       // keep-alive interval of the streams (the agent's is 15 s)
  int cover_delay_ms = 0;  // a slow agent
  std::map<std::string, std::pair<std::string, std::string>> covers;  // path -> type, bytes
  int cover_requests = 0;

  FakeAgentServer() { listen(0); }
  ~FakeAgentServer() {
    {
      std::lock_guard<std::mutex> g(mutex);
      closing = true;
    }
    changed.notify_all();
    close();
  }

  // Listens on `on` (0: any free port) with every route.
  void listen(int on) {
    server = std::make_unique<httplib::Server>();
    routes(*server);
    port = on ? (server->bind_to_port("127.0.0.1", on) ? on : -1)
              : server->bind_to_any_port("127.0.0.1");
    if (port <= 0) {  // taken meanwhile: stays down
      server.reset();
      return;
    }
    thread = std::thread([s = server.get()] { s->listen_after_bind(); });
    while (!server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  void close() {
    if (!server) return;
    server->stop();
    thread.join();
    server.reset();
  }

  void routes(httplib::Server& svr) {
    svr.Get("/api/health", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"sources":[{"kind":"smtc-app","service":"spotify","app":"Spotify.exe"},)"
                      R"({"kind":"extension","app":"chrome","service":"yandex"}]})",
                      "application/json");
    });
    svr.Get("/api/now-playing", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard<std::mutex> g(mutex);
      res.set_content(now_playing, "application/json");
    });
    svr.Get("/api/history", [](const httplib::Request&, httplib::Response& res) {
      std::string items = "[";
      for (int i = 0; i < 12; ++i)
        items += std::string(i ? "," : "") +
                 R"({"startedAt":1700000000000,"artist":"Art","title":"R&B <live>"})";
      res.set_content(items + "]", "application/json");
    });
    svr.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
      uint64_t gen;
      {
        std::lock_guard<std::mutex> g(mutex);
        gen = generation;
      }
      res.set_header("Cache-Control", "no-store");
      res.set_chunked_content_provider(
          "text/event-stream",
          [this, gen, last = ~uint64_t(0), sent = std::chrono::steady_clock::now()](
              size_t, httplib::DataSink& sink) mutable {
            std::unique_lock<std::mutex> g(mutex);
            bool first = last == ~uint64_t(0);
            if (!first)
              changed.wait_for(g, std::chrono::milliseconds(std::min(ping_ms, 200)),
                               [&] { return version != last || closing || generation != gen; });
            if (closing || generation != gen) return false;
            std::string msg;
            if (first || version != last)
              msg = (first ? "retry: 1000\ndata: " : "data: ") + now_playing + "\n\n";
            else if (std::chrono::steady_clock::now() - sent >= std::chrono::milliseconds(ping_ms))
              msg = ": ping\n\n";
            else
              return true;
            last = version;
            sent = std::chrono::steady_clock::now();
            g.unlock();
            return sink.write(msg.data(), msg.size());
          });
    });
    svr.Get("/widget/placeholder.svg", [](const httplib::Request&, httplib::Response& res) {
      std::ifstream in(TUNELIGHT_SOURCE_DIR "/agent/widget/placeholder.svg", std::ios::binary);
      res.set_content(std::string(std::istreambuf_iterator<char>(in), {}), "image/svg+xml");
    });
    svr.Get(R"(/cover/([0-9a-f]+))", [this](const httplib::Request& req, httplib::Response& res) {
      int delay;
      {
        std::lock_guard<std::mutex> g(mutex);
        delay = cover_delay_ms;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      std::lock_guard<std::mutex> g(mutex);
      ++cover_requests;
      auto it = covers.find(req.path);
      if (it == covers.end()) {
        res.status = 404;
        return;
      }
      res.set_content(it->second.second, it->second.first.c_str());
    });
    auto record = [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> g(mutex);
      posts.emplace_back(req.path, req.body);
      tokens.push_back(req.get_header_value("X-Tunelight-Token"));
      origin_seen = origin_seen || req.has_header("Origin");
      res.set_content("{\"ok\":true}", "application/json");
    };
    svr.Post("/api/config", record);
    svr.Post("/api/shutdown", record);
    svr.Post("/api/control", record);
  }

  void setState(const std::string& json) {
    {
      std::lock_guard<std::mutex> g(mutex);
      now_playing = json;
      ++version;
    }
    changed.notify_all();
  }
  // Ends every open event stream, as an agent that goes away does.
  void dropStreams() {
    {
      std::lock_guard<std::mutex> g(mutex);
      ++generation;
    }
    changed.notify_all();
  }
  // Down: the streams end and connections are refused, as when no agent runs; up: listening
  // again on the same port.
  void setDown(bool value) {
    if (!value) {
      if (!server) listen(port);
      return;
    }
    dropStreams();
    close();
  }
  void addCover(const std::string& id, const std::string& type, const std::string& bytes) {
    std::lock_guard<std::mutex> g(mutex);
    covers["/cover/" + id] = {type, bytes};
  }
  size_t postCount() {
    std::lock_guard<std::mutex> g(mutex);
    return posts.size();
  }
  std::pair<std::string, std::string> post(size_t i) {
    std::lock_guard<std::mutex> g(mutex);
    return posts.at(i);
  }
  bool waitPosts(size_t n, int timeoutMs = 3000) {
    return waitUntil([&] { return postCount() >= n; }, timeoutMs);
  }
};

}  // namespace tunelight::test
