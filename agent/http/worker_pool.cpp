#include "agent/http/worker_pool.h"

#include <algorithm>
#include <utility>

namespace tunelight {

WorkerPool::WorkerPool(size_t keepThreads, size_t maxThreads, std::chrono::milliseconds idleExit)
    : keep_(keepThreads), max_(std::max<size_t>(maxThreads, 1)), idleExit_(idleExit) {}

WorkerPool::~WorkerPool() {
  stop();
}

void WorkerPool::submit(std::function<void()> job) {
  std::vector<std::thread> ended;
  std::function<void()> here;
  {
    MutexLock lock(mu_);
    if (stopping_) {
      lock.unlock();
      job();
      return;
    }
    // What may throw (no memory) comes before the job is queued: a job that is not queued stays
    // the caller's, one that is queued is run.
    ended.reserve(finished_.size());
    jobs_.push_back(std::move(job));
    // Threads that ended on their own are joined here, outside the lock.
    for (const std::thread::id& id : finished_) {
      auto it = std::find_if(threads_.begin(), threads_.end(),
                             [&](const std::thread& t) { return t.get_id() == id; });
      if (it == threads_.end()) continue;
      ended.push_back(std::move(*it));
      threads_.erase(it);
    }
    finished_.clear();
    bool started = false;
    if (jobs_.size() > idle_ && live_ < max_) {
      try {
        threads_.emplace_back([this] { run(); });
        ++live_;
        started = true;
      } catch (...) {
        // No thread to be had: the running ones take the job, or this caller does.
      }
    }
    if (!started) wake_.signal();
    if (live_ == 0) {
      here = std::move(jobs_.back());
      jobs_.pop_back();
    }
  }
  for (std::thread& t : ended) t.join();
  if (here) here();
}

void WorkerPool::stop() {
  std::vector<std::thread> all;
  {
    MutexLock lock(mu_);
    stopping_ = true;
    all.swap(threads_);
    finished_.clear();
  }
  wake_.signalAll();
  for (std::thread& t : all) t.join();
}

void WorkerPool::run() {
  MutexLock lock(mu_);
  for (;;) {
    while (jobs_.empty() && !stopping_) {
      ++idle_;
      bool timedOut = false;
      if (live_ > keep_) {
        timedOut = !wake_.waitFor(mu_, idleExit_);
      } else {
        wake_.wait(mu_);
      }
      --idle_;
      if (timedOut && jobs_.empty() && live_ > keep_) {
        --live_;
        finished_.push_back(std::this_thread::get_id());
        return;
      }
    }
    if (jobs_.empty()) break;  // stopping, nothing left
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    job = nullptr;  // what the job holds is released outside the lock
    lock.lock();
  }
  --live_;
}

}  // namespace tunelight
