// A command given as Python objects, read by the engine without JSON text.
//
// ObjectRequest::check() walks the objects once, in the order json.dumps
// would write them, and stops at the first that JSON text could not carry:
// a value of no JSON type (a tuple is an array, as json.dumps writes it), a float that is NaN or
// infinite, a dict key that is not a str, a str with a lone surrogate, an integer beyond the range
// of a double, or containers nested 128 deep (what the text reader refuses too). An object with a
// `tolist()` method (numpy arrays and scalars) stands for what the method returns. Once checked,
// ObjectValue views the objects with the interface every record conversion expects
// (json/reader.hpp), so that the engine reads them exactly as it reads a parsed document.
//
// The interpreter lock is held throughout, and the objects must not change
// between the check and the end of the command: nothing on the way runs
// Python code but the `tolist()` methods, all called by check(). An
// ObjectRequest owns what those returned; views borrow it and the objects.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json/value_type.hpp"

namespace varnok_binding {

class ObjectRequest {
 public:
  enum class Outcome { Valid, Fault, Raised };

  ObjectRequest() = default;
  ObjectRequest(const ObjectRequest&) = delete;
  ObjectRequest& operator=(const ObjectRequest&) = delete;
  ~ObjectRequest();

  // Valid, or Fault with fault() describing the first unreadable value, or
  // Raised when a Python exception is pending (from a tolist() method, or
  // MemoryError).
  Outcome check(PyObject* root);

  const std::string& fault() const { return fault_; }
  // The number of values checked: the size of the request.
  std::size_t values() const { return values_; }
  // What stands for `object`, an object of no JSON type: its tolist() result.
  PyObject* substitute(PyObject* object) const;

 private:
  Outcome check_value(PyObject* object, std::size_t depth, bool substituted);
  Outcome check_str(PyObject* object, std::string_view what);
  Outcome fail(std::string message);

  std::string fault_;
  std::size_t values_ = 0;
  std::unordered_map<PyObject*, PyObject*> substitutes_;  // owns the values
};

class ObjectValue {
 public:
  ObjectValue(PyObject* object, const ObjectRequest& request);

  mellix::json::ValueType type() const { return type_; }
  bool get_bool() const { return number_.boolean; }
  std::int64_t get_int64() const { return number_.int64; }
  std::uint64_t get_uint64() const { return number_.uint64; }
  double get_double() const { return number_.real; }
  std::string_view get_string() const { return utf8(object_); }

  std::size_t size() const {
    if (type_ == mellix::json::ValueType::Object) return as_size(PyDict_Size(object_));
    return as_size(tuple_ ? PyTuple_Size(object_) : PyList_Size(object_));
  }
  template <class F>
  bool for_each_element(F&& f) const {
    const Py_ssize_t n = tuple_ ? PyTuple_Size(object_) : PyList_Size(object_);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = tuple_ ? PyTuple_GetItem(object_, i) : PyList_GetItem(object_, i);
      if (!f(ObjectValue(item, *request_))) return false;
    }
    return true;
  }
  // Members in the dict's order; the conversions sort them where it matters.
  template <class F>
  bool for_each_member(F&& f) const {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(object_, &position, &key, &value)) {
      if (!f(utf8(key), ObjectValue(value, *request_))) return false;
    }
    return true;
  }

  std::optional<std::size_t> begin_offset() const { return std::nullopt; }
  std::optional<std::size_t> end_offset() const { return std::nullopt; }

 private:
  static std::size_t as_size(Py_ssize_t n) { return static_cast<std::size_t>(n); }
  // A checked str's UTF-8 form, cached in the str object by the check.
  static std::string_view utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    return {data, static_cast<std::size_t>(size)};
  }

  PyObject* object_;
  const ObjectRequest* request_;
  mellix::json::ValueType type_ = mellix::json::ValueType::Null;
  bool tuple_ = false;  // an array that is a tuple, not a list
  union {
    bool boolean;
    std::int64_t int64;
    std::uint64_t uint64;
    double real = 0;
  } number_;
};

}  // namespace varnok_binding
