// The corpus floor where Python cannot look: how documents are cut into
// ranges, which error a job's threads report, how the calling thread stops
// its workers, and how often a job asks the poll. The jobs' results and
// messages are checked from Python (tests/test_corpus.py).
#include <atomic>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/interrupt.hpp"
#include "check.hpp"
#include "corpus/jobs.hpp"
#include "corpus/pool.hpp"

using namespace zuldcore;

namespace {

std::vector<int64_t> random_offsets(std::mt19937& rng, size_t n_docs) {
  std::vector<int64_t> offsets{0};
  std::uniform_int_distribution<int> length(0, 3);
  for (size_t k = 0; k < n_docs; ++k) {
    // Now and then a long document among short and empty ones.
    const int64_t n = rng() % 50 == 0 ? 500 : length(rng);
    offsets.push_back(offsets.back() + n);
  }
  return offsets;
}

}  // namespace

TEST(split_documents_covers_every_document_once_in_balanced_ranges) {
  std::mt19937 rng(7);
  for (size_t n_docs : {0, 1, 2, 3, 10, 333}) {
    const std::vector<int64_t> offsets = random_offsets(rng, n_docs);
    for (size_t count : {1, 2, 3, 8, 32, 1000}) {
      const std::vector<DocRange> ranges = split_documents(offsets, count);
      CHECK(ranges.size() <= count);
      CHECK_EQ(ranges.size(), std::min(count, n_docs) == 0 ? 0 : ranges.size());
      size_t next = 0;
      uint64_t heaviest = 0;  // the work of the heaviest document
      for (size_t k = 0; k < n_docs; ++k)
        heaviest = std::max<uint64_t>(heaviest, static_cast<uint64_t>(offsets[k + 1] - offsets[k]) + 8);
      const uint64_t total = static_cast<uint64_t>(offsets.back()) + 8 * n_docs;
      for (const DocRange& r : ranges) {
        CHECK_EQ(r.first, next);
        CHECK(r.last > r.first);
        const uint64_t work = static_cast<uint64_t>(offsets[r.last] - offsets[r.first]) + 8 * (r.last - r.first);
        CHECK(work <= total / ranges.size() + heaviest);
        next = r.last;
      }
      CHECK_EQ(next, n_docs);
    }
  }
}

TEST(run_tasks_runs_every_task_once_on_any_number_of_threads) {
  for (size_t threads : {1, 2, 3, 4, 9}) {
    for (size_t n_tasks : {0, 1, 5, 64}) {
      std::vector<std::atomic<int>> runs(n_tasks);
      std::atomic<size_t> highest_thread{0};
      run_tasks(n_tasks, threads, [&](size_t t, size_t thread) {
        runs[t].fetch_add(1);
        size_t seen = highest_thread.load();
        while (thread > seen && !highest_thread.compare_exchange_weak(seen, thread)) {
        }
      });
      for (size_t t = 0; t < n_tasks; ++t) CHECK_EQ(runs[t].load(), 1);
      CHECK(highest_thread.load() < std::max<size_t>(1, std::min(threads, n_tasks)));
    }
  }
}

TEST(run_tasks_reports_the_lowest_failing_task_and_runs_every_task_below_it) {
  for (size_t threads : {1, 2, 4}) {
    for (int round = 0; round < 20; ++round) {
      const size_t n_tasks = 40;
      const std::vector<size_t> failing = {static_cast<size_t>(5 + round), 33, static_cast<size_t>(39 - round % 3)};
      std::vector<std::atomic<int>> runs(n_tasks);
      size_t reported = SIZE_MAX;
      try {
        run_tasks(n_tasks, threads, [&](size_t t, size_t) {
          runs[t].fetch_add(1);
          // Later tasks fail faster, so that threads meet failures out of order.
          if (std::find(failing.begin(), failing.end(), t) != failing.end())
            throw std::runtime_error(std::to_string(t));
          std::this_thread::yield();
        });
      } catch (const std::runtime_error& e) {
        reported = std::stoul(e.what());
      }
      CHECK_EQ(reported, failing[0]);
      for (size_t t = 0; t <= failing[0]; ++t) CHECK_EQ(runs[t].load(), 1);
      for (size_t t = failing[0] + 1; t < n_tasks; ++t) CHECK(runs[t].load() <= 1);
    }
  }
}

namespace {

// A poll that says stop on the thread that installed it, once it has been
// asked `after` times; never on any other thread.
std::thread::id poll_thread;
std::atomic<int> polls_left{0};
bool stop_after_some_polls() noexcept {
  if (std::this_thread::get_id() != poll_thread) return false;
  return polls_left.fetch_sub(1) <= 0;
}

struct InstalledPoll {
  explicit InstalledPoll(int after) {
    poll_thread = std::this_thread::get_id();
    polls_left = after;
    set_interrupt_poll(&stop_after_some_polls);
  }
  ~InstalledPoll() { set_interrupt_poll(nullptr); }
};

// Ticks until stopped: only a stop ends it.
void endless_work() {
  InterruptCheck interrupt;
  for (;;) interrupt.tick();
}

}  // namespace

TEST(the_calling_threads_poll_stops_every_worker) {
  // The calling thread working a task of its own, then waiting with nothing
  // left to do while the workers run on: both ways every thread stops.
  for (bool caller_works : {true, false}) {
    InstalledPoll poll(3);
    bool interrupted = false;
    std::atomic<int> busy{0};
    try {
      run_tasks(4, 4, [&](size_t, size_t thread) {
        if (thread == 0 && !caller_works) {
          while (busy.load() == 0) std::this_thread::yield();  // leave some work to a worker
          return;
        }
        ++busy;
        endless_work();
      });
    } catch (const Interrupted&) {
      interrupted = true;
    }
    CHECK(interrupted);
  }
}

TEST(a_stop_scope_answers_from_its_flag_alone) {
  InstalledPoll poll(0);  // the poll says stop at once on this thread
  CHECK_THROWS(check_interrupt(), Interrupted);
  StopFlag outer, inner;
  {
    StopScope a(outer);
    check_interrupt();  // the flag is down: the poll is not asked
    {
      StopScope b(inner);
      outer.raise();
      check_interrupt();  // the innermost scope's flag applies
      inner.raise();
      CHECK_THROWS(check_interrupt(), Interrupted);
    }
    CHECK_THROWS(check_interrupt(), Interrupted);
  }
  CHECK_THROWS(check_interrupt(), Interrupted);
}

namespace {
std::atomic<int> polls_asked{0};
bool count_polls() noexcept {
  polls_asked.fetch_add(1);
  return false;
}
}  // namespace

TEST(jobs_over_many_small_documents_ask_the_poll_as_often_as_over_one_long_one) {
  // Each document's own loops count from zero and never reach a check, so the
  // job counts the documents' work: 10,000 one-row documents under 50 specs
  // are 1,000,000 steps, a poll every 4,096 of them.
  Corpus c;
  c.offsets = {0};
  for (int d = 0; d < 10'000; ++d) {
    c.tokens.push_back(intern("k"));
    c.times.push_back(d);
    c.offsets.push_back(d + 1);
  }
  std::vector<AnnotKind> kinds(50, AnnotKind{PastOccurrence{TokenRef{TokenRef::Single{"k"}}, 1.0, false}});
  std::vector<const AnnotKind*> specs;
  for (const AnnotKind& k : kinds) specs.push_back(&k);
  set_interrupt_poll(&count_polls);
  polls_asked = 0;
  corpus_annotate(c, specs, 1);
  set_interrupt_poll(nullptr);
  CHECK(polls_asked.load() >= 2 * 50 * 10'000 / 4096);
}
