#include "object_request.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "py_ref.hpp"

namespace varnok_binding {
namespace {

using mellix::ValueType;

// Containers nested as deep as the text reader refuses are refused too.
using mellix::kMaxNesting;
// The checks run the signal handlers once in this many values.
constexpr std::size_t kSignalInterval = 4096;
// A value that one walk passes over is checked there up to this size; a
// larger one is left to check(), whose walk Ctrl-C can stop.
constexpr std::size_t kPassedOverBudget = 64 * 1024;

using Kind = ObjectKind;

// Exact types first: they are nearly all a request holds, and a subclass
// test is a call into the interpreter under the limited API. bool is tested
// before int, which it subclasses. A tuple subclass is read as a list
// subclass is, through its iteration.
Kind kind_of(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyFloat_Type) return Kind::Float;
  if (type == &PyLong_Type) return Kind::Int;
  if (type == &PyUnicode_Type) return Kind::Str;
  if (type == &PyList_Type) return Kind::List;
  if (type == &PyDict_Type) return Kind::Dict;
  if (object == Py_None) return Kind::None;
  if (type == &PyBool_Type) return Kind::Bool;
  if (type == &PyTuple_Type) return Kind::Tuple;
  if (PyLong_Check(object)) return Kind::Int;
  if (PyFloat_Check(object)) return Kind::Float;
  if (PyUnicode_Check(object)) return Kind::Str;
  if (PyList_Check(object) || PyTuple_Check(object)) return Kind::ListSubclass;
  if (PyDict_Check(object)) return Kind::DictSubclass;
  return Kind::Other;
}

bool is_container(Kind kind) {
  return kind == Kind::Dict || kind == Kind::List || kind == Kind::Tuple ||
         kind == Kind::DictSubclass || kind == Kind::ListSubclass;
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

bool int_in_range(PyObject* object) {
  ValueType type{};
  union {
    std::int64_t int64;
    std::uint64_t uint64;
    double real;
  } number{};
  return read_int(object, type, number);
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

std::string no_json_form(PyObject* object) {
  std::string message = "a value of type ";
  message += type_name(object);
  message += " has no JSON form";
  return message;
}

std::string float_fault(double real) {
  std::string message = "float `";
  message += std::isnan(real) ? "nan" : real > 0 ? "inf" : "-inf";
  message += "` has no JSON form";
  return message;
}

// A str with surrogates as the text reader reads json.dumps' escapes of it:
// each pair one character. Null with no exception pending when a surrogate
// is left alone.
Ref paired_surrogates(PyObject* str) {
  Ref units(PyUnicode_AsEncodedString(str, "utf-16-le", "surrogatepass"));
  if (!units) return Ref();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(units.get(), &data, &size) < 0) return Ref();
  int order = -1;  // little-endian
  Ref text(PyUnicode_DecodeUTF16(data, size, "strict", &order));
  if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
  return text;
}

void raise_changed_size(const char* what) {
  std::string message = what;
  message += " changed size during iteration";
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
}

// Calls visit(key, value) for each member of `dict`, holding the dict, the
// key and the value while it runs, until visit answers other than Valid.
template <class Visit>
ObjectRequest::Outcome for_each_held_member(PyObject* dict, Visit&& visit) {
  const Ref held = Ref::borrowed(dict);
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    const Ref held_key = Ref::borrowed(key);
    const Ref held_value = Ref::borrowed(value);
    if (const ObjectRequest::Outcome o = visit(key, value); o != ObjectRequest::Outcome::Valid) {
      return o;
    }
  }
  return ObjectRequest::Outcome::Valid;
}

}  // namespace

ObjectRequest::~ObjectRequest() {
  for (const auto& [original, copied] : copies_) {
    Py_DecRef(copied.value);
    Py_DecRef(original);
  }
  Py_DecRef(copy_root_);
}

ObjectRequest::Outcome ObjectRequest::fail(std::string message) {
  fault_ = std::move(message);
  return Outcome::Fault;
}

