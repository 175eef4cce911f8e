// A command given as Python objects, read by the engine without JSON text.
//
// A request is valid when JSON text could carry every value of it: no value
// of another type (a tuple is an array, as json.dumps writes it), no NaN or
// infinite float, no dict key that is not a str, no str with a lone
// surrogate (a pair of surrogates is the one character json.dumps and the
// text reader make of it), no integer beyond the range of a double, and no
// containers nested 128 deep (which the text reader refuses too). An object
// with a `tolist()` method (numpy arrays and scalars) stands for what that
// method returns; a dict or list subclass is read through its own `items()`
// or iteration, as json.dumps reads it. ObjectValue views the objects with
// the interface every record conversion expects (json/reader.hpp), so that
// the engine reads them exactly as it reads a parsed document.
//
// Python code may run while a request is read (a tolist() method, a
// property, __getattr__, a subclass's items(), a signal handler), and that
// code may change or free anything the request holds. So the reading is in
// two stages:
//  - the checks (check(), check_all_but()) run no Python code but signal
//    handlers, every few thousand values, so that Ctrl-C stops a walk over a
//    huge request; they hold a reference to every container and value on
//    their way down and re-read sizes, so whatever a handler does, nothing
//    freed is read. A request that needs Python code to be read is Unsure;
//  - copy() then makes a private copy of the request out of plain dicts,
//    lists, str, int, float, bool and None, running that code as json.dumps
//    would, and refusing a container whose size changed under the walk
//    ("dictionary changed size during iteration").
// The views (ObjectValue) run no Python code at all. They trust a copy;
// over the caller's own objects they check every value they read, and what
// the conversions pass over, so that no value escapes the checks.
//
// The interpreter lock is held throughout. An ObjectRequest owns its copy
// and the references it took; views borrow them. Not thread-safe.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "mellix/host_value.hpp"
#include "mellix/request_limits.hpp"
#include "py_ref.hpp"

namespace varnok_binding {

// What a Python object is to a request: a subclass of dict, list or tuple is
// read through its own Python code, as json.dumps reads it.
enum class ObjectKind : std::uint8_t {
  None,
  Bool,
  Int,
  Float,
  Str,
  Dict,
  List,
  Tuple,
  DictSubclass,
  ListSubclass,
  Other,
};

class ObjectRequest {
 public:
  // Fault: fault() names the first value without a JSON form. Raised: a
  // Python exception is pending (from Python code the reading ran, a signal
  // handler's KeyboardInterrupt, or MemoryError). Unsure: Python code would
  // have to run; copy() runs it.
  enum class Outcome { Valid, Fault, Raised, Unsure };

  ObjectRequest() = default;
  ObjectRequest(const ObjectRequest&) = delete;
  ObjectRequest& operator=(const ObjectRequest&) = delete;
  ~ObjectRequest();

  // The whole request, in the order json.dumps writes it.
  Outcome check(PyObject* root);
  // A dict request but for its member value `skipped`, which the views then
  // check as the conversions meet it.
  Outcome check_all_but(PyObject* root, PyObject* skipped);
  // After Valid, root() is the copy that views of this request read.
  Outcome copy(PyObject* root);

  PyObject* root() const { return copy_root_; }
  const std::string& fault() const { return fault_; }
  // The number of values checked or viewed: the size of the request.
  std::size_t values() const { return values_; }

 private:
  friend class ObjectValue;

  struct Copied {
    PyObject* value = nullptr;  // a new reference
    std::size_t height = 0;     // containers nested in it, itself included
  };

  Outcome check_value(PyObject* object, std::size_t depth);
  Outcome check_members(PyObject* dict, std::size_t depth, PyObject* skipped);
  Outcome check_elements(PyObject* sequence, std::size_t depth);
  Outcome copy_value(PyObject* object, std::size_t depth, Copied& out);
  Outcome copy_once(PyObject* object, ObjectKind kind, std::size_t depth, Copied& out);
  Outcome copy_new(PyObject* object, ObjectKind kind, std::size_t depth, Copied& out);
  Outcome copy_str(PyObject* str, const char* what, Ref& out);
  Outcome copy_member(PyObject* key, PyObject* value, std::size_t depth, PyObject* into,
                      std::size_t& height);
  Outcome copy_dict(PyObject* dict, std::size_t depth, Copied& out);
  Outcome copy_items(PyObject* items, std::size_t depth, Copied& out);
  Outcome copy_sequence(PyObject* sequence, std::size_t depth, Copied& out);
  Outcome copy_substitute(PyObject* object, std::size_t depth, Copied& out);
  // Counts a value: Valid, or Raised when a signal handler raised, or
  // Unsure when a value passed over in one walk is too large to check
  // without running the signal handlers.
  Outcome tick();
  Outcome fail(std::string message);

  std::string fault_;
  std::size_t values_ = 0;
  // check_value() runs for the views (one walk): no signal handlers then,
  // and at most `budget_` values.
  bool for_views_ = false;
  std::size_t budget_ = 0;
  bool checked_ = false;  // check() or copy() passed: the whole request was seen
  bool trusted_ = false;  // copy() passed: the views read the copy
  PyObject* copy_root_ = nullptr;
  // What copy() made of each container or substitute it met, by the
  // original, which it keeps alive so that no other object takes its
  // address: a value shared by many places is copied (and its tolist()
  // called) once.
  std::unordered_map<PyObject*, Copied> copies_;
};

class ObjectValue {
 public:
  // The root of a request that `request` checked: its copy when it made one.
  ObjectValue(PyObject* object, ObjectRequest& request) : ObjectValue(object, request, 0) {}

  mellix::ValueType type() const { return type_; }
  bool get_bool() const { return number_.boolean; }
  std::int64_t get_int64() const { return number_.int64; }
  std::uint64_t get_uint64() const { return number_.uint64; }
  double get_double() const { return number_.real; }
  std::string_view get_string() const { return string_; }

  std::size_t size() const {
    if (type_ == mellix::ValueType::Object) return as_size(PyDict_Size(object_));
    return as_size(tuple_ ? PyTuple_Size(object_) : PyList_Size(object_));
  }
  // Both stop with false at a value the view cannot vouch for.
  template <class F>
  bool for_each_element(F&& f) const {
    for (Py_ssize_t i = 0; i < (tuple_ ? PyTuple_Size(object_) : PyList_Size(object_)); ++i) {
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
  mellix::ValueType type_ = mellix::ValueType::Null;
  bool tuple_ = false;   // an array that is a tuple, not a list
  bool vouched_ = true;  // false: the reading must stop here
  union {
    bool boolean;
    std::int64_t int64;
    std::uint64_t uint64;
    double real = 0;
  } number_;
};

static_assert(mellix::HostValueView<ObjectValue>);

}  // namespace varnok_binding
