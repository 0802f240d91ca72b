// Sharing one call's documents among threads: contiguous ranges of
// documents, and the threads of one call (the calling thread and workers
// started for the call, joined before it returns). The results of a range
// are the range's own, so that putting them together in range order gives
// the same bytes for any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace zuldcore {

// The CPUs this process may run on (its affinity mask), at least 1.
size_t usable_cpus() noexcept;

// Documents first .. last - 1.
struct DocRange {
  size_t first = 0;
  size_t last = 0;
};

// The documents of `offsets` (n_docs + 1 entries, checked) cut into at most
// `count` contiguous ranges, none empty, of about equal work: the rows of
// each document plus a fixed share for the document itself. No ranges for
// no documents.
std::vector<DocRange> split_documents(std::span<const int64_t> offsets, size_t count);

// Runs task(i, thread) for every task i in 0 .. n_tasks - 1 on up to
// `threads` threads: the calling thread (thread 0) and up to threads - 1
// workers (1, 2, ...), each taking the next task in order. Returns when
// every task has finished or been skipped. When tasks throw, the exception
// of the lowest-numbered failing task is rethrown; tasks numbered above a
// failed one may be skipped, those below never are. So a job whose tasks
// are ranges in document order fails with the error of its lowest failing
// document, whatever the threads did.
//
// Stopping: the calling thread's check_interrupt() asks the installed poll
// (between and inside its tasks, and every 20 ms while it waits for the
// workers); the workers' checks read a StopFlag that the calling thread
// raises when its poll says stop. Then Interrupted is thrown once every
// worker has stopped. A worker that cannot be started leaves its share to
// the others.
void run_tasks(size_t n_tasks, size_t threads, const std::function<void(size_t task, size_t thread)>& task);

// Worker threads started by run_tasks in this process (for tests).
uint64_t workers_started() noexcept;

}  // namespace zuldcore
