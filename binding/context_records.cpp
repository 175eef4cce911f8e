#include "context_records.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "mellix/context_text.hpp"
#include "mellix/fact_kind.hpp"
#include "py_ref.hpp"
#include "python_values.hpp"

namespace varnok_binding {
namespace {

void raise_value_error(std::string_view message) {
  Ref text(new_str(message));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// ValueError(rendering, path): the path a tuple of str keys and int indices.
void raise_refusal(const mellix::EngineError& error) {
  Ref path(path_to_tuple(error.path()));
  if (!path) return;
  Ref text(new_str(error.render()));
  if (!text) return;
  Ref args(PyTuple_Pack(2, text.get(), path.get()));
  if (args) PyErr_SetObject(PyExc_ValueError, args.get());
}

template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    // These functions run no engine: an allocation failure, or a fault here.
    raise_from_current_exception("the context functions");
    return nullptr;
  }
}

std::optional<std::string> text_of(PyObject* value, const char* what) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be str", what);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<mellix::FactKind> kind_of(PyObject* value) {
  const std::optional<std::string> name = text_of(value, "a fact's kind");
  if (!name) return std::nullopt;
  for (const mellix::FactKind kind : mellix::kAllFactKinds) {
    if (mellix::wire_name(kind) == *name) return kind;
  }
  // Not repeated: the value may be of any size.
  PyErr_SetString(PyExc_ValueError, "a fact's kind must be the wire name of a fact kind");
  return std::nullopt;
}

// A tuple of the items of `value`, with `size` items.
Ref items(PyObject* value, Py_ssize_t size, const char* what) {
  Ref tuple(PySequence_Tuple(value));
  if (tuple && size >= 0 && PyTuple_Size(tuple.get()) != size) {
    PyErr_Format(PyExc_TypeError, "%s must have %zd items", what, size);
    return Ref();
  }
  return tuple;
}

std::optional<mellix::Fact> fact_of(PyObject* value) {
  Ref fields(items(value, 6, "a fact"));
  if (!fields) return std::nullopt;
  PyObject* f[6];
  for (Py_ssize_t i = 0; i < 6; ++i) f[i] = PyTuple_GetItem(fields.get(), i);
  const std::optional<mellix::FactKind> kind = kind_of(f[0]);
  if (!kind) return std::nullopt;
  std::optional<std::string> symbol = text_of(f[1], "a fact's symbol");
  if (!symbol) return std::nullopt;
  const double number = PyFloat_AsDouble(f[2]);
  if (number == -1.0 && PyErr_Occurred()) return std::nullopt;
  const double magnitude = PyFloat_AsDouble(f[3]);
  if (magnitude == -1.0 && PyErr_Occurred()) return std::nullopt;
  const long long ts = PyLong_AsLongLong(f[4]);
  if (ts == -1 && PyErr_Occurred()) return std::nullopt;
  std::optional<std::string> human = text_of(f[5], "a fact's sentence");
  if (!human) return std::nullopt;
  return mellix::Fact{.kind = *kind,
                      .symbol = std::move(*symbol),
                      .value = number,
                      .magnitude = magnitude,
                      .ts = static_cast<std::int64_t>(ts),
                      .human = std::move(*human)};
}

std::optional<mellix::MarketContext> context_of(PyObject* facts, PyObject* symbols,
                                                PyObject* lookback) {
  mellix::MarketContext context;
  Ref fact_items(items(facts, -1, "facts"));
  Ref symbol_items(items(symbols, -1, "symbols"));
  if (!fact_items || !symbol_items) return std::nullopt;
  for (Py_ssize_t i = 0; i < PyTuple_Size(fact_items.get()); ++i) {
    std::optional<mellix::Fact> fact = fact_of(PyTuple_GetItem(fact_items.get(), i));
    if (!fact) return std::nullopt;
    context.facts.push_back(std::move(*fact));
  }
  for (Py_ssize_t i = 0; i < PyTuple_Size(symbol_items.get()); ++i) {
    std::optional<std::string> symbol = text_of(PyTuple_GetItem(symbol_items.get(), i), "a symbol");
    if (!symbol) return std::nullopt;
    context.symbols.push_back(std::move(*symbol));
  }
  const unsigned long value = PyLong_AsUnsignedLong(lookback);
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return std::nullopt;
  if (value > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "lookback does not fit in 32 bits");
    return std::nullopt;
  }
  context.lookback = static_cast<std::uint32_t>(value);
  return context;
}

PyObject* str_tuple(const std::vector<std::string>& texts) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* text = new_str(texts[i]);
    if (text == nullptr || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), text) < 0) {
      return nullptr;
    }
  }
  return tuple.release();
}

