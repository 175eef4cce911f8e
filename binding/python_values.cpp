#include "python_values.hpp"

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <variant>

#include "py_ref.hpp"

namespace varnok_binding {

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* path_to_tuple(std::span<const mellix::PathStep> path) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(path.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto* key = std::get_if<std::string>(&path[i]);
    PyObject* item = key ? new_str(*key) : PyLong_FromSize_t(std::get<std::size_t>(path[i]));
    if (item == nullptr || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item) < 0) {
      return nullptr;
    }
  }
  return tuple.release();
}

void raise_from_current_exception(const char* where) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error in %s: %s", where, e.what());
  } catch (...) {
    PyErr_Format(PyExc_RuntimeError, "internal error in %s: unknown C++ exception", where);
  }
}

}  // namespace varnok_binding
