#include "mellix/engine.hpp"

#include <utility>
#include <vector>

#include "engine/command_runner.hpp"
#include "json/document_parser.hpp"
#include "json/exact_document.hpp"
#include "json/value_locator.hpp"
#include "mellix/context_text.hpp"
#include "model/spec_json.hpp"
#include "read/forward_reader.hpp"
#include "system/pool.hpp"

namespace mellix {

struct Engine::Scratch {
  json::DocumentParser parser;
  ForwardReader forward;
};

std::string CommandRunner::respond(Engine& engine, std::string_view request, RequestPath path,
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
  engine.refused_at_.reset();
  std::string response = answer(engine, scratch, request, path, forward_answered);
  // Whichever reader answered, the refused value is found in the text again.
  if (engine.refused_at_)
    engine.refused_at_->offset = json::locate_value(request, engine.refused_at_->path);
  return response;
}

std::string CommandRunner::answer(Engine& engine, Engine::Scratch& scratch,
                                  std::string_view request, RequestPath path,
                                  bool* forward_answered) {
  const auto parse_error = [&](const json::TextError& error) {
    return error_response(
        EngineError::parse(json::render_with_position(error.description, request, error.offset)));
  };
  std::vector<json::ByteSpan> known_valid;
  const bool forward = path == RequestPath::Forward ||
                       (path == RequestPath::Auto && request.size() >= kForwardMinBytes);
  if (forward) {
    ForwardOutcome outcome = scratch.forward.read_build(request);
    if (forward_answered) *forward_answered = outcome.feeds.has_value();
    if (outcome.feeds) return respond_with(engine, build_from(engine, *outcome.feeds));
    known_valid = std::move(outcome.known_valid);
    if (outcome.invalid) {
      // Certainly not JSON: find the fault without a document.
      const auto check = json::check_exact(request, known_valid);
      if (!check) return parse_error(check.error());
    }
  }
  if (path == RequestPath::Exact) {
    const auto check = json::check_exact(request);
    if (!check) return parse_error(check.error());
    auto tree = json::parse_exact(request);
    if (!tree) return parse_error(tree.error());
    return respond_with(engine, run(engine, json::ExactValue(*tree, 0)));
  }
  const auto document = scratch.parser.parse(request, known_valid);
  if (!document) return parse_error(document.error());
  return respond_with(engine, document->visit([&](const auto& root) { return run(engine, root); }));
}

CommandRunner::Result CommandRunner::build_from(Engine& engine, const FeedMap& feeds) {
  if (engine.diversion_ != nullptr) return engine.diversion_->build(engine.spec_, feeds);
  auto context = build_context(engine.spec_, feeds, nullptr);
  if (!context) return std::unexpected(std::move(context.error()));
  std::string out;
  write_market_context(out, *context);
  // The response is already text, so the engine can keep the context itself.
  engine.context_ = std::move(*context);
  return out;
}

std::expected<Engine, EngineError> Engine::create(std::string_view spec_text) {
  auto spec = parse_context_spec(spec_text);
  if (!spec) return std::unexpected(std::move(spec.error()));
  if (auto valid = validate(*spec); !valid) return std::unexpected(std::move(valid.error()));
  prepare_pool();
  return Engine(std::move(*spec));
}

Engine::Engine(ContextSpec spec) : spec_(std::move(spec)) {}
Engine::Engine(Engine&&) noexcept = default;
Engine& Engine::operator=(Engine&&) noexcept = default;
Engine::~Engine() = default;

std::string Engine::command(std::string_view request) {
  return CommandRunner::respond(*this, request, RequestPath::Auto, nullptr);
}

namespace {

// A replay of the build request that `engine` reads while the scope lives:
// its table, or the error response.
class ReplayScope : public BuildDiversion {
 public:
  ReplayScope(Engine& engine, const ReplayOptions& options)
      : BuildDiversion("replay"), options_(options), scope_(engine, *this) {}

