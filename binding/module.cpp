// _varnok_mellix: the CPython extension module, written against the limited C
// API (stable ABI, abi3, CPython >= 3.11).
//
// The module publishes `__version__` and one class, `Mellix`. Each instance
// owns one mellix::Engine and is bound to the thread that created it: only
// that thread may run `command` (a request as JSON text) or `command_object`
// (the same request as Python objects, see object_request.hpp), and only one
// call at a time uses the engine (the in-use flag). `last_error_location`
// then tells where the value stands that the last command refused, from the
// engine's public accessor, so that answers stay exactly the engine's. The
// interpreter lock stays held for the whole of every call; the engine's pool
// workers never call into Python.
//
// Every entry point from Python is a C function that catches all C++
// exceptions (std::bad_alloc becomes MemoryError, anything else RuntimeError),
// so no exception ever unwinds into the interpreter.

#include <Python.h>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "context_records.hpp"
#include "evidence_list.hpp"
#include "feed_records.hpp"
#include "mellix/command_table.hpp"
#include "mellix/engine.hpp"
#include "mellix/engine_error.hpp"
#include "mellix/error_location.hpp"
#include "mellix/host_value.hpp"
#include "mellix/request_limits.hpp"
#include "object_request.hpp"
#include "py_ref.hpp"
#include "python_values.hpp"
#include "replay_table.hpp"

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030B0000
#error "the extension must be built against the 3.11 limited API (Py_LIMITED_API=0x030B0000)"
#endif

