#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
struct Request;
}  // namespace httplib

namespace tunelight {

namespace httplib_adapter {
class LibraryServer;
}  // namespace httplib_adapter

class Hub;
class ExtensionIngest;
class Controller;
struct IdleConnection;

// The fixed, ordered list of ports the agent tries.
const std::vector<int>& portCandidates();

// The agent's loopback HTTP interface. The library parses requests and writes answers; the
// connections themselves are held by a ConnectionPoller between requests (idle keep-alive
// connections, request heads still arriving, event streams), so only a request that is being
// answered occupies a worker thread.
class Server {
 public:
  Server(Hub& hub, std::string version);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Null: the ingest routes are not registered. Set before start().
  void setIngest(ExtensionIngest* ingest);
  // Empty token: the control routes are not registered. Set before start().
  void setControl(std::string token, std::function<void(const std::string&)> onConfig,
                  std::function<void()> onShutdown);
  // Null, or no token: POST /api/control is not registered. Set before start().
  void setPlayerControl(Controller* controller);

  // Binds 127.0.0.1 on the first port of the list that is free; returns it, or 0.
  int start(const std::vector<int>& ports);
  std::string baseUrl() const;
  int port() const { return port_; }
  void stop();

  bool isExtensionOrigin(const httplib::Request& req) const;
  bool tokenMatches(const httplib::Request& req) const;

 private:
  // Installs the settings, the checks around every request and the routes of Routes::kTable.
  void configure();
  // Answers one request whose head has arrived, on a worker thread.
  void serve(IdleConnection c);

  Hub& hub_;
  const std::string version_;
  struct Routes;  // the route table and its handlers
  std::unique_ptr<httplib_adapter::LibraryServer> http_;
  struct Connections;  // the poller, the workers and the connections being answered
  std::unique_ptr<Connections> conns_;
  std::thread listener_;
  std::atomic<bool> stopping_{false};
  std::string token_;
  ExtensionIngest* ingest_ = nullptr;
  Controller* controller_ = nullptr;
  std::function<void(const std::string&)> onConfig_;
  std::function<void()> onShutdown_;
  int port_ = 0;
};

}  // namespace tunelight
