// The token vocabulary: dense ids in order of first sight, byte-exact keys,
// growth, the poisoned state after an internal failure, and running out of
// memory, which changes nothing.
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "alloc_failure.hpp"
#include "check.hpp"
#include "base/interrupt.hpp"
#include "intern/interner.hpp"

using namespace zuldcore;

TEST(interner_ids_are_dense_in_order_of_first_sight) {
  Interner in(42);
  CHECK_EQ(in.intern("b"), 0u);
  CHECK_EQ(in.intern("a"), 1u);
  CHECK_EQ(in.intern("b"), 0u);
  CHECK_EQ(in.intern(""), 2u);
  CHECK_EQ(in.intern(std::string_view("a\0b", 3)), 3u);
  CHECK_EQ(in.intern(std::string_view("a\0c", 3)), 4u);
  CHECK_EQ(in.size(), 5u);
  CHECK_EQ(in.at(3), std::string("a\0b", 3));
  CHECK_THROWS(in.at(5), Internal);
}

TEST(interner_survives_growth_with_every_string_found_again) {
  for (uint64_t seed : {0ull, 1ull, 0xdeadbeefull}) {
    Interner in(seed);
    std::vector<std::string> words;
    for (int i = 0; i < 20000; ++i) words.push_back("w" + std::to_string(i * 7919 % 100003));
    for (size_t i = 0; i < words.size(); ++i) CHECK_EQ(in.intern(words[i]), i);
    for (size_t i = 0; i < words.size(); ++i) CHECK_EQ(in.intern(words[i]), i);
    for (size_t i = 0; i < words.size(); i += 997) CHECK_EQ(in.at(i), words[i]);
  }
}

TEST(interner_grows_in_steps_that_change_nothing_until_the_last) {
  // Room for 15,000 more strings beside 20,000 (an index of 65,536 slots
  // must double), a few hundred slots per step: the index stays usable
  // between steps, an insertion between them makes the growth start over,
  // and after the last step every string is found and new ones take the next ids.
  Interner in(7);
  std::vector<std::string> words;
  for (int i = 0; i < 35000; ++i) words.push_back("g" + std::to_string(i));
  for (size_t i = 0; i < 20000; ++i) in.intern(words[i]);
  size_t steps = 0;
  bool restarted = false;
  while (!in.make_room(15000, 300)) {
    ++steps;
    CHECK_EQ(in.intern(words[steps * 31 % 20000]), steps * 31 % 20000);  // a look-up between steps
    if (steps == 500 && !restarted) {  // old slots are being moved by now
      for (size_t i = 20000; i < 20050; ++i) CHECK_EQ(in.intern(words[i]), i);  // the steps so far are dropped
      restarted = true;
      steps = 0;
    }
  }
  CHECK(restarted && steps > 500);
  CHECK(in.make_room(14950, 0));  // room is there: no work left to do
  for (size_t i = 20050; i < 35000; ++i) CHECK_EQ(in.intern(words[i]), i);
  for (size_t i = 0; i < 35000; ++i) CHECK_EQ(in.intern(words[i]), i);
}

TEST(hash_reads_every_byte_of_keys_of_every_length) {
  // Keys that differ in one byte at any position of any length up to 40
  // must be told apart (the short-key paths load overlapping words).
  Interner in(7);
  size_t next = 0;
  for (size_t len = 1; len <= 40; ++len) {
    for (size_t pos = 0; pos < len; ++pos) {
      std::string s(len, 'x');
      s[pos] = 'y';
      CHECK_EQ(in.intern(s), next);
      ++next;
    }
  }
}

TEST(intern_stream_takes_new_ids_in_first_position_order) {
  std::vector<std::string_view> tokens = {"zz-stream-1", "zz-stream-2", "zz-stream-1", "zz-stream-3"};
  std::vector<TokenId> ids = intern_stream(tokens);
  CHECK_EQ(ids[0], ids[2]);
  CHECK_EQ(ids[1], ids[0] + 1);
  CHECK_EQ(ids[3], ids[0] + 2);
  CHECK_EQ(resolve_batch(ids), (std::vector<std::string>{"zz-stream-1", "zz-stream-2",
                                                         "zz-stream-1", "zz-stream-3"}));
  CHECK_EQ(intern("zz-stream-2"), ids[1]);
  CHECK(intern_stream({}).empty());
}