namespace {

using varnok_binding::Ref;

// The instance type's full name, used in the messages about thread binding.
constexpr std::string_view kTypeName = "_varnok_mellix::PyMellix";

constexpr const char* kModuleDoc = "The native module (`varnok_mellix._varnok_mellix`).";

constexpr const char* kClassDoc =
    "Mellix(spec_json)\n--\n\nA mellix instance driven by JSON commands.\n\n"
    "`unsendable`: a handle owns a mutable spec and the last-built context, so it\n"
    "is bound to the thread that created it.";

constexpr const char* kCommandDoc =
    "command($self, cmd_json)\n--\n\nApply a command JSON and return the resulting response JSON.";

constexpr const char* kCommandObjectDoc =
    "command_object($self, cmd)\n--\n\nApply a command given as Python objects (dict, list, str, "
    "int, float, bool,\nNone) and return the response JSON: the same response as\n"
    "command(json.dumps(cmd)), with no JSON text made on the way.";

constexpr const char* kReplayDoc =
    "replay($self, request, at, every, reference, cut, sentences, progress, /)\n--\n\n"
    "The facts a build of `request` (text, bytes or objects) would answer at each moment,\n"
    "as a dict of columns; the error response as a str when the request is refused.\n"
    "varnok_mellix.Market.replay is the documented way to call it.";

constexpr const char* kExplainDoc =
    "explain($self, request, /)\n--\n\n"
    "Builds from `request` (text, bytes or objects) with the evidence of every fact:\n"
    "(the context's JSON text, [one dict per fact]), or the error response as a str\n"
    "when the request is refused. The built context and every answer of command()\n"
    "stay as they were. varnok_mellix.Market.build(feeds, explain=True) is the\n"
    "documented way to call it.";

constexpr const char* kReadFeedsDoc =
    "read_feeds($self, request, /)\n--\n\n"
    "The feeds of a build request (text, bytes or objects) as the engine reads them:\n"
    "{key: (symbol, candles, book, funding, open_interest, liquidations)}, or the error\n"
    "response as a str when the request is refused. Nothing is built; the stored\n"
    "context stays. varnok_mellix.report draws from it.";

constexpr const char* kVersionDoc = "version()\n--\n\nThe library version.";

constexpr const char* kSpecDoc =
    "spec($self, /)\n--\n\nThe spec as the engine holds it: (symbols, lookback, facts, "
    "timeframe),\nfacts as wire names and timeframe None when the spec has none.";

constexpr const char* kReadContextDoc =
    "read_context(text, /)\n--\n\nThe record (facts, symbols, lookback) of a context's JSON "
    "text (str or\nbytes); ValueError(rendering, path) with the engine's error text and "
    "the\nrefused value's keys and indices when it is refused.";

constexpr const char* kWriteContextDoc =
    "write_context(facts, symbols, lookback, /)\n--\n\nA context record as the engine writes "
    "it.";

constexpr const char* kMergeContextsDoc =
    "merge_contexts(records, /)\n--\n\nThe record of one build over all the symbols of "
    "`records`, context records\nof one spec over disjoint sets of symbols, ranked as a build "
    "ranks; ValueError\nsaying why when they do not merge.";

constexpr const char* kLastErrorLocationDoc =
    "last_error_location($self, /)\n--\n\n"
    "Where the value stands that the last command refused, as (path, offset): the\n"
    "path's keys and indices from the request's root, and for a request given as\n"
    "text the byte offset of the value in it (else None). None when the last\n"
    "command succeeded or was refused for anything but a value of the request.";

// ---------------------------------------------------------------------------
// Small helpers over the limited API.

using varnok_binding::new_str;

void raise(PyObject* type, std::string_view message) {
  Ref text(new_str(message));
  if (text) PyErr_SetObject(type, text.get());
}

// Translates the C++ exception being handled into a pending Python exception.
// Only ever called from inside a catch block.
void raise_from_current_exception() noexcept {
  varnok_binding::raise_from_current_exception(kTypeName.data());
}

// Attaches `note` to the pending exception with its `add_note` method. If the
// exception has no such method, or attaching fails, the original exception is
// kept as it is.
void add_note_to_pending(const char* note) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && PyObject_HasAttrString(value, "add_note")) {
    Ref result(PyObject_CallMethod(value, "add_note", "s", note));
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

// Reads `arg` as UTF-8 text. The view points into the str object's cached
// UTF-8 buffer and is valid as long as `arg` is alive. On failure an exception
// is pending: TypeError for a value that is not a str, UnicodeEncodeError for a
// str holding a lone surrogate; both carry a note naming `param`.
std::optional<std::string_view> utf8_argument(PyObject* arg, const char* func, const char* param) {
  if (!PyUnicode_Check(arg)) {
    Ref type_name(PyType_GetName(Py_TYPE(arg)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %U", func, param,
                   type_name.get());
    }
  } else {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(arg, &size); data != nullptr) {
      return std::string_view(data, static_cast<std::size_t>(size));
    }
  }
  std::string note = std::string("while reading argument '") + param + "' of " + func + "()";
  add_note_to_pending(note.c_str());
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The Mellix instance.

// The identity of the calling thread that is never handed out again in the
// life of the process: the interpreter's id and its thread state's id, which
// counts up. The OS thread id would not do: the OS gives the id of an ended
// thread to a new one, which would then pass as the owner.
struct ThreadIdentity {
  std::int64_t interpreter;
  std::uint64_t thread_state;

  static ThreadIdentity current() {
    PyThreadState* state = PyThreadState_Get();
    return {PyInterpreterState_GetID(PyThreadState_GetInterpreter(state)),
            PyThreadState_GetID(state)};
  }
  friend bool operator==(const ThreadIdentity&, const ThreadIdentity&) = default;
};

struct PyMellix {
  PyObject ob_base;  // the host's object header (what PyObject_HEAD declares)
  // Constructed with placement new in mellix_new, destroyed in mellix_dealloc.
  std::optional<mellix::Engine> engine;
  ThreadIdentity owner;
  long owner_process;  // the process that made it: a forked child differs
  bool in_use;
};

// The calling process, told apart from a child that fork() made of it.
long current_process() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<long>(getpid());
#endif
}

PyMellix* as_mellix(PyObject* self) {
  return reinterpret_cast<PyMellix*>(self);
}

bool on_owner_thread(const PyMellix* self) {
  return ThreadIdentity::current() == self->owner;
}

// Exclusive use of an instance's engine for the lifetime of the guard.
class InUseGuard {
 public:
  explicit InUseGuard(PyMellix* self) noexcept : self_(self) { self_->in_use = true; }
  InUseGuard(const InUseGuard&) = delete;
  InUseGuard& operator=(const InUseGuard&) = delete;
  ~InUseGuard() { self_->in_use = false; }

 private:
  PyMellix* self_;
};

