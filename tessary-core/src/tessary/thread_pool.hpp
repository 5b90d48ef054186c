#pragma once

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tessary {

// The worker threads of the process, started once and shared by every call.
//
// run(count, task) calls task(i) once for each i in [0, count), spread over
// the workers and the calling thread, and returns when all have finished.
// Tasks write only their own results, which the caller then combines in a
// fixed order, so a result never depends on which thread ran which task or
// on how many threads there are.
//
// Size: TESSARY_NUM_THREADS threads in all, the caller included (default:
// the cores this process may run on); 1 runs every task on the caller.
//
// fork(): a child has the pool's memory but none of its threads, and its
// locks may have been copied in any state. The pool remembers the process
// that started it; a child that asks for the pool gets a new one and never
// touches the inherited one (whose memory it leaks).
//
// run_beside(count, task, use) runs the tasks on the workers while the
// caller does something else with their results as they come, in order.
//
// Concurrent runs: while one run is under way, a second caller runs its
// tasks itself, one after another; it never waits for the pool.
class ThreadPool {
 public:
  // The pool of this process.
  static ThreadPool& shared() {
    static std::mutex mutex;
    static ThreadPool* pool = nullptr;
    const std::lock_guard<std::mutex> lock(mutex);
    if (pool == nullptr || pool->owner_ != ::getpid()) pool = new ThreadPool(configured_threads());
    return *pool;
  }

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Threads that run tasks, the caller included.
  std::size_t threads() const noexcept { return workers_.size() + 1; }

  // Calls task(i) for every i in [0, count). If tasks throw, the exception
  // of the lowest such i is rethrown once all tasks have ended. Allocates
  // nothing itself, so a run of tasks that cannot fail cannot fail.
  template <class Task>
  void run(std::size_t count, Task&& task) {
    std::mutex failure_mutex;
    std::size_t failed_task = count;
    std::exception_ptr failure;
    const auto attempt = [&](std::size_t i) noexcept {
      try {
        task(i);
      } catch (...) {
        const std::lock_guard<std::mutex> lock(failure_mutex);
        if (i < failed_task) {
          failed_task = i;
          failure = std::current_exception();
        }
      }
    };
    std::unique_lock<std::mutex> busy(run_mutex_, std::try_to_lock);
    if (!busy || workers_.empty() || count < 2) {
      for (std::size_t i = 0; i < count; ++i) attempt(i);
    } else {
      Job job{count, &attempt, [](const void* f, std::size_t i) noexcept {
                (*static_cast<const decltype(attempt)*>(f))(i);
              }};
      dispatch(job);
    }
    if (failure) std::rethrow_exception(failure);
  }

  // Calls task(i) for every i in [0, count) on the workers while the caller
  // runs use(wait): wait(i) returns once task(i) has ended, running tasks
  // not yet taken itself meanwhile, and rethrows task(i)'s failure. Returns
  // once use has returned (or thrown) and no task runs; tasks not taken by
  // then are skipped. Tasks are taken in order, so the results use reads
  // are made at most a few tasks ahead of it by each worker.
  template <class Task, class Use>
  void run_beside(std::size_t count, Task&& task, Use&& use) {
    const auto done = std::make_unique<std::atomic<bool>[]>(count);
    const auto failures = std::make_unique<std::exception_ptr[]>(count);
    const auto attempt = [&](std::size_t i) noexcept {
      try {
        task(i);
      } catch (...) {
        failures[i] = std::current_exception();
      }
      done[i].store(true, std::memory_order_release);
    };
    Job job{count, &attempt, [](const void* f, std::size_t i) noexcept {
              (*static_cast<const decltype(attempt)*>(f))(i);
            }};
    const auto wait = [&](std::size_t i) {
      while (!done[i].load(std::memory_order_acquire)) {
        const std::size_t k = job.next.fetch_add(1, std::memory_order_relaxed);
        if (k < count) {
          attempt(k);
        } else {
          std::this_thread::yield();  // a worker is finishing task i
        }
      }
      if (failures[i]) std::rethrow_exception(failures[i]);
    };
    std::unique_lock<std::mutex> busy(run_mutex_, std::try_to_lock);
    if (!busy || workers_.empty() || count < 2) {
      use(wait);
      return;
    }
    start(job);
    // No task is taken once use has ended, and none runs when this returns.
    struct Finish {
      ThreadPool& pool;
      Job& job;
      ~Finish() {
        job.next.store(job.count, std::memory_order_relaxed);
        pool.finish();
      }
    } finish{*this, job};
    use(wait);
  }

  // TESSARY_NUM_THREADS, or the cores available to this process.
  static std::size_t configured_threads() noexcept {
    if (const char* text = std::getenv("TESSARY_NUM_THREADS"); text != nullptr && *text != '\0') {
      char* end = nullptr;
      const long value = std::strtol(text, &end, 10);
      if (*end == '\0' && value >= 1) return static_cast<std::size_t>(std::min(value, 256L));
    }
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0) {
      return static_cast<std::size_t>(std::max(CPU_COUNT(&cpus), 1));
    }
    return std::max(std::thread::hardware_concurrency(), 1u);
  }

 private:
  struct Job {
    std::size_t count;
    const void* task;
    void (*call)(const void*, std::size_t) noexcept;
    std::atomic<std::size_t> next{0};
  };

  explicit ThreadPool(std::size_t threads) : owner_(::getpid()) {
    // Fewer threads than asked for if the system refuses some.
    for (std::size_t i = 1; i < threads; ++i) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (...) {
        break;
      }
    }
    for (std::thread& worker : workers_) worker.detach();
  }

  static void take_tasks(Job& job) noexcept {
    for (std::size_t i; (i = job.next.fetch_add(1, std::memory_order_relaxed)) < job.count;) {
      job.call(job.task, i);
    }
  }

  void dispatch(Job& job) {
    start(job);
    take_tasks(job);
    finish();
  }

  // Wakes the workers to take the tasks of `job`.
  void start(Job& job) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      job_ = &job;
      ++generation_;
      active_ = workers_.size();
    }
    wake_.notify_all();
  }

  // Waits until every worker has left the job.
  void finish() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return active_ == 0; });
    job_ = nullptr;
  }

  void work() {
    std::size_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return generation_ != seen; });
      seen = generation_;
      Job& job = *job_;
      lock.unlock();
      take_tasks(job);
      lock.lock();
      if (--active_ == 0) done_.notify_one();
    }
  }

  const pid_t owner_;
  std::vector<std::thread> workers_;
  std::mutex run_mutex_;  // one run at a time
  std::mutex mutex_;      // guards job_, generation_, active_
  std::condition_variable wake_;
  std::condition_variable done_;
  Job* job_ = nullptr;
  std::size_t generation_ = 0;
  std::size_t active_ = 0;
};

// Columns profiled side by side: a call whose columns are all shorter than
// this stays on the calling thread, where waking the workers would cost
// more than they save.
inline constexpr std::uint64_t parallel_column_rows = std::uint64_t{1} << 14;

}  // namespace tessary
