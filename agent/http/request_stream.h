#pragma once

#include <httplib.h>

#include <chrono>
#include <string>

namespace tunelight {

// The library's view of one connection while a worker answers one request on it. The request
// head (and maybe more) was already read by the connection poller and comes first; further
// reads (the body) must all arrive before a deadline fixed at construction, so a slow sender
// holds a worker for a bounded time in total, not per byte. Writes wait for room up to
// writeTimeout each, like the library's own write timeout.
class RequestStream : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;

  RequestStream(socket_t sock, std::string buffered, std::chrono::milliseconds readBudget,
                std::chrono::milliseconds writeTimeout);

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  // The library refuses sockets numbered above select()'s limit through this; nothing here
  // uses select(), so no number is reported.
  socket_t socket() const override { return INVALID_SOCKET; }

  // A read or write failed or timed out: the connection is no longer in step.
  bool failed() const { return failed_; }
  // Bytes read but not consumed (the start of a pipelined next request).
  std::string takeUnread();

 private:
  bool waitFor(short events, Clock::time_point deadline) const;

  const socket_t sock_;
  std::string buffered_;
  size_t consumed_ = 0;
  const Clock::time_point readDeadline_;
  const std::chrono::milliseconds writeTimeout_;
  bool failed_ = false;
};

}  // namespace tunelight
