// The match map of Pattern.add_mapped_event read from Python: each entry's
// key and spec dictionary compiled into the model's MatchMap, in the
// dictionary's order, with the rules of types/builders.hpp. Tokens are
// interned as they are read (the key's, then the spec's block tokens, then
// its match tokens), so a failure part-way leaves those read so far in the
// vocabulary.
#pragma once

#include "lib/py.hpp"
#include "types/pattern.hpp"

namespace zuldcore {

// The entries of `match_map` (a dict); of equal keys the last wins. The
// first bad entry ends the call, its exception noted "in match_map entry
// {key!r}" (Python 3.11 and later).
MatchMap read_match_map(PyObject* match_map);

// One spec dictionary (the default spec).
ResolvedElement read_mapped_spec(PyObject* spec);

}  // namespace zuldcore