ObjectRequest::Outcome ObjectRequest::tick() {
  ++values_;
  if (for_views_) return budget_-- == 0 ? Outcome::Unsure : Outcome::Valid;
  if (values_ % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return Outcome::Raised;
  return Outcome::Valid;
}

// ---------------------------------------------------------------------------
// The checks: no Python code but signal handlers.

ObjectRequest::Outcome ObjectRequest::check(PyObject* root) {
  const Outcome outcome = check_value(root, 0);
  checked_ = outcome == Outcome::Valid;
  return outcome;
}

ObjectRequest::Outcome ObjectRequest::check_all_but(PyObject* root, PyObject* skipped) {
  if (kind_of(root) != Kind::Dict) return Outcome::Unsure;
  if (const Outcome o = tick(); o != Outcome::Valid) return o;
  return check_members(root, 0, skipped);
}

ObjectRequest::Outcome ObjectRequest::check_members(PyObject* dict, std::size_t depth,
                                                    PyObject* skipped) {
  return for_each_held_member(dict, [&](PyObject* key, PyObject* value) {
    if (kind_of(key) != Kind::Str) return fail("key must be a str, not " + type_name(key));
    if (PyUnicode_AsUTF8AndSize(key, nullptr) == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Outcome::Raised;
      PyErr_Clear();
      return Outcome::Unsure;  // copy() pairs the surrogates or refuses them
    }
    if (value == skipped) return Outcome::Valid;
    return check_value(value, depth + 1);
  });
}

ObjectRequest::Outcome ObjectRequest::check_elements(PyObject* sequence, std::size_t depth) {
  const Ref held = Ref::borrowed(sequence);
  const bool tuple = PyTuple_Check(sequence);
  for (Py_ssize_t i = 0; i < (tuple ? PyTuple_Size(sequence) : PyList_Size(sequence)); ++i) {
    const Ref item =
        Ref::borrowed(tuple ? PyTuple_GetItem(sequence, i) : PyList_GetItem(sequence, i));
    if (const Outcome o = check_value(item.get(), depth + 1); o != Outcome::Valid) return o;
  }
  return Outcome::Valid;
}

ObjectRequest::Outcome ObjectRequest::check_value(PyObject* object, std::size_t depth) {
  if (const Outcome o = tick(); o != Outcome::Valid) return o;
  const Kind kind = kind_of(object);
  if (is_container(kind) && depth + 1 >= kMaxNesting) return fail("recursion limit exceeded");
  switch (kind) {
    case Kind::None:
    case Kind::Bool:
      return Outcome::Valid;
    case Kind::Int:
      return int_in_range(object) ? Outcome::Valid : fail("number out of range");
    case Kind::Float: {
      const double real = PyFloat_AsDouble(object);
      return std::isfinite(real) ? Outcome::Valid : fail(float_fault(real));
    }
    case Kind::Str:
      if (PyUnicode_AsUTF8AndSize(object, nullptr) != nullptr) return Outcome::Valid;
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Outcome::Raised;
      PyErr_Clear();
      return Outcome::Unsure;
    case Kind::Dict:
      return check_members(object, depth, nullptr);
    case Kind::List:
    case Kind::Tuple:
      return check_elements(object, depth);
    case Kind::DictSubclass:
    case Kind::ListSubclass:
    case Kind::Other:
      break;
  }
  return Outcome::Unsure;  // read through Python code: copy() does it
}

// ---------------------------------------------------------------------------
// The copy: runs the Python code that reading the request takes.

ObjectRequest::Outcome ObjectRequest::copy(PyObject* root) {
  Copied out;
  const Outcome outcome = copy_value(root, 0, out);
  if (outcome != Outcome::Valid) return outcome;
  copy_root_ = out.value;
  checked_ = trusted_ = true;
  return outcome;
}

ObjectRequest::Outcome ObjectRequest::copy_value(PyObject* object, std::size_t depth, Copied& out) {
  if (const Outcome o = tick(); o != Outcome::Valid) return o;
  const Kind kind = kind_of(object);
  switch (kind) {
    case Kind::None:
    case Kind::Bool:
      break;
    case Kind::Int:
      if (!int_in_range(object)) return fail("number out of range");
      break;
    case Kind::Float:
      if (const double real = PyFloat_AsDouble(object); !std::isfinite(real)) {
        return fail(float_fault(real));
      }
      break;
    case Kind::Str: {
      Ref text;
      if (const Outcome o = copy_str(object, "string", text); o != Outcome::Valid) return o;
      out = Copied{text.release(), 0};
      return Outcome::Valid;
    }
    default:
      return copy_once(object, kind, depth, out);
  }
  Py_IncRef(object);
  out = Copied{object, 0};
  return Outcome::Valid;
}

ObjectRequest::Outcome ObjectRequest::copy_once(PyObject* object, Kind kind, std::size_t depth,
                                                Copied& out) {
  if (const auto it = copies_.find(object); it != copies_.end()) {
    if (depth + it->second.height >= kMaxNesting) return fail("recursion limit exceeded");
    Py_IncRef(it->second.value);
    out = it->second;
    return Outcome::Valid;
  }
  Copied made;
  if (const Outcome o = copy_new(object, kind, depth, made); o != Outcome::Valid) return o;
  Ref made_value(made.value);
  // Python code that ran on the way may have copied `object` already.
  const auto [it, inserted] = copies_.try_emplace(object, Copied{nullptr, made.height});
  if (inserted) {
    Py_IncRef(object);
    Py_IncRef(made.value);
    it->second.value = made.value;
  }
  out = Copied{made_value.release(), made.height};
  return Outcome::Valid;
}

ObjectRequest::Outcome ObjectRequest::copy_new(PyObject* object, Kind kind, std::size_t depth,
                                               Copied& out) {
  if (is_container(kind) && depth + 1 >= kMaxNesting) return fail("recursion limit exceeded");
  switch (kind) {
    case Kind::Dict:
      return copy_dict(object, depth, out);
    case Kind::DictSubclass: {
      // As json.dumps reads it: through its own items().
      const Ref items(PyMapping_Items(object));
      return items ? copy_items(items.get(), depth, out) : Outcome::Raised;
    }
    case Kind::ListSubclass: {
      // As json.dumps reads it: through its own iteration.
      const Ref list(PySequence_List(object));
      return list ? copy_sequence(list.get(), depth, out) : Outcome::Raised;
    }
    case Kind::List:
    case Kind::Tuple:
      return copy_sequence(object, depth, out);
    default:
      return copy_substitute(object, depth, out);
  }
}

ObjectRequest::Outcome ObjectRequest::copy_str(PyObject* str, const char* what, Ref& out) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
    // A str subclass becomes a plain str: as a dict key it then runs no
    // Python code.
    out = Py_TYPE(str) == &PyUnicode_Type ? Ref::borrowed(str)
                                          : Ref(PyUnicode_FromStringAndSize(data, size));
    return out ? Outcome::Valid : Outcome::Raised;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Outcome::Raised;
  PyErr_Clear();
  out = paired_surrogates(str);
  if (out) return Outcome::Valid;
  if (PyErr_Occurred()) return Outcome::Raised;
  std::string message = "lone surrogate in ";
  message += what;
  return fail(std::move(message));
}