PyObject* mellix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    static char spec_kw[] = "spec_json";
    static char* keywords[] = {spec_kw, nullptr};
    PyObject* spec_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Mellix", keywords, &spec_arg)) {
      return nullptr;
    }
    auto spec_text = utf8_argument(spec_arg, "Mellix", "spec_json");
    if (!spec_text) return nullptr;

    auto created = mellix::Engine::create(*spec_text);
    if (!created) {
      raise(PyExc_ValueError, created.error().render());
      return nullptr;
    }

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (object == nullptr) return nullptr;
    PyMellix* self = as_mellix(object);
    // Engine's move constructor is noexcept, so nothing below can throw and
    // leave a half-initialised object behind.
    new (&self->engine) std::optional<mellix::Engine>(std::move(*created));
    self->owner = ThreadIdentity::current();
    self->owner_process = current_process();
    self->in_use = false;
    return object;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// Reports, as an unraisable exception, that an instance is released on a
// thread other than its owner. The caller saves and restores any exception
// that was pending before.
void report_foreign_drop(PyTypeObject* type) {
  std::string message(kTypeName);
  message += " is unsendable, but is being dropped on another thread";
  raise(PyExc_RuntimeError, message);
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
}

// Whether the interpreter is shutting down: then objects are dropped on
// whichever thread finalizes, and an instance leaving its thread is no news.
bool interpreter_finalizing() {
  PyObject* is_finalizing = PySys_GetObject("is_finalizing");  // borrowed
  if (is_finalizing == nullptr) return true;                   // sys is being torn down
  const Ref answer(PyObject_CallNoArgs(is_finalizing));
  if (!answer) {
    PyErr_Clear();
    return true;
  }
  return answer.get() == Py_True;
}

void mellix_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyMellix* self = as_mellix(object);

  PyObject* saved_type = nullptr;
  PyObject* saved_value = nullptr;
  PyObject* saved_traceback = nullptr;
  PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);

  // In a child made by fork() the owner thread does not exist, and at exit
  // the finalizing thread drops everything: neither is a report's matter.
  // The engine is freed in every case: nothing else can reach the object any
  // more, and a command holds the interpreter lock throughout, so none is
  // running on it.
  if (!on_owner_thread(self) && self->owner_process == current_process() &&
      !interpreter_finalizing()) {
    try {
      report_foreign_drop(type);
    } catch (...) {
      PyErr_Clear();
    }
  }
  using EngineSlot = std::optional<mellix::Engine>;
  self->engine.~EngineSlot();

  PyErr_Restore(saved_type, saved_value, saved_traceback);

  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(object);
  // Instances of a heap type hold a reference to it.
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// Binds a method's one parameter, given by position or by keyword.
// Vectorcall spares the argument tuple and the format parsing of
// PyArg_ParseTupleAndKeywords, which otherwise dominate a tiny command.
PyObject* bind_one(const char* func, const char* param, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  if (nkw < 0) return nullptr;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GetItem(kwnames, i);
    if (name == nullptr) return nullptr;
    if (PyUnicode_CompareWithASCIIString(name, param) != 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, name);
      return nullptr;
    }
    if (nargs > 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, param);
      return nullptr;
    }
  }
  if (nargs + nkw == 0) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", func, param);
    return nullptr;
  }
  if (nargs + nkw > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", func, nargs + nkw);
    return nullptr;
  }
  return args[0];
}

// Whether the calling thread may run `func` on `self` now; raises if not.
bool may_run(const PyMellix* self, const char* func) {
  if (!on_owner_thread(self)) {
    std::string message(kTypeName);
    message += " is unsendable: ";
    message += func;
    message += "() must be called on the thread that created the instance";
    raise(PyExc_RuntimeError, message);
    return false;
  }
  if (self->in_use) {
    std::string message(kTypeName);
    message += " is already in use by another ";
    message += func;
    message += "() call";
    raise(PyExc_RuntimeError, message);
    return false;
  }
  return true;
}

bool is_error_response(std::string_view response) {
  return response.starts_with(R"({"error":)");
}

// The feeds of a build request, the one member that the one-walk reading
// leaves to the views; null when `cmd` is no dict naming a build.
PyObject* build_feeds(PyObject* cmd) {
  // A dict subclass is read through its own items(), Python code that only
  // the copy runs.
  if (!PyDict_CheckExact(cmd)) return nullptr;
  // By walking the members, not by lookup: a lookup may call a key's __eq__.
  PyObject* name = nullptr;
  PyObject* feeds = nullptr;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(cmd, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    if (PyUnicode_CompareWithASCIIString(key, "cmd") == 0) name = value;
    if (PyUnicode_CompareWithASCIIString(key, "feeds") == 0) feeds = value;
  }
  if (name == nullptr || !PyUnicode_Check(name)) return nullptr;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();  // a lone surrogate: the copy reports it
    return nullptr;
  }
  return mellix::is_build_command(std::string_view(text, static_cast<std::size_t>(size))) ? feeds
                                                                                          : nullptr;
}

