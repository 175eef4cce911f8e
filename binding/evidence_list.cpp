#include "evidence_list.hpp"

#include <cstddef>
#include <string_view>
#include <utility>

#include "py_ref.hpp"
#include "python_values.hpp"

namespace varnok_binding {
namespace {

bool set_item(PyObject* dict, std::string_view key, Ref value) {
  const Ref name(new_str(key));
  return name && value && PyDict_SetItem(dict, name.get(), value.get()) == 0;
}

Ref evidence_dict(const mellix::Evidence& evidence) {
  Ref dict(PyDict_New());
  if (!dict) return dict;
  for (const mellix::EvidenceNumber& number : evidence.numbers()) {
    Ref value(number.integral ? PyLong_FromLongLong(number.integer)
                              : PyFloat_FromDouble(number.real));
    if (!set_item(dict.get(), number.key, std::move(value))) return Ref();
  }
  if (!evidence.text_key().empty() &&
      !set_item(dict.get(), evidence.text_key(), Ref(new_str(evidence.text())))) {
    return Ref();
  }
  return dict;
}

}  // namespace

PyObject* explained_build_to_tuple(const mellix::ExplainedBuild& build) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(build.evidence.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < build.evidence.size(); ++i) {
    Ref dict = evidence_dict(build.evidence[i]);
    // PyList_SetItem steals the reference, even when it fails.
    if (!dict || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict.release()) < 0) {
      return nullptr;
    }
  }
  Ref text(new_str(build.context_json));
  if (!text) return nullptr;
  return PyTuple_Pack(2, text.get(), list.get());
}

}  // namespace varnok_binding