ObjectRequest::Outcome ObjectRequest::copy_member(PyObject* key, PyObject* value, std::size_t depth,
                                                  PyObject* into, std::size_t& height) {
  if (kind_of(key) != Kind::Str) return fail("key must be a str, not " + type_name(key));
  Ref text;
  if (const Outcome o = copy_str(key, "key", text); o != Outcome::Valid) return o;
  Copied member;
  if (const Outcome o = copy_value(value, depth + 1, member); o != Outcome::Valid) return o;
  const Ref member_value(member.value);
  if (PyDict_SetItem(into, text.get(), member_value.get()) < 0) return Outcome::Raised;
  height = std::max(height, member.height);
  return Outcome::Valid;
}

ObjectRequest::Outcome ObjectRequest::copy_dict(PyObject* dict, std::size_t depth, Copied& out) {
  const Py_ssize_t size = PyDict_Size(dict);
  Ref copy(PyDict_New());
  if (!copy) return Outcome::Raised;
  // A change of size shows after any value's Python code.
  std::size_t height = 0;
  const Outcome outcome = for_each_held_member(dict, [&](PyObject* key, PyObject* value) {
    if (const Outcome o = copy_member(key, value, depth, copy.get(), height); o != Outcome::Valid) {
      return o;
    }
    if (PyDict_Size(dict) == size) return Outcome::Valid;
    raise_changed_size("dictionary");
    return Outcome::Raised;
  });
  if (outcome != Outcome::Valid) return outcome;
  out = Copied{copy.release(), height + 1};
  return Outcome::Valid;
}

