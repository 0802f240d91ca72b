// vocab_ids: the interner's ids for a vocabulary, for coding a corpus
// elsewhere and feeding it to match_batch.
#include "base/interrupt.hpp"
#include "lib/args.hpp"
#include "lib/guard.hpp"
#include "lib/module.hpp"
#include "lib/streams.hpp"

namespace zuldcore {
namespace {

constexpr auto VOCAB_IDS = function("vocab_ids", req("tokens")).with_doc(
    "Return this library's internal token ids for a vocabulary, in order.\n"
    "\n"
    "Use the ids to remap an external integer-coded corpus into the coding that\n"
    "`Zuldor.match_batch` expects. Interning is idempotent and shares the same\n"
    "global table as pattern construction, so the ids line up with the tokens of\n"
    "every pattern.\n"
    "\n"
    "Example::\n"
    "\n"
    "    ids = vocab_ids(VOCAB)\n"
    "    remap = np.array(ids, dtype=np.uint32)   # external code -> zuld id\n"
    "    zuld_tokens = remap[corpus_codes]        # one vectorised NumPy pass\n");

PyObject* py_vocab_ids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto a = bind<VOCAB_IDS>(args, nargs, kwnames);
    TokenColumn column = convert_tokens(a["tokens"], "tokens");
    std::vector<TokenId> ids = intern_distinct(column);
    // Equal tokens share one int object; a corpus repeats few distinct tokens.
    InterruptCheck interrupt;
    std::vector<Owned> ints(ids.size());
    for (size_t d = 0; d < ids.size(); ++d) {
      interrupt.tick();
      ints[d] = made(PyLong_FromUnsignedLong(ids[d]));
    }
    Owned out = made(PyList_New(static_cast<Py_ssize_t>(column.size())));
    for (size_t i = 0; i < column.size(); ++i) {
      interrupt.tick();
      list_set(out, i, Owned::borrow(ints[column.codes[i]].get()));
    }
    return out;
  });
}

}  // namespace

PyMethodDef VOCAB_IDS_DEF = fastcall_def<VOCAB_IDS>(py_vocab_ids);

}  // namespace zuldcore
