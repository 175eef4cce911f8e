// Engine: the state behind one Mellix object, and the call that runs its commands.
//
// An Engine owns its validated ContextSpec, the optional stored MarketContext
// and the buffers of its request readers, kept warm for small requests and
// given back after a large one. `command` takes a request as
// UTF-8 JSON text and always returns one JSON response text: a failure of any
// kind comes back as {"error":...,"ok":false} and leaves the engine exactly as
// it was. An Engine is not thread-safe: one command at a time, from one thread
// (the binding enforces this). A build blocks the calling thread while the
// process-wide pool derives facts; the pool never calls back into the caller.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mellix/context_spec.hpp"
#include "mellix/engine_error.hpp"
#include "mellix/error_location.hpp"
#include "mellix/evidence.hpp"
#include "mellix/fact.hpp"
#include "mellix/replay.hpp"
#include "mellix/version.hpp"

namespace mellix {

class BuildDiversion;

class Engine {
 public:
  // Parses `spec_text` (one JSON document) and validates it. Errors carry a
  // " at line N column M" position for text-level and record-level faults.
  static std::expected<Engine, EngineError> create(std::string_view spec_text);

  Engine(Engine&&) noexcept;
  Engine& operator=(Engine&&) noexcept;
  ~Engine();

  // Runs one request and returns the response text. Never throws for the
  // request's content; std::bad_alloc may still escape.
  std::string command(std::string_view request);

  // Reads `request`, a build request as text, exactly as command() reads it,
  // but replays its feeds with this engine's spec (mellix/replay.hpp)
  // instead of building: the stored context stays as it is. A request that
  // command() refuses gives the error response it answers.
  std::expected<ReplayTable, std::string> replay(std::string_view request,
                                                 const ReplayOptions& options);

  // Reads `request`, a build request as text, exactly as command() reads it,
  // and builds with the evidence of every fact (mellix/evidence.hpp): the
  // context text is the one command() would answer, but the stored context
  // stays as it is. A request that command() refuses gives the error
  // response it answers; any other command than a build is refused.
  std::expected<ExplainedBuild, std::string> explain(std::string_view request);

  const ContextSpec& spec() const { return spec_; }
  const std::optional<MarketContext>& context() const { return context_; }

  // Where the value stands that the last command refused: set when a member
  // of the request did not convert ("parse: invalid type: ..."), with the
  // value's offset when the request was text; none after a command that
  // succeeded or was refused for anything else (a fault in the JSON text,
  // whose message gives its position; an unknown cmd; a spec that does not
  // validate). The response itself is the same either way.
  const std::optional<ErrorLocation>& last_error_location() const { return refused_at_; }

 private:
  explicit Engine(ContextSpec spec);

  struct Scratch;  // the request readers and their buffers, made by the first command

  ContextSpec spec_;
  std::optional<MarketContext> context_;
  std::unique_ptr<Scratch> scratch_;
  std::optional<ErrorLocation> refused_at_;
  // Where a build request goes instead of building, while a replay or an
  // explained build reads its request (engine/command_runner.hpp).
  BuildDiversion* diversion_ = nullptr;

  friend class CommandRunner;
  friend class DiversionScope;
};

}  // namespace mellix
