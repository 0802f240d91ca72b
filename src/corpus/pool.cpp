// The threads of one call. Tests: tests/cpp/test_corpus.cpp (ranges, error
// order, stopping) and tests/test_corpus.py (results for 1 to 4 threads).
#include "corpus/pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include "base/interrupt.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace zuldcore {

size_t usable_cpus() noexcept {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

// A document weighs its rows plus this many: tiny documents still cost a call each.
constexpr uint64_t DOCUMENT_WEIGHT = 8;

std::vector<DocRange> split_documents(std::span<const int64_t> offsets, size_t count) {
  const size_t n_docs = offsets.empty() ? 0 : offsets.size() - 1;
  std::vector<DocRange> out;
  if (n_docs == 0 || count == 0) return out;
  count = std::min(count, n_docs);
  // The work before document k is offsets[k] + k * DOCUMENT_WEIGHT, which
  // grows with k: range r ends at the first document whose work before it
  // reaches r / count of the whole.
  auto work_before = [&](size_t k) {
    return static_cast<uint64_t>(offsets[k]) + static_cast<uint64_t>(k) * DOCUMENT_WEIGHT;
  };
  const uint64_t total = work_before(n_docs);
  size_t first = 0;
  for (size_t r = 1; r <= count && first < n_docs; ++r) {
    size_t last = n_docs;
    if (r < count) {
      const auto target = static_cast<uint64_t>(static_cast<unsigned __int128>(total) * r / count);
      size_t lo = first + 1, hi = n_docs;  // the first k in [lo, hi] with work_before(k) >= target
      while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (work_before(mid) >= target)
          hi = mid;
        else
          lo = mid + 1;
      }
      last = lo;
    }
    out.push_back({first, last});
    first = last;
  }
  return out;
}

namespace {

std::atomic<uint64_t> started{0};

constexpr auto WAIT_POLL = std::chrono::milliseconds(20);
constexpr size_t NO_FAILURE = std::numeric_limits<size_t>::max();

// What the threads of one call share.
class Tasks {
 public:
  Tasks(size_t n_tasks, const std::function<void(size_t, size_t)>& task)
      : n_(n_tasks), task_(task), errors_(n_tasks) {}

  // Takes and runs tasks until none is left. An exception of a task is kept
  // for the task; Interrupted ends the thread's part at once.
  void work(size_t thread) {
    for (;;) {
      const size_t t = next_.fetch_add(1, std::memory_order_relaxed);
      if (t >= n_) return;
      if (t > lowest_failed_.load(std::memory_order_relaxed)) continue;  // cannot matter
      try {
        task_(t, thread);
      } catch (const Interrupted&) {
        throw;
      } catch (...) {
        errors_[t] = std::current_exception();
        size_t low = lowest_failed_.load(std::memory_order_relaxed);
        while (t < low && !lowest_failed_.compare_exchange_weak(low, t, std::memory_order_relaxed)) {
        }
      }
    }
  }

  // The body of one worker thread.
  void worker(size_t thread) noexcept {
    {
      StopScope scope(stop);
      try {
        work(thread);
      } catch (...) {  // Interrupted: the calling thread already knows
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++finished_;
    done_.notify_one();
  }

  // Waits for `workers` workers to finish, asking the poll meanwhile.
  void wait_for(size_t workers) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (finished_ < workers) {
      if (done_.wait_for(lock, WAIT_POLL, [&] { return finished_ >= workers; })) break;
      lock.unlock();
      check_interrupt();
      lock.lock();
    }
  }

  void rethrow_first_failure() const {
    const size_t t = lowest_failed_.load(std::memory_order_relaxed);
    if (t != NO_FAILURE) std::rethrow_exception(errors_[t]);
  }

  StopFlag stop;

 private:
  const size_t n_;
  const std::function<void(size_t, size_t)>& task_;
  std::atomic<size_t> next_{0};
  std::atomic<size_t> lowest_failed_{NO_FAILURE};
  std::vector<std::exception_ptr> errors_;  // by task; each written by the one thread that ran it
  std::mutex mutex_;
  std::condition_variable done_;
  size_t finished_ = 0;
};

}  // namespace

void run_tasks(size_t n_tasks, size_t threads, const std::function<void(size_t, size_t)>& task) {
  threads = std::max<size_t>(1, std::min(threads, n_tasks));
  Tasks tasks(n_tasks, task);
  std::vector<std::thread> workers;
  // Whatever happens, the workers are stopped and joined before the call
  // returns: they read the caller's data.
  struct Joiner {
    Tasks& tasks;
    std::vector<std::thread>& workers;
    ~Joiner() {
      tasks.stop.raise();
      for (std::thread& w : workers) w.join();
    }
  } joiner{tasks, workers};
  try {
    workers.reserve(threads - 1);
    for (size_t i = 1; i < threads; ++i) {
      workers.emplace_back([&tasks, i] { tasks.worker(i); });
      started.fetch_add(1, std::memory_order_relaxed);
    }
  } catch (const std::exception&) {
    // No thread to be had (std::system_error) or no memory for one: the
    // threads that did start, and this one, take every task.
  }
  tasks.work(0);
  tasks.wait_for(workers.size());
  tasks.rethrow_first_failure();
}

uint64_t workers_started() noexcept { return started.load(std::memory_order_relaxed); }

}  // namespace zuldcore
