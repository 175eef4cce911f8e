#include "object_request.hpp"

#include <cmath>
#include <string>
#include <utility>

namespace varnok_binding {
namespace {

using mellix::json::ValueType;

// Containers nested this deep are refused, as the text reader refuses them.
constexpr std::size_t kMaxNesting = 128;

enum class Kind { None, Bool, Int, Float, Str, Dict, List, Tuple, Other };

// Exact types first: they are nearly all a request holds, and a subclass
// test is a call into the interpreter under the limited API. bool is tested
// before int, which it subclasses.
Kind kind_of(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyFloat_Type) return Kind::Float;
  if (type == &PyLong_Type) return Kind::Int;
  if (type == &PyUnicode_Type) return Kind::Str;
  if (type == &PyList_Type) return Kind::List;
  if (type == &PyDict_Type) return Kind::Dict;
  if (object == Py_None) return Kind::None;
  if (type == &PyBool_Type) return Kind::Bool;
  if (PyLong_Check(object)) return Kind::Int;
  if (PyFloat_Check(object)) return Kind::Float;
  if (PyUnicode_Check(object)) return Kind::Str;
  if (PyList_Check(object)) return Kind::List;
  if (PyDict_Check(object)) return Kind::Dict;
  if (PyTuple_Check(object)) return Kind::Tuple;
  return Kind::Other;
}

// An int as the text reader takes its literal: a signed 64-bit integer, an
// unsigned one above that, a double beyond 64 bits (rounded to nearest, as
// the text's digits are). False, with no exception pending, beyond the range
// of a double.
template <class Number>
bool read_int(PyObject* object, ValueType& type, Number& number) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow == 0) {
    type = ValueType::Int64;
    number.int64 = value;
    return true;
  }
  if (overflow > 0) {
    const unsigned long long wide = PyLong_AsUnsignedLongLong(object);
    if (!PyErr_Occurred()) {
      type = ValueType::UInt64;
      number.uint64 = wide;
      return true;
    }
    PyErr_Clear();
  }
  const double real = PyLong_AsDouble(object);
  if (real == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  type = ValueType::Double;
  number.real = real;
  return true;
}

std::string type_name(PyObject* object) {
  PyObject* name = PyType_GetName(Py_TYPE(object));
  if (name == nullptr) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(name, &size);
  std::string out = data ? std::string(data, static_cast<std::size_t>(size)) : "?";
  if (!data) PyErr_Clear();
  Py_DecRef(name);
  return out;
}

}  // namespace

ObjectRequest::~ObjectRequest() {
  for (const auto& [object, substitute] : substitutes_) Py_DecRef(substitute);
}

ObjectRequest::Outcome ObjectRequest::check(PyObject* root) {
  may_call_ = true;
  const Outcome outcome = check_value(root, 0);
  whole_ = outcome == Outcome::Valid;
  return outcome;
}

ObjectRequest::Outcome ObjectRequest::check_all_but(PyObject* root, PyObject* skipped) {
  may_call_ = false;
  ++values_;
  return check_members(root, 0, skipped);
}

ObjectRequest::Outcome ObjectRequest::fail(std::string message) {
  fault_ = std::move(message);
  return Outcome::Fault;
}

ObjectRequest::Outcome ObjectRequest::check_str(PyObject* object, std::string_view what) {
  if (PyUnicode_AsUTF8AndSize(object, nullptr) != nullptr) return Outcome::Valid;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Outcome::Raised;
  PyErr_Clear();
  std::string message = "lone surrogate in ";
  message += what;
  return fail(std::move(message));
}

ObjectRequest::Outcome ObjectRequest::check_members(PyObject* dict, std::size_t depth,
                                                    PyObject* skipped) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (kind_of(key) != Kind::Str) {
      std::string message = "key must be a str, not ";
      message += type_name(key);
      return fail(std::move(message));
    }
    if (const Outcome o = check_str(key, "key"); o != Outcome::Valid) return o;
    if (value == skipped) continue;
    if (const Outcome o = check_value(value, depth + 1); o != Outcome::Valid) return o;
  }
  return Outcome::Valid;
}

