#include "replay_table.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "py_ref.hpp"
#include "python_values.hpp"

namespace varnok_binding {
namespace {

// The column's bytes; the column's own memory goes at once.
template <class T>
Ref column_bytes(std::vector<T>& column) {
  Ref bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(column.data()),
                                      static_cast<Py_ssize_t>(column.size() * sizeof(T))));
  std::vector<T>().swap(column);
  return bytes;
}

template <class Item, class Make>
Ref list_of(const std::vector<Item>& items, Make make) {
  Ref list(PyList_New(0));
  if (!list) return list;
  for (const Item& item : items) {
    Ref value(make(item));
    if (!value || PyList_Append(list.get(), value.get()) < 0) return Ref();
  }
  return list;
}

bool set_item(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace

bool read_replay_options(PyObject* at, unsigned long long every, const char* reference,
                         const char* cut, int sentences, mellix::ReplayOptions& out) {
  const Ref items(PySequence_Fast(at, "at must be a sequence of int"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Size(items.get());
  if (n < 0) return false;
  out.at.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Ref item(PySequence_GetItem(items.get(), i));
    if (!item) return false;
    const long long moment = PyLong_AsLongLong(item.get());
    if (moment == -1 && PyErr_Occurred()) return false;
    out.at.push_back(moment);
  }
  out.every = every;
  out.reference = reference;
  const std::string_view cut_name = cut;
  if (cut_name == "all") {
    out.cut = mellix::ReplayCut::All;
  } else if (cut_name == "window") {
    out.cut = mellix::ReplayCut::Window;
  } else {
    PyErr_SetString(PyExc_ValueError, "cut must be \"all\" or \"window\"");
    return false;
  }
  out.sentences = sentences != 0;
  return true;
}

PyObject* replay_table_to_dict(mellix::ReplayTable& table, bool sentences) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  std::vector<std::uint8_t> kinds;
  kinds.reserve(table.kind.size());
  for (const mellix::FactKind kind : table.kind) kinds.push_back(static_cast<std::uint8_t>(kind));
  std::vector<mellix::FactKind>().swap(table.kind);
  Ref human = sentences
                  ? list_of(table.human, [](const std::string& text) { return new_str(text); })
                  : Ref::borrowed(Py_None);
  const bool ok =
      set_item(dict.get(), "moments",
               list_of(table.moments,
                       [](std::int64_t moment) { return PyLong_FromLongLong(moment); })) &&
      set_item(dict.get(), "keys",
               list_of(table.keys, [](const std::string& key) { return new_str(key); })) &&
      set_item(dict.get(), "symbols",
               list_of(table.symbols, [](const std::string& symbol) { return new_str(symbol); })) &&
      set_item(dict.get(), "human", std::move(human)) &&
      set_item(dict.get(), "moment_rows", column_bytes(table.moment_rows)) &&
      set_item(dict.get(), "symbol", column_bytes(table.symbol)) &&
      set_item(dict.get(), "kind", column_bytes(kinds)) &&
      set_item(dict.get(), "value", column_bytes(table.value)) &&
      set_item(dict.get(), "magnitude", column_bytes(table.magnitude)) &&
      set_item(dict.get(), "ts", column_bytes(table.ts));
  return ok ? dict.release() : nullptr;
}

}  // namespace varnok_binding
