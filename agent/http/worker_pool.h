#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "agent/thread_annotations.h"

namespace tunelight {

// Threads that answer requests. A thread is started when a job arrives and none is free, up to
// maxThreads; jobs beyond that wait in order. Threads above keepThreads end after idleExit
// without work, so a burst leaves no threads behind; the others wait without a timer.
class WorkerPool {
 public:
  WorkerPool(size_t keepThreads, size_t maxThreads, std::chrono::milliseconds idleExit);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Jobs must not throw. After stop() a job still runs (it must see for itself that the owner
  // stops), so that nothing it owns is lost. Throws (no memory) only before the job is queued.
  void submit(std::function<void()> job) EXCLUDES(mu_);
  // Runs what is queued, then joins every thread.
  void stop() EXCLUDES(mu_);

 private:
  void run() EXCLUDES(mu_);

  const size_t keep_;
  const size_t max_;
  const std::chrono::milliseconds idleExit_;
  // Never held while a job runs or a thread is joined.
  Mutex mu_;
  CondVar wake_;
  std::deque<std::function<void()>> jobs_ GUARDED_BY(mu_);
  std::vector<std::thread> threads_ GUARDED_BY(mu_);
  std::vector<std::thread::id> finished_ GUARDED_BY(mu_);  // ended threads not yet joined
  size_t live_ GUARDED_BY(mu_) = 0;
  size_t idle_ GUARDED_BY(mu_) = 0;
  bool stopping_ GUARDED_BY(mu_) = false;
};

}  // namespace tunelight