ObjectRequest::Outcome ObjectRequest::copy_items(PyObject* items, std::size_t depth, Copied& out) {
  // `items` is this request's own list, which no other code holds.
  Ref copy(PyDict_New());
  if (!copy) return Outcome::Raised;
  std::size_t height = 0;
  for (Py_ssize_t i = 0; i < PyList_Size(items); ++i) {
    PyObject* item = PyList_GetItem(items, i);
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
      PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
      return Outcome::Raised;
    }
    const Outcome o =
        copy_member(PyTuple_GetItem(item, 0), PyTuple_GetItem(item, 1), depth, copy.get(), height);
    if (o != Outcome::Valid) return o;
  }
  out = Copied{copy.release(), height + 1};
  return Outcome::Valid;
}

ObjectRequest::Outcome ObjectRequest::copy_sequence(PyObject* sequence, std::size_t depth,
                                                    Copied& out) {
  const Ref held = Ref::borrowed(sequence);
  const bool tuple = PyTuple_Check(sequence);
  const auto current_size = [&] { return tuple ? PyTuple_Size(sequence) : PyList_Size(sequence); };
  const Py_ssize_t size = current_size();
  Ref copy(PyList_New(0));
  if (!copy) return Outcome::Raised;
  std::size_t height = 0;
  for (Py_ssize_t i = 0; i < size; ++i) {
    const Ref item =
        Ref::borrowed(tuple ? PyTuple_GetItem(sequence, i) : PyList_GetItem(sequence, i));
    Copied element;
    if (const Outcome o = copy_value(item.get(), depth + 1, element); o != Outcome::Valid) {
      return o;
    }
    const Ref element_value(element.value);
    if (current_size() != size) {
      raise_changed_size("list");
      return Outcome::Raised;
    }
    if (PyList_Append(copy.get(), element_value.get()) < 0) return Outcome::Raised;
    height = std::max(height, element.height);
  }
  out = Copied{copy.release(), height + 1};
  return Outcome::Valid;
}

ObjectRequest::Outcome ObjectRequest::copy_substitute(PyObject* object, std::size_t depth,
                                                      Copied& out) {
  const Ref method(PyObject_GetAttrString(object, "tolist"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Outcome::Raised;
    PyErr_Clear();
    return fail(no_json_form(object));
  }
  const Ref list(PyObject_CallNoArgs(method.get()));
  if (!list) return Outcome::Raised;
  if (kind_of(list.get()) == Kind::Other) return fail(no_json_form(list.get()));  // no second
  --values_;  // the substitute counts instead
  return copy_value(list.get(), depth, out);
}

// ---------------------------------------------------------------------------
// The views: no Python code at all.

ObjectValue::ObjectValue(PyObject* object, ObjectRequest& request, std::size_t depth)
    : object_(object), request_(&request), depth_(static_cast<std::uint32_t>(depth)) {
  const bool trusted = request.trusted_;
  if (!trusted) ++request.values_;
  switch (kind_of(object_)) {
    case Kind::None:
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
      vouched_ = trusted || std::isfinite(number_.real);
      break;
    case Kind::Str: {
      type_ = ValueType::String;
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(object_, &size);
      if (data == nullptr) {
        // A MemoryError stays pending for the binding to raise.
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
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
      tuple_ = PyTuple_Check(object_);
      vouched_ = depth + 1 < kMaxNesting;
      break;
    case Kind::DictSubclass:
    case Kind::ListSubclass:
    case Kind::Other:
      vouched_ = false;  // read through Python code: only a copy holds it
      break;
  }
}

std::optional<std::string_view> ObjectValue::key_text(PyObject* key) const {
  if (kind_of(key) != Kind::Str) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

bool ObjectValue::check_passed_over() const {
  if (request_->checked_) return true;
  // One walk: nothing has looked at this value yet. No signal handler may
  // run while views are out, so the walk is bounded instead.
  request_->for_views_ = true;
  request_->budget_ = kPassedOverBudget;
  const ObjectRequest::Outcome outcome = request_->check_value(object_, depth_);
  request_->for_views_ = false;
  if (outcome == ObjectRequest::Outcome::Raised) PyErr_Clear();  // check() will meet it again
  return outcome == ObjectRequest::Outcome::Valid;
}

}  // namespace varnok_binding
