#include "mellix/engine.hpp"

#include <array>
#include <utility>

#include "builder.hpp"
#include "context_json.hpp"
#include "forward_reader.hpp"
#include "heap.hpp"
#include "json/document_parser.hpp"
#include "json/exact_document.hpp"
#include "model_json.hpp"
#include "relevance.hpp"
#include "request_paths.hpp"
#include "response.hpp"
#include "spec_json.hpp"

namespace mellix {

struct Engine::Scratch {
  json::DocumentParser parser;
  ForwardReader forward;
};

namespace {

// Requests from this size on try the forward reader first; below it the DOM
// costs less than setting the forward reader's workers to work.
constexpr std::size_t kForwardMinBytes = 16 * 1024;
// After a request this large, the heap's free memory goes back to the
// system, all but what a mid-sized request reuses: with the readers' warm
// buffers (json/document_parser.cpp, forward_reader.cpp), under 32 MiB.
constexpr std::size_t kReleaseMinBytes = 1024 * 1024;
constexpr std::size_t kFreeHeapKept = 16 * 1024 * 1024;

enum class Command { BuildContext, Query, Reset, SetSpec, Version };

constexpr std::array<std::pair<std::string_view, Command>, 6> kCommandTable = {{
    {"build_context", Command::BuildContext},
    {"facts", Command::BuildContext},
    {"query", Command::Query},
    {"reset", Command::Reset},
    {"set_spec", Command::SetSpec},
    {"version", Command::Version},
}};

// The value of the last member called `name`, as a parsed document keeps it.
template <class V>
std::optional<V> member(const V& object, std::string_view name) {
  std::optional<V> found;
  object.for_each_member([&](std::string_view key, const V& value) {
    if (key == name) found.emplace(value);
    return true;
  });
  return found;
}

// A member's value converted to T. The value comes from the parsed request,
// so a failure is a parse error without a position.
template <class T, class V>
std::expected<T, EngineError> convert(const V& value) {
  auto read = json::read_value<T>(value, json::Source::Document);
  if (!read) return std::unexpected(EngineError::parse(std::move(read.error().message)));
  return std::move(*read);
}

// The member `name` converted to T; `missing "name"` when there is none.
template <class T, class V>
std::expected<T, EngineError> required_member(const V& request, std::string_view name) {
  const std::optional<V> value = member(request, name);
  if (!value) return std::unexpected(EngineError::missing(name));
  return convert<T>(*value);
}

}  // namespace

class CommandRunner {
 public:
  using Result = std::expected<std::string, EngineError>;

  static std::string respond(Engine& engine, std::string_view request, RequestPath path,
                             bool* forward_answered) {
    if (!engine.scratch_) engine.scratch_ = std::make_unique<Engine::Scratch>();
    Engine::Scratch& scratch = *engine.scratch_;
    // Whatever the outcome, buffers grown for a large request are given back,
    // and with them what the request's records left on the heap.
    struct Trim {
      Engine::Scratch& scratch;
      bool large;
      ~Trim() {
        scratch.parser.trim();
        scratch.forward.trim();
        if (large) release_free_heap(kFreeHeapKept);
      }
    } trim{scratch, request.size() >= kReleaseMinBytes};
    return answer(engine, scratch, request, path, forward_answered);
  }

  template <class V>
  static Result run(Engine& engine, const V& request) {
    std::optional<V> cmd;
    if (request.type() == json::ValueType::Object) cmd = member(request, "cmd");
    if (!cmd || cmd->type() != json::ValueType::String) {
      return std::unexpected(EngineError::missing("cmd"));
    }
    const std::string_view name = cmd->get_string();
    for (const auto& [known, command] : kCommandTable) {
      if (known != name) continue;
      switch (command) {
        case Command::BuildContext:
          return build(engine, request);
        case Command::Query:
          return query(engine, request);
        case Command::Reset:
          engine.context_.reset();
          return ok_response();
        case Command::SetSpec:
          return set_spec(engine, request);
        case Command::Version:
          return version_response();
      }
    }
    std::string message = "unknown cmd: ";
    message += name;
    return std::unexpected(EngineError::bad_spec(std::move(message)));
  }

