// What each class family file gives the module: its type objects (created
// once, on first need) and its function definitions.
#pragma once

#include "lib/py.hpp"

namespace zuldcore {

PyTypeObject* pattern_type();
PyTypeObject* zuldor_type();
PyTypeObject* preprocessed_stream_type();
PyTypeObject* annotation_spec_type();
PyTypeObject* state_machine_type();
PyTypeObject* state_span_type();

extern PyMethodDef ANNOTATE_STREAM_DEF;
extern PyMethodDef STATE_SPANS_DEF;
extern PyMethodDef VOCAB_IDS_DEF;

}  // namespace zuldcore
