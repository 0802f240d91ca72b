// Process-wide vocabulary: the guarded singleton and its poisoning rule.
#include "intern/interner.hpp"

#include <limits>
#include <mutex>
#include <random>

#include "types/ensure.hpp"

namespace zuldcore {

TokenId Interner::intern(std::string_view s) {
  constexpr size_t MAX_TOKENS = size_t{std::numeric_limits<TokenId>::max()} + 1;
  const uint64_t h = hash_bytes(s, seed_);
  const auto next = static_cast<uint32_t>(strings_.size());
  if (strings_.size() == MAX_TOKENS) [[unlikely]] {
    // Every id is taken: a known string still resolves, a new one cannot.
    int64_t found = ids_.find(s, h, Keys{this});
    if (found >= 0) return static_cast<TokenId>(found);
    throw OverflowError(cat("the token vocabulary is full (", MAX_TOKENS, " distinct tokens)"));
  }
  bool inserted = false;
  uint32_t id = ids_.find_or_insert(s, h, next, Keys{this}, inserted);
  if (inserted) strings_.emplace_back(s);
  return id;
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
  } catch (...) {
    g.poisoned = true;
    throw;
  }
}

}  // namespace

TokenId intern(std::string_view s) {
  return with_interner([&](Interner& in) { return in.intern(s); });
}

void intern_stream_into(std::span<const std::string_view> tokens, std::span<TokenId> out) {
  ZC_ENSURE(tokens.size() == out.size(), "intern_stream_into: ", tokens.size(), " tokens but ",
            out.size(), " outputs");
  with_interner([&](Interner& in) {
    for (size_t i = 0; i < tokens.size(); ++i) out[i] = in.intern(tokens[i]);
    return 0;
  });
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