 private:
  static std::string answer(Engine& engine, Engine::Scratch& scratch, std::string_view request,
                            RequestPath path, bool* forward_answered) {
    std::vector<json::ByteSpan> known_valid;
    const bool forward = path == RequestPath::Forward ||
                         (path == RequestPath::Auto && request.size() >= kForwardMinBytes);
    if (forward) {
      ForwardOutcome outcome = scratch.forward.read_build(request);
      if (forward_answered) *forward_answered = outcome.feeds.has_value();
      if (outcome.feeds) return respond_with(build_from(engine, *outcome.feeds));
      known_valid = std::move(outcome.known_valid);
      if (outcome.invalid) {
        // Certainly not JSON: find the fault without a document.
        const auto check = json::check_exact(request, known_valid);
        if (!check) return parse_error(request, check.error());
      }
    }
    if (path == RequestPath::Exact) {
      const auto check = json::check_exact(request);
      if (!check) return parse_error(request, check.error());
      auto tree = json::parse_exact(request);
      if (!tree) return parse_error(request, tree.error());
      return respond_with(run(engine, json::ExactValue(*tree, 0)));
    }
    const auto document = scratch.parser.parse(request, known_valid);
    if (!document) return parse_error(request, document.error());
    return respond_with(document->visit([&](const auto& root) { return run(engine, root); }));
  }

  static std::string respond_with(Result result) {
    if (!result) return error_response(result.error());
    return std::move(*result);
  }

  static std::string parse_error(std::string_view request, const json::TextError& error) {
    return error_response(
        EngineError::parse(json::render_with_position(error.description, request, error.offset)));
  }

  template <class V>
  static Result build(Engine& engine, const V& request) {
    const auto feeds = required_member<FeedMap>(request, "feeds");
    if (!feeds) return std::unexpected(feeds.error());
    return build_from(engine, *feeds);
  }

  static Result build_from(Engine& engine, const FeedMap& feeds) {
    auto context = build_context(engine.spec_, feeds);
    if (!context) return std::unexpected(std::move(context.error()));
    std::string out;
    write_market_context(out, *context);
    // The response is already text, so the engine can keep the context itself.
    engine.context_ = std::move(*context);
    return out;
  }

  template <class V>
  static Result query(Engine& engine, const V& request) {
    const auto question = member(request, "question");
    if (!question || question->type() != json::ValueType::String) {
      return std::unexpected(EngineError::missing_string("question"));
    }
    std::optional<MarketContext> supplied;
    const MarketContext* context = nullptr;
    if (const auto context_value = member(request, "context")) {
      auto read = convert<MarketContext>(*context_value);
      if (!read) return std::unexpected(std::move(read.error()));
      context = &supplied.emplace(std::move(*read));
    } else if (engine.context_) {
      context = &*engine.context_;
    } else {
      return std::unexpected(EngineError::bad_spec("no context built; call build_context first"));
    }
    const auto calls = relevant_tool_calls(question->get_string(), context->facts);
    return tool_calls_response(calls);
  }

  template <class V>
  static Result set_spec(Engine& engine, const V& request) {
    auto spec = required_member<ContextSpec>(request, "spec");
    if (!spec) return std::unexpected(std::move(spec.error()));
    if (auto valid = validate(*spec); !valid) return std::unexpected(std::move(valid.error()));
    engine.spec_ = std::move(*spec);
    return ok_response();
  }
};

std::expected<Engine, EngineError> Engine::create(std::string_view spec_text) {
  auto spec = parse_context_spec(spec_text);
  if (!spec) return std::unexpected(std::move(spec.error()));
  if (auto valid = validate(*spec); !valid) return std::unexpected(std::move(valid.error()));
  return Engine(std::move(*spec));
}

Engine::Engine(ContextSpec spec) : spec_(std::move(spec)) {}
Engine::Engine(Engine&&) noexcept = default;
Engine& Engine::operator=(Engine&&) noexcept = default;
Engine::~Engine() = default;

std::string Engine::command(std::string_view request) {
  return CommandRunner::respond(*this, request, RequestPath::Auto, nullptr);
}

std::string command_through(Engine& engine, std::string_view request, RequestPath path,
                            bool* forward_answered) {
  return CommandRunner::respond(engine, request, path, forward_answered);
}

}  // namespace mellix
