// Process-wide vocabulary: the guarded singleton and its poisoning rule.
#include "intern/interner.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <random>

#include "base/ensure.hpp"
#include "base/interrupt.hpp"

namespace zuldcore {

void StringBlocks::reserve(size_t n) {
  const size_t blocks = (n + BLOCK - 1) >> SHIFT;
  if (blocks <= blocks_.size()) return;
  std::vector<std::unique_ptr<std::string[]>> more;
  for (size_t b = blocks_.size(); b < blocks; ++b) more.push_back(std::make_unique<std::string[]>(BLOCK));
  blocks_.reserve(blocks);
  for (auto& block : more) blocks_.push_back(std::move(block));  // cannot fail: room reserved
}

bool Interner::make_room(size_t extra, size_t budget) {
  strings_.reserve(strings_.size() + extra);
  return ids_.grow_step(growth_, extra, Keys{this}, budget);
}

TokenId Interner::intern(std::string_view s) {
  TokenId id;
  intern_all(std::span<const std::string_view>(&s, 1), std::span<TokenId>(&id, 1));
  return id;
}

void Interner::intern_all(std::span<const std::string_view> tokens, std::span<TokenId> out) {
  constexpr size_t MAX_TOKENS = size_t{std::numeric_limits<TokenId>::max()} + 1;
  ZC_ENSURE(tokens.size() == out.size(), "intern_all: ", tokens.size(), " tokens but ", out.size(),
            " outputs");
  // Known strings first; this allocates nothing when every string is known.
  struct Missing {
    size_t pos;
    uint64_t hash;
  };
  std::vector<Missing> missing;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const uint64_t h = hash_bytes(tokens[i], seed_);
    const int64_t found = ids_.find(tokens[i], h, Keys{this});
    if (found >= 0)
      out[i] = static_cast<TokenId>(found);
    else
      missing.push_back({i, h});
  }
  if (missing.empty()) return;

  // Every allocation happens before the vocabulary changes, so that running
  // out of memory leaves it as it was: the copies, then room for them in the
  // strings and in the index. `missing` may repeat a string; its room and
  // copies are then counted twice, and the spare copy is dropped.
  if (strings_.size() + missing.size() > MAX_TOKENS) {
    std::vector<std::string_view> distinct;
    for (const Missing& m : missing) distinct.push_back(tokens[m.pos]);
    std::sort(distinct.begin(), distinct.end());
    const size_t n_new = std::unique(distinct.begin(), distinct.end()) - distinct.begin();
    if (strings_.size() + n_new > MAX_TOKENS)
      throw OverflowError(cat("the token vocabulary is full (", MAX_TOKENS, " distinct tokens)"));
  }
  std::vector<std::string> copies;
  copies.reserve(missing.size());
  for (const Missing& m : missing) copies.emplace_back(tokens[m.pos]);
  strings_.reserve(strings_.size() + missing.size());
  ids_.reserve(missing.size(), Keys{this});

  // Nothing below allocates: the index has room, and moving a string into
  // reserved capacity cannot fail.
  for (size_t k = 0; k < missing.size(); ++k) {
    const Missing& m = missing[k];
    bool inserted = false;
    const auto next = static_cast<uint32_t>(strings_.size());
    out[m.pos] = ids_.find_or_insert(tokens[m.pos], m.hash, next, Keys{this}, inserted);
    if (inserted) strings_.push_back(std::move(copies[k]));
  }
}

const std::string& Interner::at(TokenId id) const {
  ZC_ENSURE(id < strings_.size(), "token id ", id, " outside the vocabulary of ", strings_.size(),
            " tokens");
  return strings_[id];
}

namespace {

struct Guarded {
  std::mutex mutex;
  bool poisoned = false;
  Interner interner{std::random_device{}() ^ (uint64_t{std::random_device{}()} << 32)};
};

Guarded& guarded_interner() {
  // Never destroyed: ids must stay valid until the process ends.
  static Guarded* g = new Guarded;
  return *g;
}

template <class F>
auto with_interner(F&& f) {
  Guarded& g = guarded_interner();
  std::lock_guard lock(g.mutex);
  if (g.poisoned) throw Internal("the token interner is poisoned by an earlier internal failure");
  try {
    return f(g.interner);
  } catch (const OverflowError&) {
    throw;  // raised before anything changed
  } catch (const std::bad_alloc&) {
    throw;  // every operation leaves the vocabulary as it was when memory runs out
  } catch (...) {
    g.poisoned = true;
    throw;
  }
}

// Growth steps of the index between which Ctrl-C is heard: a million slots
// rehash in well under a second.
constexpr size_t GROWTH_STEP = size_t{1} << 20;

// f(interner) under the lock, once the index has room for `extra` more
// strings. Room is made in steps, each under one lock, asking the poll
// between them, outside the lock: the poll may run the embedder's code (a
// signal handler), which may itself intern. Usually there is room at once,
// and the lock is taken once.
template <class F>
auto with_room(size_t extra, F&& f) {
  for (;;) {
    auto done = with_interner([&](Interner& in) {
      using R = decltype(f(in));
      return in.make_room(extra, GROWTH_STEP) ? std::optional<R>(f(in)) : std::optional<R>();
    });
    if (done) return *done;
    check_interrupt();
  }
}

}  // namespace

TokenId intern(std::string_view s) {
  return with_room(1, [&](Interner& in) { return in.intern(s); });
}

void intern_stream_into(std::span<const std::string_view> tokens, std::span<TokenId> out) {
  ZC_ENSURE(tokens.size() == out.size(), "intern_stream_into: ", tokens.size(), " tokens but ",
            out.size(), " outputs");
  // A long stream goes in chunks of a few milliseconds' work, each all or
  // nothing under one lock, with the interrupt check between them and outside
  // the lock (see with_room). A stop leaves the chunks before it interned,
  // with their ids, and the vocabulary whole.
  constexpr size_t CHUNK = size_t{1} << 16;
  size_t at = 0;
  do {
    if (at > 0) check_interrupt();
    const size_t n = std::min(CHUNK, tokens.size() - at);
    with_room(n, [&](Interner& in) {
      in.intern_all(tokens.subspan(at, n), out.subspan(at, n));
      return 0;
    });
    at += n;
  } while (at < tokens.size());
}

std::vector<TokenId> intern_stream(std::span<const std::string_view> tokens) {
  std::vector<TokenId> ids(tokens.size());
  intern_stream_into(tokens, ids);
  return ids;
}

std::vector<std::string> resolve_batch(std::span<const TokenId> ids) {
  std::vector<std::string> out;
  out.reserve(ids.size());
  with_interner([&](Interner& in) {
    for (TokenId id : ids) out.push_back(in.at(id));
    return 0;
  });
  return out;
}

size_t vocabulary_size() {
  return with_interner([](Interner& in) { return in.size(); });
}

}  // namespace zuldcore