TEST(a_long_stream_stops_between_chunks_and_leaves_the_vocabulary_whole) {
  // The poll says stop at its second question, asked before the third chunk
  // of 65,536 strings: two chunks stay interned, and the interner, not
  // poisoned, gives the rest the next ids as if nothing had happened.
  static int polls = 0;
  std::vector<std::string> strings;
  for (int i = 0; i < 200000; ++i) strings.push_back("zz-interrupted-" + std::to_string(i));
  const std::vector<std::string_view> tokens(strings.begin(), strings.end());
  const size_t before = vocabulary_size();
  std::vector<TokenId> ids(tokens.size());
  set_interrupt_poll([]() noexcept { return ++polls == 2; });
  bool stopped = false;
  try {
    intern_stream_into(tokens, ids);
  } catch (const Interrupted&) {
    stopped = true;
  }
  set_interrupt_poll(nullptr);
  CHECK(stopped);
  CHECK_EQ(polls, 2);
  CHECK_EQ(vocabulary_size() - before, size_t{2 * 65536});
  const std::vector<TokenId> again = intern_stream(tokens);
  for (size_t i = 0; i < tokens.size(); ++i) CHECK_EQ(again[i], static_cast<TokenId>(before + i));
}

TEST(an_unknown_id_poisons_the_interner) {
  // Poisoning lasts for the process, so it is observed in a child.
  pid_t pid = fork();
  if (pid == 0) {
    int code = 0;
    TokenId known = intern("zz-poison");
    try {
      std::vector<TokenId> bad = {known, 0xFFFFFFF0u};
      (void)resolve_batch(bad);
      code = 1;
    } catch (const Internal&) {
    }
    try {
      (void)intern("zz-poison");
      code = 2;
    } catch (const Internal& e) {
      if (std::string(e.what()).find("poisoned") == std::string::npos) code = 3;
    }
    try {
      (void)intern_stream(std::vector<std::string_view>{"x"});
      code = 4;
    } catch (const Internal&) {
    }
    _exit(code);
  }
  int status = 0;
  CHECK_EQ(waitpid(pid, &status, 0), pid);
  CHECK(WIFEXITED(status));
  CHECK_EQ(WEXITSTATUS(status), 0);
}

TEST(an_allocation_failure_while_interning_changes_nothing) {
  Interner in(5);
  std::vector<std::string> old, fresh;
  for (int i = 0; i < 50; ++i) old.push_back("old" + std::to_string(i));
  for (int i = 0; i < 20; ++i) fresh.push_back("new" + std::to_string(i));  // 70 keys: the index grows
  for (size_t i = 0; i < old.size(); ++i) CHECK_EQ(in.intern(old[i]), i);
  std::vector<std::string_view> batch = {old[7], fresh[0], old[3], fresh[1], fresh[0]};
  for (const std::string& s : fresh) batch.push_back(s);
  std::vector<TokenId> out(batch.size());

  const long failures = alloc_failure::each_allocation(
      [&] { in.intern_all(batch, out); },
      [&] {
        CHECK_EQ(in.size(), old.size());
        for (size_t i = 0; i < old.size(); ++i) CHECK_EQ(in.intern(old[i]), i);
      });
  CHECK(failures >= 3);  // the copies, the strings' room, the index's room
  CHECK_EQ(out[0], 7u);
  CHECK_EQ(out[2], 3u);
  CHECK_EQ(out[4], out[1]);
  for (size_t i = 0; i < fresh.size(); ++i) CHECK_EQ(in.intern(fresh[i]), old.size() + i);
  CHECK_EQ(in.size(), old.size() + fresh.size());

  // One token at a time, too.
  alloc_failure::each_allocation([&] { CHECK_EQ(in.intern("one more"), 70u); },
                                 [&] { CHECK_EQ(in.size(), 70u); });
}

TEST(running_out_of_memory_does_not_poison_the_interner) {
  // Were it poisoned, it would stay so for the process: observed in a child.
  pid_t pid = fork();
  if (pid == 0) {
    int code = 0;
    const size_t before = vocabulary_size();
    std::vector<std::string_view> tokens = {"zz-oom-a", "zz-oom-b", "zz-oom-a"};
    std::vector<TokenId> ids;
    alloc_failure::each_allocation([&] { ids = intern_stream(tokens); },
                                   [&] { code |= vocabulary_size() == before ? 0 : 1; });
    if (ids != std::vector<TokenId>{TokenId(before), TokenId(before + 1), TokenId(before)}) code |= 2;
    std::vector<std::string> text;
    alloc_failure::each_allocation([&] { text = resolve_batch(ids); },
                                   [&] { code |= vocabulary_size() == before + 2 ? 0 : 4; });
    if (text != std::vector<std::string>{"zz-oom-a", "zz-oom-b", "zz-oom-a"}) code |= 8;
    _exit(code);
  }
  int status = 0;
  CHECK_EQ(waitpid(pid, &status, 0), pid);
  CHECK(WIFEXITED(status));
  CHECK_EQ(WEXITSTATUS(status), 0);
}
