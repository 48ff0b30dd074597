// The process-wide worker pool for data-parallel work.
//
// `parallel_for(n, fn)` splits [0, n) into contiguous ranges and runs fn(begin, end) for
// each of them on the pool's threads; the calling thread takes ranges too and returns
// when every range is done. Callers write results by element index, so outputs keep
// input order whatever the scheduling. Several threads may submit work at once.
//
// The pool is created on first use with one thread per processor this process may run
// on (its affinity mask) and is never destroyed. A child process forked while the pool
// exists starts with a fresh, empty pool: the parent's threads do not exist there.
// Work run here must never touch Python objects.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace mn::pool {

using RangeFn = std::function<void(size_t begin, size_t end)>;

namespace internal {

inline size_t processors_available() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<size_t>(count);
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<size_t>(online) : 1;
}

struct Job {
  const RangeFn* fn = nullptr;
  size_t n = 0;
  size_t chunk = 1;
  size_t chunks = 0;
  std::atomic<size_t> next_chunk{0};
  size_t finished = 0;  // guarded by the pool mutex
  size_t users = 0;     // workers holding a pointer to this job; guarded by the pool mutex
  std::exception_ptr error;  // first failure; guarded by the pool mutex
};

class WorkerPool {
 public:
  explicit WorkerPool(size_t threads) : size_(threads) {
    for (size_t i = 0; i < threads; ++i) std::thread([this] { worker_loop(); }).detach();
  }

  size_t size() const { return size_; }

  void run(size_t n, size_t chunk, const RangeFn& fn) {
    Job job;
    job.fn = &fn;
    job.n = n;
    job.chunk = chunk;
    job.chunks = (n + chunk - 1) / chunk;
    {
      std::lock_guard<std::mutex> lock(mu_);
      jobs_.push_back(&job);
    }
    work_cv_.notify_all();
    run_chunks(job);
    std::unique_lock<std::mutex> lock(mu_);
    remove_job(&job);
    done_cv_.wait(lock, [&] { return job.finished == job.chunks && job.users == 0; });
    if (job.error) std::rethrow_exception(job.error);
  }

  std::mutex& mutex() { return mu_; }

 private:
  // Claims and runs ranges of `job` until none is left.
  void run_chunks(Job& job) {
    for (;;) {
      size_t index = job.next_chunk.fetch_add(1, std::memory_order_relaxed);
      if (index >= job.chunks) return;
      size_t begin = index * job.chunk;
      size_t end = std::min(job.n, begin + job.chunk);
      std::exception_ptr error;
      try {
        (*job.fn)(begin, end);
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(mu_);
      if (error && !job.error) job.error = error;
      if (++job.finished == job.chunks) done_cv_.notify_all();
    }
  }

  void remove_job(Job* job) {
    auto it = std::find(jobs_.begin(), jobs_.end(), job);
    if (it != jobs_.end()) jobs_.erase(it);
  }

  void worker_loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      work_cv_.wait(lock, [&] { return !jobs_.empty(); });
      Job* job = jobs_.front();
      ++job->users;
      lock.unlock();
      run_chunks(*job);
      lock.lock();
      remove_job(job);  // no ranges left to hand out
      if (--job->users == 0) done_cv_.notify_all();
    }
  }

  size_t size_;
  std::mutex mu_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::deque<Job*> jobs_;
};

inline std::mutex g_create_mu;
inline WorkerPool* g_pool = nullptr;

inline void before_fork() {
  g_create_mu.lock();
  if (g_pool) g_pool->mutex().lock();
}
inline void after_fork_parent() {
  if (g_pool) g_pool->mutex().unlock();
  g_create_mu.unlock();
}
inline void after_fork_child() {
  // The parent's workers were not copied into this process. Abandon the old pool (its
  // threads and locks belong to the parent) and let the next call create a new one.
  g_pool = nullptr;
  new (&g_create_mu) std::mutex();
}

inline WorkerPool& instance() {
  std::lock_guard<std::mutex> lock(g_create_mu);
  if (!g_pool) {
    static bool fork_handlers_installed = false;
    if (!fork_handlers_installed) {
      pthread_atfork(before_fork, after_fork_parent, after_fork_child);
      fork_handlers_installed = true;
    }
    g_pool = new WorkerPool(processors_available());
  }
  return *g_pool;
}

}  // namespace internal

// Number of threads of the pool (creating it if needed).
inline size_t worker_count() { return internal::instance().size(); }

// Runs fn over [0, n) in contiguous ranges of at least `min_chunk` elements. Exceptions
// thrown by fn reach the caller after every range has finished.
inline void parallel_for(size_t n, size_t min_chunk, const RangeFn& fn) {
  if (n == 0) return;
  min_chunk = std::max<size_t>(min_chunk, 1);
  internal::WorkerPool& pool = internal::instance();
  size_t workers = pool.size();
  if (workers <= 1 || n <= min_chunk) {
    fn(0, n);
    return;
  }
  // A few ranges per worker balance uneven elements without much hand-over cost.
  size_t chunk = std::max(min_chunk, (n + workers * 4 - 1) / (workers * 4));
  pool.run(n, chunk, fn);
}

}  // namespace mn::pool
