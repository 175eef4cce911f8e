// Small helpers every file of the binding shares: engine values made into
// Python objects, and C++ exceptions made into Python ones.
//
// All need the interpreter lock. The makers return a new reference, or null
// with an exception set; raise_from_current_exception only runs inside a
// catch block and sets the exception for the one being handled.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "mellix/error_location.hpp"

namespace varnok_binding {

PyObject* new_str(std::string_view text);

// A path of keys and indices as a tuple of str and int.
PyObject* path_to_tuple(std::span<const mellix::PathStep> path);

// std::bad_alloc becomes MemoryError, anything else a RuntimeError naming
// `where` and the exception's text.
void raise_from_current_exception(const char* where) noexcept;

}  // namespace varnok_binding
