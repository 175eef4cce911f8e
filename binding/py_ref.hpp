// Ref: a strong reference to a Python object, released when it goes out of
// scope. Needs the interpreter lock wherever it is made, reset or destroyed.
#pragma once

#include <Python.h>

#include <utility>

namespace varnok_binding {

class Ref {
 public:
  explicit Ref(PyObject* object = nullptr) noexcept : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  ~Ref() { Py_DecRef(object_); }  // Py_DecRef accepts NULL

  // A new reference to a borrowed one.
  static Ref borrowed(PyObject* object) noexcept {
    Py_IncRef(object);
    return Ref(object);
  }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void reset(PyObject* object = nullptr) noexcept { Py_DecRef(std::exchange(object_, object)); }

 private:
  PyObject* object_;
};

}  // namespace varnok_binding
