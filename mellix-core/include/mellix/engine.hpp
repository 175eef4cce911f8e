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
#include "mellix/feed_snapshot.hpp"
#include "mellix/host_value.hpp"
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

  // Runs one request held as the host's objects, viewed through `request`:
  // read with the same conversions as a parsed text, so it answers as its
  // JSON text would, but for offsets, which objects do not have. The host
  // keeps the objects alive and unchanged for the call, and calls
  // release_after_large_request() after one of kLargeRequestValues values.
  std::string command(const HostValue& request);

  // The response to a request that the host refused before the engine read
  // it (a value its objects hold that JSON text cannot carry): `error`'s
  // response, with no last_error_location(). The engine is unchanged.
  std::string refuse(const EngineError& error);

  // Each of these reads a build request, as text or as a host's objects,
  // exactly as command() reads it; a request that command() refuses gives
  // the error response it answers, and any other command than a build is
  // refused. The stored context stays as it is.
  //
  // replay(): replays the request's feeds with this engine's spec
  // (mellix/replay.hpp) instead of building.
  std::expected<ReplayTable, std::string> replay(std::string_view request,
                                                 const ReplayOptions& options);
  std::expected<ReplayTable, std::string> replay(const HostValue& request,
                                                 const ReplayOptions& options);
  // explain(): builds with the evidence of every fact (mellix/evidence.hpp);
  // the context text is the one command() would answer.
  std::expected<ExplainedBuild, std::string> explain(std::string_view request);
  std::expected<ExplainedBuild, std::string> explain(const HostValue& request);
  // read_feeds(): the request's feeds as the engine read them, for a host
  // that shows them (instead of reading the feeds format again).
  std::expected<FeedMap, std::string> read_feeds(std::string_view request);
  std::expected<FeedMap, std::string> read_feeds(const HostValue& request);

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
  // Where a build request goes instead of building, while replay(),
  // explain() or read_feeds() reads its request (engine/command_runner.hpp).
  BuildDiversion* diversion_ = nullptr;

  friend class CommandRunner;
  friend class DiversionScope;
};

// Gives the heap's free memory back to the system, all but what a mid-sized
// request reuses, as command() does itself after a text of a megabyte: for a
// host after a request of kLargeRequestValues values (mellix/request_limits.hpp).
void release_after_large_request();

}  // namespace mellix
