// The context format's functions of the module: the Python layer reads,
// writes and merges contexts through the library's one implementation
// (mellix/context_text.hpp) instead of a copy of its own.
//
// A context crosses as a "record" tuple (facts, symbols, lookback): facts a
// tuple of (kind, symbol, value, magnitude, ts, human) tuples with the kind's
// wire name, symbols a tuple of str. Every function needs the interpreter
// lock and returns a new reference, or null with an exception set: ValueError
// with the library's message for a refused merge, ValueError(message, path)
// for a refused context (path: the refused value's keys and indices), TypeError or
// OverflowError for a record of the wrong shape. No function keeps a
// reference to its arguments.
#pragma once

#include <Python.h>

#include "mellix/context_spec.hpp"

namespace varnok_binding {

// read_context(text): text is str or bytes.
PyObject* read_context(PyObject* module, PyObject* text);

// write_context(facts, symbols, lookback): the engine's text of the record.
PyObject* write_context(PyObject* module, PyObject* args);

// merge_contexts(records): the record of the merged context.
PyObject* merge_contexts(PyObject* module, PyObject* records);

// (symbols, lookback, facts, timeframe): the spec as the engine holds it,
// facts as wire names and timeframe None when absent.
PyObject* spec_record(const mellix::ContextSpec& spec);

// ((wire name, description, evidence), ...) of the fact kinds, in ranking order.
PyObject* fact_kind_table();

}  // namespace varnok_binding
