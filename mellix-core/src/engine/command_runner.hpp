// CommandRunner: a request, once parsed, dispatched to its command.
//
// The dispatch is written once over the view type of a parsed document
// (json/reader.hpp's interface), so every way a request reaches the engine,
// from the text readers of engine.cpp to a host's own objects, answers
// alike. The request's values are read as Source::Document: members in
// ascending byte order of their keys, the last of repeated keys winning,
// errors without a position.
//
// respond_to_document() answers a request that was never text (a host's
// objects, through HostValue). Like respond() it returns one response text,
// leaves the engine as it was on any failure, and lets only std::bad_alloc
// escape; every response made here also sets the engine's
// last_error_location(): the path of a refused value (a member of the
// request that does not convert), else none. Scopes of engine.cpp divert a
// build into a replay, an explained build or the feeds alone.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/builder.hpp"
#include "engine/request_paths.hpp"
#include "engine/response.hpp"
#include "mellix/command_table.hpp"
#include "mellix/engine.hpp"
#include "mellix/request_limits.hpp"
#include "model/model_json.hpp"
#include "rules/relevance.hpp"
#include "system/heap.hpp"

namespace mellix {

namespace runner_detail {

// The value of the last member called `name`, as a parsed document keeps it;
// none when the view could not read the object through.
template <class V>
std::optional<V> member(const V& object, std::string_view name) {
  std::optional<V> found;
  const bool read = object.for_each_member([&](std::string_view key, const V& value) {
    if (key == name) found.emplace(value);
    return true;
  });
  if (!read) return std::nullopt;
  return found;
}

// The parse error of the request's member `name` that did not convert: its
// message has no position, and its path starts at the request's root.
[[gnu::cold]] inline EngineError member_error(std::string_view name, json::ReadError error) {
  std::vector<PathStep> path;
  path.reserve(error.path.size() + 1);
  path.emplace_back(std::in_place_index<0>, name);
  for (PathStep& step : error.path) path.push_back(std::move(step));
  return EngineError::parse_at(std::move(error.message), std::move(path));
}

// The value of the request's member `name` converted to T. The value comes
// from the parsed request, so a failure is a parse error without a position.
template <class T, class V>
std::expected<T, EngineError> convert(const V& value, std::string_view name) {
  auto read = json::read_value<T>(value, json::Source::Document);
  if (!read) return std::unexpected(member_error(name, std::move(read.error())));
  return std::move(*read);
}

// The member `name` converted to T; `missing "name"` when there is none.
template <class T, class V>
std::expected<T, EngineError> required_member(const V& request, std::string_view name) {
  const std::optional<V> value = member(request, name);
  if (!value) return std::unexpected(EngineError::missing(name));
  return convert<T>(*value, name);
}

}  // namespace runner_detail

// What a build request does instead of building while a DiversionScope
// lives: a replay or an explained build reads the request exactly as a
// command does, then hands its feeds here; the engine keeps its stored
// context. Any other command is refused, naming `what`.
class BuildDiversion {
 public:
  explicit BuildDiversion(std::string_view name) : what(name) {}
  BuildDiversion(const BuildDiversion&) = delete;
  BuildDiversion& operator=(const BuildDiversion&) = delete;
  virtual ~BuildDiversion() = default;
  // The response to the build, the feeds' outcome kept by the diversion.
  virtual std::expected<std::string, EngineError> build(const ContextSpec& spec,
                                                        const FeedMap& feeds) = 0;

  std::string_view what;  // "replay", "explain"
};

class CommandRunner {
 public:
  using Result = std::expected<std::string, EngineError>;

  // Engine::command and command_through: `request` read through `path`.
  static std::string respond(Engine& engine, std::string_view request, RequestPath path,
                             bool* forward_answered);

  template <json::ValueView V>
  static Result run(Engine& engine, const V& request) {
    using namespace runner_detail;
    std::optional<V> cmd;
    if (request.type() == json::ValueType::Object) cmd = member(request, "cmd");
    if (!cmd || cmd->type() != json::ValueType::String) {
      return std::unexpected(EngineError::missing("cmd"));
    }
    const std::string_view name = cmd->get_string();
    if (const std::optional<Command> command = command_named(name)) {
      // A replay or an explained build must leave the engine as it was.
      if (*command != Command::BuildContext && engine.diversion_ != nullptr) {
        return std::unexpected(EngineError::bad_spec(
            std::string(engine.diversion_->what) +
            " reads a build request (\"cmd\": \"build_context\"), not " + std::string(name)));
      }
      switch (*command) {
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

  // The response to `result`, the location of its refusal kept in `engine`.
  static std::string respond_with(Engine& engine, Result result) {
    if (result) return std::move(*result);
    if (!result.error().path().empty()) engine.refused_at_.emplace(result.error().path());
    return error_response(result.error());
  }

  // A request that is already a document, and one that the host refused
  // before the engine read it (Engine::command and Engine::refuse).
  template <class V>
  static std::string respond_to_document(Engine& engine, const V& request) {
    engine.refused_at_.reset();
    return respond_with(engine, run(engine, request));
  }
  static std::string refuse(Engine& engine, const EngineError& error) {
    engine.refused_at_.reset();
    return error_response(error);
  }

 private:
  static std::string answer(Engine& engine, Engine::Scratch& scratch, std::string_view request,
                            RequestPath path, bool* forward_answered);

  template <class V>
  static Result build(Engine& engine, const V& request) {
    const auto feeds = runner_detail::required_member<FeedMap>(request, "feeds");
    if (!feeds) return std::unexpected(feeds.error());
    return build_from(engine, *feeds);
  }

  static Result build_from(Engine& engine, const FeedMap& feeds);

  template <class V>
  static Result query(Engine& engine, const V& request) {
    const auto question = runner_detail::member(request, "question");
    if (!question || question->type() != json::ValueType::String) {
      return std::unexpected(EngineError::missing_string("question"));
    }
    std::optional<MarketContext> supplied;
    const MarketContext* context = nullptr;
    if (const auto context_value = runner_detail::member(request, "context")) {
      auto read = runner_detail::convert<MarketContext>(*context_value, "context");
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
    auto spec = runner_detail::required_member<ContextSpec>(request, "spec");
    if (!spec) return std::unexpected(std::move(spec.error()));
    if (auto valid = validate(*spec); !valid) return std::unexpected(std::move(valid.error()));
    engine.spec_ = std::move(*spec);
    return ok_response();
  }
};

// Sets `diversion` on `engine` for its life.
class DiversionScope {
 public:
  DiversionScope(Engine& engine, BuildDiversion& diversion) : engine_(engine) {
    engine_.diversion_ = &diversion;
  }
  DiversionScope(const DiversionScope&) = delete;
  DiversionScope& operator=(const DiversionScope&) = delete;
  ~DiversionScope() { engine_.diversion_ = nullptr; }

 private:
  Engine& engine_;
};

}  // namespace mellix
