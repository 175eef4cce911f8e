// The replay's Python side: its options read from arguments, its table
// handed over as a dict of columns.
//
// The table becomes {"moments": [int], "keys": [str], "symbols": [str],
// "human": [str] or
// None, and one bytes object per numeric column in native byte order:
// "moment_rows" (uint64, the first row of each moment and then the number
// of rows), "symbol" (uint32 indexes into "symbols"), "kind" (uint8, the
// fact kind's number), "value" and "magnitude" (float64), "ts" (int64)}, so
// that a caller views each as numbers without a copy. Each column's memory
// is given back as soon as it is copied.
// Needs the interpreter lock; raises (returns null) on failure.
#pragma once

#include <Python.h>

#include "mellix/replay.hpp"

namespace varnok_binding {

// `at`: a sequence of int (may be empty); `cut`: "all" or "window".
bool read_replay_options(PyObject* at, unsigned long long every, const char* reference,
                         const char* cut, int sentences, mellix::ReplayOptions& out);

// `human` is None unless `sentences`.
PyObject* replay_table_to_dict(mellix::ReplayTable& table, bool sentences);

}  // namespace varnok_binding