// Notes the pending exception as the argument's.
std::nullopt_t raised_reading_cmd() {
  add_note_to_pending("while reading argument 'cmd' of command_object()");
  return std::nullopt;
}

// What a method asks of the engine, given a request as text or as a host
// value: its answer, or the engine's error response.
template <class Read>
using AnswerOf = std::invoke_result_t<Read&, const mellix::HostValue&>;

// The answer of `read` to `cmd`, or nothing with a Python exception pending.
// A build whose objects all have a JSON form is read in one walk; everything
// else, a failed build included, is checked whole first, so that a value
// without a JSON form answers before any other error, as it does in text. A
// request that takes Python code to read is copied first (object_request.hpp).
template <class Read>
std::optional<AnswerOf<Read>> respond_to_objects(mellix::Engine& engine, PyObject* cmd, Read read) {
  using varnok_binding::ObjectRequest;
  using varnok_binding::ObjectValue;
  using Outcome = ObjectRequest::Outcome;
  std::size_t values = 0;
  if (PyObject* feeds = build_feeds(cmd)) {
    ObjectRequest request;
    const Outcome outcome = request.check_all_but(cmd, feeds);
    if (outcome == Outcome::Raised) return raised_reading_cmd();
    if (outcome == Outcome::Valid) {
      AnswerOf<Read> answer = read(mellix::HostValue(ObjectValue(cmd, request)));
      if (PyErr_Occurred()) return raised_reading_cmd();
      values = request.values();
      if (answer) {
        if (values >= mellix::kLargeRequestValues) mellix::release_after_large_request();
        return answer;
      }
    }
  }
  // A failed command left the engine as it was, so it may run again.
  ObjectRequest request;
  Outcome outcome = request.check(cmd);
  if (outcome == Outcome::Unsure) outcome = request.copy(cmd);
  std::optional<AnswerOf<Read>> answer;
  switch (outcome) {
    case Outcome::Raised:
    case Outcome::Unsure:  // not from copy()
      return raised_reading_cmd();
    case Outcome::Fault:
      answer.emplace(std::unexpect, engine.refuse(mellix::EngineError::parse(request.fault())));
      break;
    case Outcome::Valid: {
      PyObject* root = request.root() != nullptr ? request.root() : cmd;
      answer.emplace(read(mellix::HostValue(ObjectValue(root, request))));
      if (PyErr_Occurred()) return raised_reading_cmd();
      break;
    }
  }
  if (std::max(values, request.values()) >= mellix::kLargeRequestValues) {
    mellix::release_after_large_request();
  }
  return answer;
}

// A request as text (str or bytes) or as objects, answered by `read`; or
// nothing with an exception pending.
template <class Read>
std::optional<AnswerOf<Read>> respond_to_any(mellix::Engine& engine, PyObject* request, Read read) {
  if (PyBytes_Check(request)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(request, &data, &size) < 0) return std::nullopt;
    return read(std::string_view(data, static_cast<std::size_t>(size)));
  }
  if (PyUnicode_Check(request)) {
    const auto text = utf8_argument(request, "command", "cmd_json");
    if (!text) return std::nullopt;
    return read(*text);
  }
  return respond_to_objects(engine, request, read);
}

// A command's response, an error response apart so that a failed one-walk
// reading can be told.
std::expected<std::string, std::string> command_answer(std::string response) {
  if (is_error_response(response)) return std::unexpected(std::move(response));
  return response;
}

// The text request's response, or nothing with an exception pending.
std::optional<std::string> respond_to_text(mellix::Engine& engine, PyObject* cmd_json) {
  auto request = utf8_argument(cmd_json, "command", "cmd_json");
  if (!request) return std::nullopt;
  return engine.command(*request);
}

// The response to a request of objects, or nothing with an exception pending.
std::optional<std::string> respond_to_command_objects(mellix::Engine& engine, PyObject* cmd) {
  auto answer = respond_to_objects(engine, cmd, [&](const mellix::HostValue& request) {
    return command_answer(engine.command(request));
  });
  if (!answer) return std::nullopt;
  return answer->has_value() ? std::move(**answer) : std::move(answer->error());
}

