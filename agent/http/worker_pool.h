#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

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
  void submit(std::function<void()> job);
  // Runs what is queued, then joins every thread.
  void stop();

 private:
  void run();

  const size_t keep_;
  const size_t max_;
  const std::chrono::milliseconds idleExit_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;  // guarded by mu_
  std::vector<std::thread> threads_;        // guarded by mu_
  std::vector<std::thread::id> finished_;   // guarded by mu_: ended threads not yet joined
  size_t live_ = 0;                         // guarded by mu_
  size_t idle_ = 0;                         // guarded by mu_
  bool stopping_ = false;                   // guarded by mu_
};

}  // namespace tunelight
