#include "engine/points.hpp"

#include <algorithm>

#include "engine/matcher.hpp"

namespace zuldcore {

namespace {

std::vector<Point> single_points(TokenId id, const StreamView& s) {
  std::vector<Point> out;
  for (size_t i = 0; i < s.size(); ++i)
    if (s.tokens[i] == id) out.push_back({i, i, s.times[i], s.value_at(i)});
  return out;
}

std::vector<Point> set_points(const std::vector<std::string>& tokens, const StreamView& s) {
  std::vector<TokenId> ids;
  ids.reserve(tokens.size());
  for (const std::string& t : tokens) ids.push_back(intern(t));
  std::vector<Point> out;
  for (size_t i = 0; i < s.size(); ++i)
    if (std::find(ids.begin(), ids.end(), s.tokens[i]) != ids.end())
      out.push_back({i, i, s.times[i], s.value_at(i)});
  return out;
}

std::vector<Point> sequence_points(const Trie& trie, const StreamView& s) {
  std::vector<Point> out;
  for (size_t i = 0; i < s.size();) {
    std::optional<size_t> len = match_at(trie, s.tokens, s.times, s.values, i);
    if (len && *len >= 1) {
      out.push_back({i, i + *len - 1, s.times[i], s.value_at(i)});
      i += *len;
    } else {
      ++i;
    }
  }
  return out;
}

Expected<std::vector<Point>> pattern_points(const Pattern& p, const StreamView& s) {
  Expected<Engine> engine = make_engine(p);
  if (!engine) return fail(engine.message());
  MatchBuffer buf = match_stream(engine.value(), s.tokens, s.times, s.values, false, false);
  std::vector<Point> out;
  out.reserve(buf.n_matches());
  for (size_t m = 0; m < buf.n_matches(); ++m) {
    const auto start = static_cast<size_t>(buf.m_start[m]);
    out.push_back({start, static_cast<size_t>(buf.m_end[m]), buf.t_start[m], s.value_at(start)});
  }
  // One point per start, the shortest occurrence.
  if (out.size() >= 2) {
    std::sort(out.begin(), out.end(), [](const Point& a, const Point& b) {
      return a.start != b.start ? a.start < b.start : a.end < b.end;
    });
    out.erase(std::unique(out.begin(), out.end(),
                          [](const Point& a, const Point& b) { return a.start == b.start; }),
              out.end());
  }
  return out;
}

}  // namespace

Expected<std::vector<Point>> match_points(const TokenRef& ref, const StreamView& s) {
  ZC_ENSURE(s.times.size() == s.size() && (s.values.empty() || s.values.size() == s.size()),
            "match_points: stream columns of different lengths");
  return std::visit(
      [&](const auto& form) -> Expected<std::vector<Point>> {
        using F = std::decay_t<decltype(form)>;
        if constexpr (std::is_same_v<F, TokenRef::Single>)
          return single_points(intern(form.token), s);
        else if constexpr (std::is_same_v<F, TokenRef::Set>)
          return set_points(form.tokens, s);
        else if constexpr (std::is_same_v<F, TokenRef::Sequences>)
          return sequence_points(form.trie, s);
        else
          return pattern_points(form.pattern, s);
      },
      ref.form);
}

Expected<std::shared_ptr<const std::vector<Point>>> PointsCache::get(const TokenRef& ref) {
  std::string key = token_ref_key(ref);
  if (!key.empty()) {
    auto it = by_key_.find(key);
    if (it != by_key_.end()) return it->second;
  }
  Expected<std::vector<Point>> points = match_points(ref, stream_);
  if (!points) return fail(points.message());
  auto shared = std::make_shared<const std::vector<Point>>(std::move(points).value());
  if (!key.empty()) by_key_.emplace(std::move(key), shared);
  return shared;
}

}  // namespace zuldcore