// A method that reads a build request: checks the thread and the in-use
// flag, asks the engine through `read(engine, request)` (text or a host
// value), and answers `to_python` of its answer, or the error response as a
// str; null with an exception pending.
template <class Read, class ToPython>
PyObject* answer_request(PyObject* object, const char* func, PyObject* request, Read read,
                         ToPython to_python) {
  PyMellix* self = as_mellix(object);
  if (!may_run(self, func)) return nullptr;
  mellix::Engine& engine = *self->engine;
  auto answer = [&] {
    InUseGuard guard(self);
    return respond_to_any(engine, request, [&](const auto& r) { return read(engine, r); });
  }();
  if (!answer || PyErr_Occurred()) return nullptr;
  if (!*answer) return new_str(answer->error());
  return to_python(**answer);
}

// replay(request, at, every, reference, cut, sentences, progress): the
// facts a build of `request` would answer at each moment, as a dict of
// columns (replay_table.hpp), or the error response as a str. `progress`,
// None or called with (done, total) as moments are done, may raise to stop
// the replay, as Ctrl-C does.
PyObject* mellix_replay(PyObject* object, PyObject* args) {
  try {
    PyObject* request = nullptr;
    PyObject* at = nullptr;
    unsigned long long every = 0;
    const char* reference = nullptr;
    const char* cut = nullptr;
    int sentences = 0;
    PyObject* progress = nullptr;
    if (!PyArg_ParseTuple(args, "OOKsspO:replay", &request, &at, &every, &reference, &cut,
                          &sentences, &progress)) {
      return nullptr;
    }
    mellix::ReplayOptions options;
    if (!varnok_binding::read_replay_options(at, every, reference, cut, sentences, options)) {
      return nullptr;
    }
    options.progress = [progress](std::size_t done, std::size_t total) {
      if (PyErr_CheckSignals() < 0) return false;
      if (progress == Py_None) return true;
      const Ref answer(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done),
                                             static_cast<Py_ssize_t>(total)));
      return static_cast<bool>(answer);
    };
    return answer_request(
        object, "replay", request,
        [&](mellix::Engine& engine, const auto& r) { return engine.replay(r, options); },
        [&](mellix::ReplayTable& table) {
          return varnok_binding::replay_table_to_dict(table, options.sentences);
        });
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// explain(request): the build of `request` with the evidence of each fact,
// as (context text, [dict]); the error response as a str. The engine's
// stored context stays as it was.
PyObject* mellix_explain(PyObject* object, PyObject* request) {
  try {
    return answer_request(
        object, "explain", request,
        [](mellix::Engine& engine, const auto& r) { return engine.explain(r); },
        varnok_binding::explained_build_to_tuple);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// read_feeds(request): the feeds of a build request as the engine read them.
PyObject* mellix_read_feeds(PyObject* object, PyObject* request) {
  try {
    return answer_request(
        object, "read_feeds", request,
        [](mellix::Engine& engine, const auto& r) { return engine.read_feeds(r); },
        varnok_binding::feed_map_to_dict);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// Both command methods: binds the one argument `Param` of `Func`, checks the
// thread and the in-use flag, and returns the text that `Respond` answers.
template <const char* Func, const char* Param,
          std::optional<std::string> (*Respond)(mellix::Engine&, PyObject*)>
PyObject* command_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  try {
    PyObject* argument = bind_one(Func, Param, args, nargs, kwnames);
    if (argument == nullptr) return nullptr;
    PyMellix* self = as_mellix(object);
    if (!may_run(self, Func)) return nullptr;

    std::optional<std::string> response;
    {
      InUseGuard guard(self);
      response = Respond(*self->engine, argument);
    }
    if (!response) return nullptr;
    return new_str(*response);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// The location as Python values: ((key or index, ...), offset or None).
PyObject* location_to_tuple(const mellix::ErrorLocation& location) {
  Ref path(varnok_binding::path_to_tuple(location.path));
  if (!path) return nullptr;
  Ref offset(location.offset ? PyLong_FromSize_t(*location.offset) : Py_NewRef(Py_None));
  if (!offset) return nullptr;
  return PyTuple_Pack(2, path.get(), offset.get());
}

PyObject* mellix_last_error_location(PyObject* object, PyObject* /*unused*/) {
  try {
    PyMellix* self = as_mellix(object);
    if (!may_run(self, "last_error_location")) return nullptr;
    const std::optional<mellix::ErrorLocation>& location = self->engine->last_error_location();
    if (!location) return Py_NewRef(Py_None);
    return location_to_tuple(*location);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

constexpr char kCommand[] = "command";
constexpr char kCmdJson[] = "cmd_json";
constexpr char kCommandObject[] = "command_object";
constexpr char kCmd[] = "cmd";

PyObject* mellix_spec_record(PyObject* object, PyObject* /*unused*/) {
  try {
    return varnok_binding::spec_record(as_mellix(object)->engine->spec());
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* mellix_version(PyObject* /*unused*/, PyObject* /*unused*/) {
  return new_str(mellix::kVersion);
}

// The method table holds PyCFunction pointers; the keyword-taking method goes
// through a generic function pointer type, as the METH_KEYWORDS flag tells the
// interpreter its real signature.
template <typename Function>
PyCFunction as_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef mellix_methods[] = {
    {kCommand, as_cfunction(&command_method<kCommand, kCmdJson, respond_to_text>),
     METH_FASTCALL | METH_KEYWORDS, kCommandDoc},
    {kCommandObject,
     as_cfunction(&command_method<kCommandObject, kCmd, respond_to_command_objects>),
     METH_FASTCALL | METH_KEYWORDS, kCommandObjectDoc},
    {"replay", &mellix_replay, METH_VARARGS, kReplayDoc},
    {"spec", &mellix_spec_record, METH_NOARGS, kSpecDoc},
    {"last_error_location", &mellix_last_error_location, METH_NOARGS, kLastErrorLocationDoc},
    {"explain", &mellix_explain, METH_O, kExplainDoc},
    {"read_feeds", &mellix_read_feeds, METH_O, kReadFeedsDoc},
    {"version", &mellix_version, METH_NOARGS | METH_STATIC, kVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot mellix_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&mellix_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&mellix_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, mellix_methods},
    {0, nullptr},
};

PyType_Spec mellix_spec = {
    // The qualified name makes the host report the class's module as
    // "builtins".
    "builtins.Mellix", static_cast<int>(sizeof(PyMellix)), 0, Py_TPFLAGS_DEFAULT, mellix_slots,
};

// The type object, created by the first module execution in the process and
// kept for the rest of it. Guarded by the interpreter lock.
PyObject* mellix_type = nullptr;

PyObject* mellix_type_once() {
  if (mellix_type != nullptr) return mellix_type;
  PyObject* created = PyType_FromSpec(&mellix_spec);
  if (created == nullptr) return nullptr;
  // PyType_FromSpec may have let another thread run; keep the first type.
  if (mellix_type == nullptr) {
    mellix_type = created;
  } else {
    Py_DecRef(created);
  }
  return mellix_type;
}

// ---------------------------------------------------------------------------
// The module.

// The context format's functions (context_records.hpp), for the package's
// own use: __all__ names only the public surface, "__version__" and "Mellix".
PyMethodDef module_functions[] = {
    {"read_context", &varnok_binding::read_context, METH_O, kReadContextDoc},
    {"write_context", &varnok_binding::write_context, METH_VARARGS, kWriteContextDoc},
    {"merge_contexts", &varnok_binding::merge_contexts, METH_O, kMergeContextsDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Appends `name` to the module's `__all__` (creating the list when there is
// none) and sets the attribute. Does not steal `value`.
bool add_export(PyObject* module, std::string_view name, PyObject* value) {
  Ref all_name(new_str("__all__"));
  Ref attr_name(new_str(name));
  if (!all_name || !attr_name) return false;

  Ref all(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), attr_name.get()) < 0) return false;
  return PyObject_SetAttr(module, attr_name.get(), value) == 0;
}

int module_exec(PyObject* module) {
  try {
    Ref version(new_str(mellix::kVersion));
    if (!version || !add_export(module, "__version__", version.get())) return -1;

    PyObject* type = mellix_type_once();
    if (type == nullptr || !add_export(module, "Mellix", type)) return -1;

    Ref kinds(varnok_binding::fact_kind_table());
    if (!kinds || PyObject_SetAttrString(module, "FACT_KINDS", kinds.get()) < 0) return -1;
    return 0;
  } catch (...) {
    raise_from_current_exception();
    return -1;
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_varnok_mellix",
    kModuleDoc,
    0,  // no per-module state
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__varnok_mellix() {
  return PyModuleDef_Init(&module_def);
}