ObjectRequest::Outcome ObjectRequest::check_value(PyObject* object, std::size_t depth) {
  ++values_;
  switch (kind_of(object)) {
    case Kind::None:
    case Kind::Bool:
      return Outcome::Valid;
    case Kind::Int: {
      ValueType type{};
      union {
        std::int64_t int64;
        std::uint64_t uint64;
        double real;
      } number{};
      if (read_int(object, type, number)) return Outcome::Valid;
      return fail("number out of range");
    }
    case Kind::Float: {
      const double real = PyFloat_AsDouble(object);
      if (std::isfinite(real)) return Outcome::Valid;
      std::string message = "float `";
      message += std::isnan(real) ? "nan" : real > 0 ? "inf" : "-inf";
      message += "` has no JSON form";
      return fail(std::move(message));
    }
    case Kind::Str:
      return check_str(object, "string");
    case Kind::Dict:
      if (depth + 1 >= kMaxNesting) return fail("recursion limit exceeded");
      return check_members(object, depth, nullptr);
    case Kind::List:
    case Kind::Tuple: {
      if (depth + 1 >= kMaxNesting) return fail("recursion limit exceeded");
      const bool tuple = PyTuple_Check(object);
      const Py_ssize_t n = tuple ? PyTuple_Size(object) : PyList_Size(object);
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = tuple ? PyTuple_GetItem(object, i) : PyList_GetItem(object, i);
        if (const Outcome o = check_value(item, depth + 1); o != Outcome::Valid) return o;
      }
      return Outcome::Valid;
    }
    case Kind::Other:
      break;
  }
  if (PyObject_HasAttrString(object, "tolist")) {
    if (!may_call_) return Outcome::Unsure;
    PyObject* list = nullptr;
    if (const auto it = substitutes_.find(object); it != substitutes_.end()) {
      list = it->second;
    } else {
      list = PyObject_CallMethod(object, "tolist", nullptr);
      if (list == nullptr) return Outcome::Raised;
      try {
        substitutes_.emplace(object, list);
      } catch (...) {
        Py_DecRef(list);
        throw;
      }
    }
    if (kind_of(list) == Kind::Other) {  // no second substitution
      std::string message = "a value of type ";
      message += type_name(list);
      message += " has no JSON form";
      return fail(std::move(message));
    }
    --values_;  // the substitute counts instead
    return check_value(list, depth);
  }
  std::string message = "a value of type ";
  message += type_name(object);
  message += " has no JSON form";
  return fail(std::move(message));
}

ObjectValue::ObjectValue(PyObject* object, ObjectRequest& request, std::size_t depth)
    : object_(object), request_(&request), depth_(static_cast<std::uint32_t>(depth)) {
  const bool whole = request.whole_;
  if (!whole) ++request.values_;
  Kind kind = kind_of(object_);
  if (kind == Kind::Other) {
    const auto it = request.substitutes_.find(object_);
    if (it == request.substitutes_.end()) {
      vouched_ = false;  // to be looked at by check(), which runs tolist()
      return;
    }
    object_ = it->second;
    kind = kind_of(object_);
  }
  switch (kind) {
    case Kind::None:
    case Kind::Other:
      break;
    case Kind::Bool:
      type_ = ValueType::Bool;
      number_.boolean = object_ == Py_True;
      break;
    case Kind::Int:
      vouched_ = read_int(object_, type_, number_);
      break;
    case Kind::Float:
      type_ = ValueType::Double;
      number_.real = PyFloat_AsDouble(object_);
      vouched_ = whole || std::isfinite(number_.real);
      break;
    case Kind::Str: {
      type_ = ValueType::String;
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(object_, &size);
      if (data == nullptr) {
        PyErr_Clear();
        vouched_ = false;
      } else {
        string_ = std::string_view(data, static_cast<std::size_t>(size));
      }
      break;
    }
    case Kind::Dict:
      type_ = ValueType::Object;
      vouched_ = depth + 1 < kMaxNesting;
      break;
    case Kind::List:
    case Kind::Tuple:
      type_ = ValueType::Array;
      tuple_ = kind == Kind::Tuple;
      vouched_ = depth + 1 < kMaxNesting;
      break;
  }
}

std::optional<std::string_view> ObjectValue::key_text(PyObject* key) const {
  if (kind_of(key) != Kind::Str) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

bool ObjectValue::check_passed_over() const {
  if (request_->whole_) return true;
  const ObjectRequest::Outcome outcome = request_->check_value(object_, depth_);
  if (outcome == ObjectRequest::Outcome::Raised) PyErr_Clear();  // check() will meet it again
  return outcome == ObjectRequest::Outcome::Valid;
}

}  // namespace varnok_binding
