#include "agent/http/request_stream.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "agent/http/httplib_adapter.h"
#include "agent/http/socket_io.h"

namespace tunelight {

RequestStream::RequestStream(socket_t sock, std::string buffered,
                             std::chrono::milliseconds readBudget,
                             std::chrono::milliseconds writeTimeout)
    : sock_(sock),
      buffered_(std::move(buffered)),
      readDeadline_(Clock::now() + readBudget),
      writeTimeout_(writeTimeout) {}

bool RequestStream::waitFor(short events, Clock::time_point deadline) const {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) return false;
    pollfd p{};
    p.fd = sock_;
    p.events = events;
    const int n = net::pollSockets(&p, 1, static_cast<int>(left) + 1);
    if (n < 0) return false;
    // Errors and hang-ups count as ready: the following call reports them.
    if (n > 0) return true;
  }
}

bool RequestStream::is_readable() const {
  return consumed_ < buffered_.size() || waitFor(POLLIN, readDeadline_);
}

bool RequestStream::is_writable() const {
  return waitFor(POLLOUT, Clock::now() + writeTimeout_);
}

ssize_t RequestStream::read(char* ptr, size_t size) {
  if (consumed_ < buffered_.size()) {
    const size_t n = std::min(size, buffered_.size() - consumed_);
    std::memcpy(ptr, buffered_.data() + consumed_, n);
    consumed_ += n;
    return static_cast<ssize_t>(n);
  }
  for (;;) {
    if (failed_ || !waitFor(POLLIN, readDeadline_)) break;
    const long n = net::recvSome(sock_, ptr, size);
    if (n > 0) return n;
    // The head is always complete before a worker sees the connection: an end here is a
    // request cut short.
    if (n == net::kPeerClosed) {
      failed_ = true;
      return 0;
    }
    if (n != net::kWouldBlock) break;
  }
  failed_ = true;
  return -1;
}

ssize_t RequestStream::write(const char* ptr, size_t size) {
  for (;;) {
    if (failed_ || !waitFor(POLLOUT, Clock::now() + writeTimeout_)) break;
    const long n = net::sendSome(sock_, ptr, size);
    if (n >= 0) return n;
    if (n != net::kWouldBlock) break;
  }
  failed_ = true;
  return -1;
}

void RequestStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  httplib_adapter::remoteAddress(sock_, ip, port);
}

void RequestStream::get_local_ip_and_port(std::string& ip, int& port) const {
  httplib_adapter::localAddress(sock_, ip, port);
}

std::string RequestStream::takeUnread() {
  std::string rest = buffered_.substr(consumed_);
  buffered_.clear();
  consumed_ = 0;
  return rest;
}

}  // namespace tunelight
