#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <initializer_list>

#include "agent/platform/main_loop_wait.h"
#include "agent/platform/stop_signals.h"

namespace tunelight {

namespace {

std::atomic<bool>* gStopRequested = nullptr;
std::atomic<int> gSignalsSeen{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the handler may only touch lock-free atomics");

void onStopSignal(int sig) {
  if (gSignalsSeen.fetch_add(1) == 0) {
    gStopRequested->store(true);
    wakeMainLoop();
    return;
  }
  // The user insists: end now, the way the signal would have without a handler. The signal is
  // blocked while its handler runs, so unblock it for the raise to take effect here.
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);
}

}  // namespace

void installStopSignals(std::atomic<bool>* stopRequested) {
  gStopRequested = stopRequested;
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

}  // namespace tunelight
