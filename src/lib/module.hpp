// What each class family file gives the module: its type objects (created
// once, on first need) and its function definitions.
#pragma once

#include <memory>

#include "lib/py.hpp"

namespace zuldcore {

PyTypeObject* pattern_type();
PyTypeObject* zuldor_type();
PyTypeObject* preprocessed_stream_type();
PyTypeObject* annotation_spec_type();
PyTypeObject* state_machine_type();
PyTypeObject* state_span_type();

class CompiledPattern;
// Whether `obj` is a Zuldor, and its compiled pattern (shared with it).
bool is_zuldor(PyObject* obj);
std::shared_ptr<const CompiledPattern> zuldor_compiled(PyObject* obj);

// Creates the submodule zuldcore.corpus, registers it in sys.modules, and
// gives `module` a __getattr__ that finds it, so that its own names and
// __all__ stay the eleven.
void add_corpus_module(PyObject* module);

extern PyMethodDef ANNOTATE_STREAM_DEF;
extern PyMethodDef STATE_SPANS_DEF;
extern PyMethodDef VOCAB_IDS_DEF;

}  // namespace zuldcore
