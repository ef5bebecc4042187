#include "agent/http/poll_set.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace tunelight::net {

struct PollSet::State {
  int epoll = -1;
  epoll_event events[256];
};

namespace {

epoll_event interest(void* key, bool output) {
  epoll_event e{};
  e.events = EPOLLIN | (output ? EPOLLOUT : 0u);
  e.data.ptr = key;
  return e;
}

}  // namespace

PollSet::PollSet() : state_(new State) {
  state_->epoll = epoll_create1(EPOLL_CLOEXEC);
}

PollSet::~PollSet() {
  if (state_->epoll >= 0) ::close(state_->epoll);
  delete state_;
}

bool PollSet::ok() const {
  return state_->epoll >= 0;
}

bool PollSet::add(socket_t sock, void* key, bool output) {
  epoll_event e = interest(key, output);
  return epoll_ctl(state_->epoll, EPOLL_CTL_ADD, sock, &e) == 0;
}

void PollSet::setOutput(socket_t sock, void* key, bool output) {
  epoll_event e = interest(key, output);
  epoll_ctl(state_->epoll, EPOLL_CTL_MOD, sock, &e);
}

void PollSet::remove(socket_t sock) {
  epoll_ctl(state_->epoll, EPOLL_CTL_DEL, sock, nullptr);
}

// Level-triggered: sockets beyond one batch stay ready and come with the next wait.
int PollSet::wait(std::vector<Event>& ready, int timeoutMs) {
  ready.clear();
  const int n = epoll_wait(state_->epoll, state_->events, 256, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i) {
    const epoll_event& e = state_->events[i];
    Event ev;
    ev.key = e.data.ptr;
    ev.input = (e.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
    ev.output = (e.events & EPOLLOUT) != 0;
    ready.push_back(ev);
  }
  return n;
}

}  // namespace tunelight::net
