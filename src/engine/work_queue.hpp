// Worker threads doing jobs in the order they were submitted.
//
// A job is finished before its submitter looks at it: whatever the worker
// wrote into it is published through the job's `done` flag, which is set
// and read under the queue's lock only. A job needs `done` (a bool) and
// `error` (an optional VornishError): an allocation failure inside a job
// becomes an out-of-memory error on that job, so no exception leaves a
// thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/error.hpp"

namespace vornish {

// More threads than this only cost memory: one chunk in flight per thread
// and one more waiting.
inline constexpr std::size_t kMaxThreads = 256;

// The cores this process may run on (its affinity mask), at least 1.
std::size_t usable_cores() noexcept;

template <typename Job>
class WorkQueue {
 public:
  WorkQueue() = default;
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;
  ~WorkQueue() { stop(); }

  // Starts `count` threads. Each makes its own state once with
  // `make_local()` and does each job it takes with `run(job, local)`.
  // Throws std::system_error when a thread cannot be created, after
  // joining those already started.
  template <typename MakeLocal, typename Run>
  void start(std::size_t count, MakeLocal make_local, Run run) {
    threads_.reserve(count);
    try {
      for (std::size_t i = 0; i < count; ++i) {
        threads_.emplace_back([this, make_local, run] {
          auto local = make_local();
          work(local, run);
        });
      }
    } catch (...) {
      stop();
      throw;
    }
  }

  void submit(Job* job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(job);
    }
    wake_.notify_one();
  }

  void wait(const Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return job.done; });
  }

  // True when `job` is done within `timeout`.
  template <typename Rep, typename Period>
  bool wait_for(const Job& job, std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return done_.wait_for(lock, timeout, [&] { return job.done; });
  }

  // Joins every thread. Jobs still queued are left undone; a job being
  // done is finished first, so a caller wanting a quick stop tells its
  // jobs to cancel before this.
  void stop() noexcept {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) {
      if (t.joinable()) {
        t.join();
      }
    }
    threads_.clear();
  }

 private:
  template <typename Local, typename Run>
  void work(Local& local, const Run& run) noexcept {
    for (;;) {
      Job* job = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
          return;
        }
        job = queue_.front();
        queue_.pop_front();
      }
      try {
        run(*job, local);
      } catch (...) {
        // Only allocations can fail in a job.
        job->error = VornishError::out_of_memory();
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        job->done = true;
      }
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Job*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace vornish
