// An explained build's Python side: the context text and the evidence of
// each fact, handed over as (str, [dict]).
//
// Each dict holds a record's numbers in the order the rule recorded them
// (an int for an integral number, a float otherwise) and then its text, if
// any, under its key. Needs the interpreter lock; raises (returns null) on
// failure.
#pragma once

#include <Python.h>

#include "mellix/evidence.hpp"

namespace varnok_binding {

PyObject* explained_build_to_tuple(const mellix::ExplainedBuild& build);

}  // namespace varnok_binding
