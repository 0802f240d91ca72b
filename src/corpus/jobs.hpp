// The jobs over a corpus: matching, state spans and annotation, each
// document on its own through the very function the single-stream call
// uses, on the document's slice of the corpus, with positions shifted to
// corpus rows. Documents are shared among threads in contiguous ranges
// (corpus/pool.hpp), and the results put together in document order, so
// they are the same bytes for any number of threads.
//
// Failures: what does not depend on the data (a pattern too large, too many
// triggers) fails before any work, even for a corpus without documents: the
// state job compiles its machine once (state/machine.hpp), and the
// annotation job first runs its per-document step on an empty document,
// which also resolves the token references once (engine/points.hpp), so
// that the documents only scan with them. After that, the failure of the
// lowest failing document is thrown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "annotate/annotate.hpp"
#include "corpus/corpus.hpp"
#include "engine/match_buffer.hpp"
#include "engine/matcher.hpp"
#include "state/machine.hpp"

namespace zuldcore {

// `threads` of the jobs below: 0 for every usable CPU (usable_cpus()).
inline constexpr size_t ALL_CPUS = 0;

// The matches of every document (StreamMatcher::match of the document),
// in document order; m_start, m_end and el_stream_idx are corpus rows.
struct CorpusMatches {
  MatchBuffer buffer;
  std::vector<int64_t> doc;  // the document of each match
};
CorpusMatches corpus_match(const Corpus& corpus, const MatchProgram& program, bool first_only,
                           bool include_tokens, size_t threads);

// The instances of every document (run_machine on the document, as
// state_spans runs it on a stream), in document order, all of them or only
// the valid ones; positions are corpus rows. A failure to compile the
// machine is thrown as ValueError with its message.
struct CorpusStates {
  StateColumns columns;
  std::vector<int64_t> doc;  // the document of each instance
};
CorpusStates corpus_state_spans(const Corpus& corpus, const StateMachineDecl& machine, bool include_invalid,
                                size_t threads);

// One column per spec, one entry per corpus row: each document evaluated
// on its own by the plan of the specs (AnnotationPlan::evaluate, as
// annotate_stream evaluates its one stream), written straight into the
// columns. A failure is thrown as SpecFailure.
std::vector<Column> corpus_annotate(const Corpus& corpus, std::span<const AnnotKind* const> specs,
                                    size_t threads);

// Appends the matches of `from` to `to` (of the same shape), adding `shift`
// to their positions; `from`'s collected lists are moved.
void append_matches(MatchBuffer& to, MatchBuffer& from, int64_t shift);

}  // namespace zuldcore
