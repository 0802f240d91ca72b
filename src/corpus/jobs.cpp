// One loop per job: for each document of a range, the single-stream step on
// the document's slice, its output appended (match, state spans) or written
// in place (annotation). Tests: tests/cpp/test_corpus.cpp and
// tests/test_corpus.py (every job against the per-document loop over the
// single-stream calls, for 1 to 4 threads).
#include "corpus/jobs.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "base/ensure.hpp"
#include "base/interrupt.hpp"
#include "corpus/pool.hpp"

namespace zuldcore {

namespace {

// More threads than this are never started, whatever was asked for.
constexpr size_t MAX_THREADS = 256;
// Ranges per thread beyond one thread: a thread that finishes its range
// early takes another, so uneven documents still keep every thread busy.
constexpr size_t RANGES_PER_THREAD = 8;

size_t thread_count(size_t threads) {
  return std::min(threads == ALL_CPUS ? usable_cpus() : threads, MAX_THREADS);
}

std::vector<DocRange> job_ranges(const Corpus& corpus, size_t threads) {
  return split_documents(corpus.offsets, threads == 1 ? 1 : threads * RANGES_PER_THREAD);
}

// The steps a document counts for the interrupt check: its rows (plus one)
// for each of `passes` passes over it. The single-stream steps tick inside
// but start counting afresh for every document, so a corpus of many small
// documents must count them here, or a check could be many seconds away.
uint32_t work_of(const StreamView& doc, size_t passes) {
  return static_cast<uint32_t>(std::min<size_t>((doc.size() + 1) * std::max<size_t>(passes, 1), 1u << 20));
}

template <class T>
void append(std::vector<T>& to, const std::vector<T>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

template <class T>
void append_moved(std::vector<T>& to, std::vector<T>& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

void append_shifted(std::vector<int64_t>& to, const std::vector<int64_t>& from, int64_t shift) {
  const size_t at = to.size();
  to.resize(at + from.size());
  for (size_t i = 0; i < from.size(); ++i) to[at + i] = from[i] + shift;
}

// The parts of a job in range order, as one: the first part's storage
// grows to hold the others.
CorpusMatches joined(std::vector<CorpusMatches>& parts) {
  CorpusMatches out = std::move(parts.front());
  size_t matches = out.doc.size();
  for (size_t r = 1; r < parts.size(); ++r) matches += parts[r].doc.size();
  out.buffer.reserve_matches(matches);
  out.doc.reserve(matches);
  for (size_t r = 1; r < parts.size(); ++r) {
    append_matches(out.buffer, parts[r].buffer, 0);
    append(out.doc, parts[r].doc);
    parts[r] = CorpusMatches{};
  }
  return out;
}

CorpusStates joined(std::vector<CorpusStates>& parts) {
  CorpusStates out = std::move(parts.front());
  for (size_t r = 1; r < parts.size(); ++r) {
    out.columns.append(std::move(parts[r].columns));
    append(out.doc, parts[r].doc);
    parts[r] = CorpusStates{};
  }
  return out;
}

}  // namespace

void append_matches(MatchBuffer& to, MatchBuffer& from, int64_t shift) {
  ZC_ENSURE(to.n_elements == from.n_elements && to.include_tokens == from.include_tokens,
            "appending matches of another shape");
  append_shifted(to.m_start, from.m_start, shift);
  append_shifted(to.m_end, from.m_end, shift);
  append(to.t_start, from.t_start);
  append(to.t_end, from.t_end);
  append_shifted(to.el_stream_idx, from.el_stream_idx, shift);
  append(to.el_times, from.el_times);
  append(to.el_tokens, from.el_tokens);
  append(to.el_token_counts, from.el_token_counts);
  append(to.result_scalars, from.result_scalars);
  append_moved(to.result_lists, from.result_lists);
  append(to.mid_scalars, from.mid_scalars);
  append_moved(to.mid_lists, from.mid_lists);
}

CorpusMatches corpus_match(const Corpus& corpus, const MatchProgram& program, bool first_only,
                           bool include_tokens, size_t threads) {
  const size_t k = program.engine().n_elements;
  threads = thread_count(threads);
  const std::vector<DocRange> ranges = job_ranges(corpus, threads);
  if (ranges.empty()) return CorpusMatches{MatchBuffer(k, include_tokens, 0), {}};

  // One matcher and one document buffer per thread: their storage is
  // reused for every document the thread takes.
  struct Scratch {
    explicit Scratch(const MatchProgram& program) : matcher(program) {}
    StreamMatcher matcher;
    MatchBuffer buffer;
  };
  std::vector<std::optional<Scratch>> scratch(threads);
  std::vector<CorpusMatches> parts(ranges.size());
  run_tasks(ranges.size(), threads, [&](size_t r, size_t thread) {
    if (!scratch[thread]) scratch[thread].emplace(program);
    Scratch& s = *scratch[thread];
    CorpusMatches& out = parts[r];
    out.buffer.reset(k, include_tokens, 0);
    InterruptCheck interrupt;
    for (size_t d = ranges[r].first; d < ranges[r].last; ++d) {
      const StreamView doc = corpus.document(d);
      interrupt.tick(work_of(doc, 1));
      // What the matcher would find in a document that lacks the pattern's
      // tokens: nothing, for far less than a call.
      if (!program.may_match_in(doc.tokens)) continue;
      s.matcher.match(doc.tokens, doc.times, doc.values, first_only, include_tokens, s.buffer);
      const size_t found = s.buffer.n_matches();
      if (found == 0) continue;
      append_matches(out.buffer, s.buffer, corpus.offsets[d]);
      out.doc.insert(out.doc.end(), found, static_cast<int64_t>(d));
    }
  });
  return joined(parts);
}

CorpusStates corpus_state_spans(const Corpus& corpus, const StateMachineDecl& machine, bool include_invalid,
                                size_t threads) {
  // The triggers resolved once for every document; what fails here fails
  // for any data, before any work.
  Expected<MachineProgram> compiled = MachineProgram::compile(machine);
  if (!compiled) throw ValueError(compiled.message());
  const MachineProgram& program = compiled.value();
  threads = thread_count(threads);
  const std::vector<DocRange> ranges = job_ranges(corpus, threads);
  if (ranges.empty()) return {};
  // One scratch per thread, reused for every document the thread takes: a
  // document costs no allocation once the buffers have grown, and its
  // instances go straight into its range's columns.
  std::vector<MachineScratch> scratch(threads);
  std::vector<CorpusStates> parts(ranges.size());
  run_tasks(ranges.size(), threads, [&](size_t r, size_t thread) {
    // Filled here and moved into place at the end: the parts of ranges that
    // other threads fill lie next to it, and writing them side by side
    // would pass cache lines to and fro.
    CorpusStates out;
    MachineScratch& s = scratch[thread];
    InterruptCheck interrupt;
    for (size_t d = ranges[r].first; d < ranges[r].last; ++d) {
      const StreamView doc = corpus.document(d);
      interrupt.tick(work_of(doc, 1));
      if (doc.size() == 0) continue;  // no instances
      const size_t added = run_machine(program, doc, s, out.columns, include_invalid, corpus.offsets[d]);
      out.doc.insert(out.doc.end(), added, static_cast<int64_t>(d));
    }
    parts[r] = std::move(out);
  });
  return joined(parts);
}

std::vector<Column> corpus_annotate(const Corpus& corpus, std::span<const AnnotKind* const> specs,
                                    size_t threads) {
  // The plan resolves every reference once, and fails with what no data can
  // avoid, before any document is read.
  AnnotationPlan plan;
  for (size_t i = 0; i < specs.size(); ++i) {
    Status added = plan.add(*specs[i]);
    if (!added) throw SpecFailure{i, added.message()};
  }
  threads = thread_count(threads);
  // Each column is a corpus long, and making it zeroes it: the threads make
  // them side by side.
  std::vector<Column> columns(specs.size());
  run_tasks(specs.size(), threads, [&](size_t i, size_t) {
    columns[i] = plan.column(i, corpus.size());
    check_interrupt();
  });
  std::vector<ColumnOut> outs;
  outs.reserve(specs.size());
  for (Column& column : columns) outs.push_back(column_out(column));
  const std::vector<DocRange> ranges = job_ranges(corpus, threads);
  // One scratch per thread, kept for every document the thread takes.
  std::vector<std::optional<AnnotationScratch>> scratch(threads);
  run_tasks(ranges.size(), threads, [&](size_t r, size_t thread) {
    if (!scratch[thread]) scratch[thread].emplace();
    InterruptCheck interrupt;
    for (size_t d = ranges[r].first; d < ranges[r].last; ++d) {
      const StreamView doc = corpus.document(d);
      interrupt.tick(work_of(doc, specs.size()));
      if (doc.size() == 0) continue;
      const auto first = static_cast<size_t>(corpus.offsets[d]);
      if (std::optional<SpecFailure> failed = plan.evaluate(doc, *scratch[thread], outs, first)) throw *failed;
    }
  });
  return columns;
}

}  // namespace zuldcore
