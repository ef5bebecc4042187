#include "agent/http/poll_set.h"

#include <winsock2.h>

#include <unordered_map>

namespace tunelight::net {

// WSAPoll over an array that add/remove keep up to date, rather than one rebuilt per wait.
struct PollSet::State {
  std::vector<pollfd> fds;
  std::vector<void*> keys;
  std::unordered_map<socket_t, size_t> index;
};

PollSet::PollSet() : state_(new State) {}

PollSet::~PollSet() {
  delete state_;
}

bool PollSet::ok() const {
  return true;
}

bool PollSet::add(socket_t sock, void* key, bool output) {
  State& s = *state_;
  try {
    s.fds.reserve(s.fds.size() + 1);
    s.keys.reserve(s.keys.size() + 1);
    if (!s.index.emplace(sock, s.fds.size()).second) return false;
  } catch (...) {
    return false;
  }
  pollfd p{};
  p.fd = sock;
  p.events = static_cast<short>(POLLIN | (output ? POLLOUT : 0));
  s.fds.push_back(p);
  s.keys.push_back(key);
  return true;
}

void PollSet::setOutput(socket_t sock, void* key, bool output) {
  State& s = *state_;
  auto it = s.index.find(sock);
  if (it == s.index.end()) return;
  s.fds[it->second].events = static_cast<short>(POLLIN | (output ? POLLOUT : 0));
  s.keys[it->second] = key;
}

void PollSet::remove(socket_t sock) {
  State& s = *state_;
  auto it = s.index.find(sock);
  if (it == s.index.end()) return;
  const size_t i = it->second;
  s.index.erase(it);
  const size_t last = s.fds.size() - 1;
  if (i != last) {
    s.fds[i] = s.fds[last];
    s.keys[i] = s.keys[last];
    s.index[s.fds[i].fd] = i;
  }
  s.fds.pop_back();
  s.keys.pop_back();
}

int PollSet::wait(std::vector<Event>& ready, int timeoutMs) {
  ready.clear();
  State& s = *state_;
  const int n = pollSockets(s.fds.data(), s.fds.size(), timeoutMs);
  if (n <= 0) return n;
  for (size_t i = 0; i < s.fds.size(); ++i) {
    const short ev = s.fds[i].revents;
    if (ev == 0) continue;
    Event e;
    e.key = s.keys[i];
    e.input = (ev & (POLLIN | POLLERR | POLLHUP)) != 0;
    e.output = (ev & POLLOUT) != 0;
    e.invalid = (ev & POLLNVAL) != 0;
    ready.push_back(e);
  }
  return static_cast<int>(ready.size());
}

}  // namespace tunelight::net