PyObject* record_of(const mellix::MarketContext& context) {
  Ref facts(PyTuple_New(static_cast<Py_ssize_t>(context.facts.size())));
  if (!facts) return nullptr;
  for (std::size_t i = 0; i < context.facts.size(); ++i) {
    const mellix::Fact& f = context.facts[i];
    Ref fields[] = {Ref(new_str(mellix::wire_name(f.kind))), Ref(new_str(f.symbol)),
                    Ref(PyFloat_FromDouble(f.value)),        Ref(PyFloat_FromDouble(f.magnitude)),
                    Ref(PyLong_FromLongLong(f.ts)),          Ref(new_str(f.human))};
    for (const Ref& field : fields) {
      if (!field) return nullptr;
    }
    PyObject* fact = PyTuple_Pack(6, fields[0].get(), fields[1].get(), fields[2].get(),
                                  fields[3].get(), fields[4].get(), fields[5].get());
    if (fact == nullptr || PyTuple_SetItem(facts.get(), static_cast<Py_ssize_t>(i), fact) < 0) {
      return nullptr;
    }
  }
  Ref symbols(str_tuple(context.symbols));
  if (!symbols) return nullptr;
  Ref lookback(PyLong_FromUnsignedLong(context.lookback));
  if (!lookback) return nullptr;
  return PyTuple_Pack(3, facts.get(), symbols.get(), lookback.get());
}

}  // namespace

PyObject* read_context(PyObject* /*module*/, PyObject* text) {
  return guarded([&]() -> PyObject* {
    std::string_view view;
    std::optional<std::string> owned;
    if (PyBytes_Check(text)) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(text, &data, &size) < 0) return nullptr;
      view = std::string_view(data, static_cast<std::size_t>(size));
    } else {
      owned = text_of(text, "read_context() argument");
      if (!owned) return nullptr;
      view = *owned;
    }
    const auto context = mellix::read_market_context(view);
    if (!context) {
      raise_refusal(context.error());
      return nullptr;
    }
    return record_of(*context);
  });
}

PyObject* write_context(PyObject* /*module*/, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* facts = nullptr;
    PyObject* symbols = nullptr;
    PyObject* lookback = nullptr;
    if (!PyArg_ParseTuple(args, "OOO:write_context", &facts, &symbols, &lookback)) return nullptr;
    const std::optional<mellix::MarketContext> context = context_of(facts, symbols, lookback);
    if (!context) return nullptr;
    std::string out;
    mellix::write_market_context(out, *context);
    return new_str(out);
  });
}

PyObject* merge_contexts(PyObject* /*module*/, PyObject* records) {
  return guarded([&]() -> PyObject* {
    Ref parts(items(records, -1, "the contexts"));
    if (!parts) return nullptr;
    std::vector<mellix::MarketContext> contexts;
    for (Py_ssize_t i = 0; i < PyTuple_Size(parts.get()); ++i) {
      Ref record(items(PyTuple_GetItem(parts.get(), i), 3, "a context record"));
      if (!record) return nullptr;
      auto context = context_of(PyTuple_GetItem(record.get(), 0), PyTuple_GetItem(record.get(), 1),
                                PyTuple_GetItem(record.get(), 2));
      if (!context) return nullptr;
      contexts.push_back(std::move(*context));
    }
    const auto merged = mellix::merge_market_contexts(contexts);
    if (!merged) {
      raise_value_error(merged.error());
      return nullptr;
    }
    return record_of(*merged);
  });
}

PyObject* spec_record(const mellix::ContextSpec& spec) {
  Ref symbols(str_tuple(spec.symbols));
  if (!symbols) return nullptr;
  std::vector<std::string> names;
  for (const mellix::FactKind kind : spec.facts) names.emplace_back(mellix::wire_name(kind));
  Ref facts(str_tuple(names));
  if (!facts) return nullptr;
  Ref timeframe(spec.timeframe ? new_str(*spec.timeframe) : Py_NewRef(Py_None));
  if (!timeframe) return nullptr;
  Ref lookback(PyLong_FromUnsignedLong(spec.lookback));
  if (!lookback) return nullptr;
  return PyTuple_Pack(4, symbols.get(), lookback.get(), facts.get(), timeframe.get());
}

PyObject* fact_kind_table() {
  Ref table(PyTuple_New(static_cast<Py_ssize_t>(mellix::kAllFactKinds.size())));
  if (!table) return nullptr;
  for (const mellix::FactKind kind : mellix::kAllFactKinds) {
    Ref name(new_str(mellix::wire_name(kind)));
    Ref description(new_str(mellix::kind_description(kind)));
    Ref evidence(new_str(mellix::kind_evidence(kind)));
    if (!name || !description || !evidence) return nullptr;
    PyObject* row = PyTuple_Pack(3, name.get(), description.get(), evidence.get());
    if (row == nullptr || PyTuple_SetItem(table.get(), static_cast<Py_ssize_t>(kind), row) < 0) {
      return nullptr;
    }
  }
  return table.release();
}

}  // namespace varnok_binding
