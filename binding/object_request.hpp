// A command given as Python objects, read by the engine without JSON text.
//
// A request is valid when JSON text could carry every value of it: no value
// of another type (a tuple is an array, as json.dumps writes it), no NaN or
// infinite float, no dict key that is not a str, no str with a lone
// surrogate, no integer beyond the range of a double, and no containers
// nested 128 deep (which the text reader refuses too). An object with a
// `tolist()` method (numpy arrays and scalars) stands for what that method
// returns. ObjectValue views the objects with the interface every record
// conversion expects (json/reader.hpp), so that the engine reads them
// exactly as it reads a parsed document.
//
// A build is read in one walk over its objects: check_all_but() checks every
// value but the feeds beforehand, and the views check the feeds as the
// conversions meet them (what they pass over included), stopping the reading
// at the first value they cannot vouch for. Any other outcome goes the safe
// way: check() walks the whole request in the order json.dumps would write
// it, finds the first value without a JSON form or calls the tolist()
// methods, and only then are the objects read.
//
// The interpreter lock is held throughout, and the objects must not change
// until the command ends: nothing on the way runs Python code but the
// tolist() methods, all called by check(). An ObjectRequest owns what those
// returned; views borrow it and the objects. Not thread-safe.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "json/value_type.hpp"

namespace varnok_binding {

class ObjectRequest {
 public:
  // Fault: fault() names the first value without a JSON form. Raised: a
  // Python exception is pending (from a tolist() method, or MemoryError).
  // Unsure: a tolist() method would have to run; check() will do it.
  enum class Outcome { Valid, Fault, Raised, Unsure };

  ObjectRequest() = default;
  ObjectRequest(const ObjectRequest&) = delete;
  ObjectRequest& operator=(const ObjectRequest&) = delete;
  ~ObjectRequest();

  // The whole request. After Valid, views see nothing they must refuse.
  Outcome check(PyObject* root);
  // A dict request but for its member value `skipped`, which the views then
  // check as they are read. Calls no tolist() method.
  Outcome check_all_but(PyObject* root, PyObject* skipped);

  const std::string& fault() const { return fault_; }
  // The number of values checked or viewed: the size of the request.
  std::size_t values() const { return values_; }

 private:
  friend class ObjectValue;

  Outcome check_value(PyObject* object, std::size_t depth);
  Outcome check_members(PyObject* dict, std::size_t depth, PyObject* skipped);
  Outcome check_str(PyObject* object, std::string_view what);
  Outcome fail(std::string message);

  std::string fault_;
  std::size_t values_ = 0;
  bool whole_ = false;    // check() passed: the views trust every value
  bool may_call_ = true;  // whether check_value() may run tolist() methods
  std::unordered_map<PyObject*, PyObject*> substitutes_;  // owns the values
};

class ObjectValue {
 public:
  // The root of a request that `request` checked.
  ObjectValue(PyObject* object, ObjectRequest& request) : ObjectValue(object, request, 0) {}

  mellix::json::ValueType type() const { return type_; }
  bool get_bool() const { return number_.boolean; }
  std::int64_t get_int64() const { return number_.int64; }
  std::uint64_t get_uint64() const { return number_.uint64; }
  double get_double() const { return number_.real; }
  std::string_view get_string() const { return string_; }

  std::size_t size() const {
    if (type_ == mellix::json::ValueType::Object) return as_size(PyDict_Size(object_));
    return as_size(tuple_ ? PyTuple_Size(object_) : PyList_Size(object_));
  }
  // Both stop with false at a value the view cannot vouch for.
  template <class F>
  bool for_each_element(F&& f) const {
    const Py_ssize_t n = tuple_ ? PyTuple_Size(object_) : PyList_Size(object_);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = tuple_ ? PyTuple_GetItem(object_, i) : PyList_GetItem(object_, i);
      const ObjectValue element(item, *request_, depth_ + 1);
      if (!element.vouched_ || !f(element)) return false;
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
      const std::optional<std::string_view> name = key_text(key);
      if (!name) return false;
      const ObjectValue member(value, *request_, depth_ + 1);
      if (!member.vouched_ || !f(*name, member)) return false;
    }
    return true;
  }
  // A value the conversions do not read: checked here, whole.
  bool check_passed_over() const;

  std::optional<std::size_t> begin_offset() const { return std::nullopt; }
  std::optional<std::size_t> end_offset() const { return std::nullopt; }

 private:
  ObjectValue(PyObject* object, ObjectRequest& request, std::size_t depth);

  static std::size_t as_size(Py_ssize_t n) { return static_cast<std::size_t>(n); }
  std::optional<std::string_view> key_text(PyObject* key) const;

  PyObject* object_;
  ObjectRequest* request_;
  std::string_view string_;
  std::uint32_t depth_;  // containers around the value
  mellix::json::ValueType type_ = mellix::json::ValueType::Null;
  bool tuple_ = false;   // an array that is a tuple, not a list
  bool vouched_ = true;  // false: the reading must stop here
  union {
    bool boolean;
    std::int64_t int64;
    std::uint64_t uint64;
    double real = 0;
  } number_;
};

}  // namespace varnok_binding
