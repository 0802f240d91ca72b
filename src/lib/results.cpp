// buf_to_py and collector_to_py. Token ids are resolved once per key: the
// distinct ids of that key in one resolve_batch call, then one str object per
// distinct id, shared by every cell that shows it.
#include "lib/results.hpp"

#include <unordered_map>

#include "lib/guard.hpp"
#include "lib/numpy.hpp"

namespace zuldcore {
namespace {

// The str objects for a set of ids, made once per distinct id.
class TokenStrings {
 public:
  explicit TokenStrings(std::span<const TokenId> ids) {
    std::vector<TokenId> distinct;
    for (TokenId id : ids)
      if (index_.emplace(id, distinct.size()).second) distinct.push_back(id);
    std::vector<std::string> text = resolve_batch(distinct);  // one lock for the whole key
    strings_.reserve(text.size());
    for (const std::string& s : text)
      strings_.push_back(made(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))));
  }

  // The str of `id`, shared by every cell that shows it.
  Owned get(TokenId id) const {
    auto it = index_.find(id);
    ZC_ENSURE(it != index_.end(), "token id ", id, " was not resolved");
    return Owned::borrow(strings_[it->second].get());
  }

 private:
  std::unordered_map<TokenId, size_t> index_;
  std::vector<Owned> strings_;
};

Owned list_of(size_t n) { return made(PyList_New(static_cast<Py_ssize_t>(n))); }

Owned collector_to_py(CollectorStrategy strategy, std::vector<double>&& scalars,
                      std::vector<std::vector<CollectedPair>>&& lists) {
  switch (strategy) {
    case CollectorStrategy::None:
      return Owned::borrow(Py_None);
    case CollectorStrategy::SumTimes:
    case CollectorStrategy::Count:
      return to_numpy(std::move(scalars));
    case CollectorStrategy::CollectTimes: {
      Owned out = list_of(lists.size());
      for (size_t i = 0; i < lists.size(); ++i) {
        std::vector<double> times;
        times.reserve(lists[i].size());
        for (const auto& [token, time] : lists[i]) times.push_back(time);
        list_set(out, i, to_numpy(std::move(times)));
      }
      return out;
    }
    case CollectorStrategy::CollectTokens:
    case CollectorStrategy::CollectPairs: {
      std::vector<TokenId> ids;
      for (const auto& entry : lists)
        for (const auto& [token, time] : entry) ids.push_back(token);
      TokenStrings strings(ids);
      const bool pairs = strategy == CollectorStrategy::CollectPairs;
      Owned out = list_of(lists.size());
      for (size_t i = 0; i < lists.size(); ++i) {
        Owned entry = list_of(lists[i].size());
        for (size_t j = 0; j < lists[i].size(); ++j) {
          const auto& [token, time] = lists[i][j];
          Owned text = strings.get(token);
          if (pairs) {
            Owned t = made(PyFloat_FromDouble(time));
            list_set(entry, j, made(PyTuple_Pack(2, text.get(), t.get())));
          } else {
            list_set(entry, j, std::move(text));
          }
        }
        list_set(out, i, std::move(entry));
      }
      return out;
    }
  }
  throw Internal(cat("unknown collector strategy ", static_cast<int>(strategy)));
}

Owned el_tokens_to_py(const MatchBuffer& buf, size_t n_matches) {
  TokenStrings strings(buf.el_tokens);
  const size_t width = buf.n_elements;
  ZC_ENSURE(buf.el_token_counts.size() == n_matches * width, "el_token_counts holds ",
            buf.el_token_counts.size(), " entries for ", n_matches, " matches of ", width, " elements");
  Owned rows = list_of(n_matches);
  size_t cursor = 0;
  for (size_t m = 0; m < n_matches; ++m) {
    Owned row = list_of(width);
    for (size_t e = 0; e < width; ++e) {
      const size_t k = buf.el_token_counts[m * width + e];
      ZC_ENSURE(cursor + k <= buf.el_tokens.size(), "token counts ask for more tokens than recorded");
      if (k == 1) {
        list_set(row, e, strings.get(buf.el_tokens[cursor]));
      } else {
        Owned cell = list_of(k);
        for (size_t j = 0; j < k; ++j) list_set(cell, j, strings.get(buf.el_tokens[cursor + j]));
        list_set(row, e, std::move(cell));
      }
      cursor += k;
    }
    list_set(rows, m, std::move(row));
  }
  return rows;
}

// The result dictionary's keys, made once and kept for the process:
// building and hashing nine strings per call is a visible share of a small
// call's cost.
enum Key { M_START, M_END, T_START, T_END, EL_STREAM_IDX, EL_TIMES, EL_TOKENS, RESULT, MID_RESULT, N_KEYS };
constexpr const char* KEY_TEXT[N_KEYS] = {"m_start",  "m_end",     "t_start", "t_end",     "el_stream_idx",
                                          "el_times", "el_tokens", "result",  "mid_result"};

PyObject* key(Key k) {
  static PyObject* keys[N_KEYS] = {};
  if (keys[k] == nullptr) keys[k] = check(PyUnicode_InternFromString(KEY_TEXT[k])).keep_for_process();
  return keys[k];
}

// A new result dictionary holding every key of the result in order, each
// mapped to None: a copy of a template made once, so that a call replaces
// values instead of inserting keys (and growing the table on the way).
Owned fresh_result(bool with_tokens) {
  static PyObject* templates[2] = {};
  PyObject*& t = templates[with_tokens];
  if (t == nullptr) {
    Owned d = made(PyDict_New());
    for (int k = 0; k < N_KEYS; ++k)
      if (with_tokens || k != EL_TOKENS) check_rc(PyDict_SetItem(d.get(), key(static_cast<Key>(k)), Py_None));
    t = std::move(d).keep_for_process();
  }
  return made(PyDict_Copy(t));
}

void put(const Owned& dict, Key k, const Owned& value) {
  check_rc(PyDict_SetItem(dict.get(), key(k), value.get()));
}

}  // namespace

Owned buf_to_py(MatchBuffer&& buf, CollectorStrategy collector, std::optional<CollectorStrategy> midstream) {
  const size_t n_matches = buf.m_start.size();
  const auto rows = static_cast<npy_intp>(n_matches);
  const auto cols = static_cast<npy_intp>(buf.n_elements);
  Owned out = fresh_result(buf.include_tokens);
  SharedColumns<MatchBuffer> columns(std::move(buf));
  MatchBuffer& b = columns.value();
  put(out, M_START, columns.array(b.m_start));
  put(out, M_END, columns.array(b.m_end));
  put(out, T_START, columns.array(b.t_start));
  put(out, T_END, columns.array(b.t_end));
  put(out, EL_STREAM_IDX, columns.array_2d(b.el_stream_idx, rows, cols));
  put(out, EL_TIMES, columns.array_2d(b.el_times, rows, cols));
  if (b.include_tokens) {
    put(out, EL_TOKENS, el_tokens_to_py(b, n_matches));
    // The arrays keep the buffer alive; what they do not show is freed now.
    std::vector<TokenId>().swap(b.el_tokens);
    std::vector<uint32_t>().swap(b.el_token_counts);
  }
  if (collector != CollectorStrategy::None)
    put(out, RESULT, collector_to_py(collector, std::move(b.result_scalars), std::move(b.result_lists)));
  if (midstream)
    put(out, MID_RESULT, collector_to_py(*midstream, std::move(b.mid_scalars), std::move(b.mid_lists)));
  return out;
}

}  // namespace zuldcore