  CommandRunner::Result build(const ContextSpec& spec, const FeedMap& feeds) override {
    auto table = mellix::replay(spec, feeds, options_);
    if (!table) return std::unexpected(std::move(table.error()));
    table_ = std::move(*table);
    return std::string();
  }
  // The table, once a build request was read; else the error response
  // `response` holds.
  std::expected<ReplayTable, std::string> result(std::string response) {
    if (table_) return std::move(*table_);
    return std::unexpected(std::move(response));
  }

 private:
  const ReplayOptions& options_;
  std::optional<ReplayTable> table_;
  DiversionScope scope_;
};

// A build with evidence of the build request that `engine` reads while the
// scope lives: the text a build answers and the evidence, or the error
// response.
class ExplainScope : public BuildDiversion {
 public:
  explicit ExplainScope(Engine& engine) : BuildDiversion("explain"), scope_(engine, *this) {}

  CommandRunner::Result build(const ContextSpec& spec, const FeedMap& feeds) override {
    std::vector<Evidence> evidence;
    auto context = build_context(spec, feeds, &evidence);
    if (!context) return std::unexpected(std::move(context.error()));
    std::string out;
    write_market_context(out, *context);
    evidence_ = std::move(evidence);
    return out;
  }
  std::expected<ExplainedBuild, std::string> result(std::string response) {
    if (!evidence_) return std::unexpected(std::move(response));
    return ExplainedBuild{std::move(response), std::move(*evidence_)};
  }

 private:
  std::optional<std::vector<Evidence>> evidence_;
  DiversionScope scope_;
};

// The feeds of the build request that `engine` reads while the scope lives,
// as the engine read them, or the error response.
class FeedsScope : public BuildDiversion {
 public:
  explicit FeedsScope(Engine& engine) : BuildDiversion("read_feeds"), scope_(engine, *this) {}

  CommandRunner::Result build(const ContextSpec& /*spec*/, const FeedMap& feeds) override {
    feeds_ = feeds;
    return std::string();
  }
  std::expected<FeedMap, std::string> result(std::string response) {
    if (feeds_) return std::move(*feeds_);
    return std::unexpected(std::move(response));
  }

 private:
  std::optional<FeedMap> feeds_;
  DiversionScope scope_;
};

// What `Scope` makes of `engine`'s reading of `request`, as a command reads
// it, the scope diverting the build.
template <class Scope, class Request, class... Options>
auto diverted(Engine& engine, const Request& request, const Options&... options) {
  Scope scope(engine, options...);
  return scope.result(engine.command(request));
}

}  // namespace

std::string Engine::command(const HostValue& request) {
  return CommandRunner::respond_to_document(*this, request);
}

std::string Engine::refuse(const EngineError& error) {
  return CommandRunner::refuse(*this, error);
}

std::expected<ReplayTable, std::string> Engine::replay(std::string_view request,
                                                       const ReplayOptions& options) {
  return diverted<ReplayScope>(*this, request, options);
}

std::expected<ReplayTable, std::string> Engine::replay(const HostValue& request,
                                                       const ReplayOptions& options) {
  return diverted<ReplayScope>(*this, request, options);
}

std::expected<ExplainedBuild, std::string> Engine::explain(std::string_view request) {
  return diverted<ExplainScope>(*this, request);
}

std::expected<ExplainedBuild, std::string> Engine::explain(const HostValue& request) {
  return diverted<ExplainScope>(*this, request);
}

std::expected<FeedMap, std::string> Engine::read_feeds(std::string_view request) {
  return diverted<FeedsScope>(*this, request);
}

std::expected<FeedMap, std::string> Engine::read_feeds(const HostValue& request) {
  return diverted<FeedsScope>(*this, request);
}

void release_after_large_request() {
  release_free_heap(kFreeHeapKept);
}

std::string command_through(Engine& engine, std::string_view request, RequestPath path,
                            bool* forward_answered) {
  return CommandRunner::respond(engine, request, path, forward_answered);
}

}  // namespace mellix
