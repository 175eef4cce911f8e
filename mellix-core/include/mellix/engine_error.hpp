// EngineError: the engine's one error type.
//
// A kind and an owned UTF-8 message. Every fallible engine step returns
// std::expected<T, EngineError>; only the Python binding turns errors into
// exceptions. Rendering prefixes the kind ("parse: ", "bad spec: ", ...) and
// never alters the message. A value of the request that does not convert
// also gives its path (mellix/error_location.hpp), which the rendering
// leaves out: the answer's text is the same however the request was read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mellix/error_location.hpp"

namespace mellix {

class EngineError {
 public:
  enum class Kind : std::uint8_t { Parse, UnknownIndicator, BadSpec, Data };

  EngineError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  static EngineError parse(std::string message) { return {Kind::Parse, std::move(message)}; }
  static EngineError bad_spec(std::string message) { return {Kind::BadSpec, std::move(message)}; }

  // `missing "name"`, for a request member that is absent.
  static EngineError missing(std::string_view name);
  // `missing string "name"`, for a member that is absent or not a string.
  static EngineError missing_string(std::string_view name);

  // The parse error of a request value that does not convert, at `path`
  // from the request's root (empty: not a value of the request).
  static EngineError parse_at(std::string message, std::vector<PathStep> path) {
    EngineError error = parse(std::move(message));
    error.path_ = std::move(path);
    return error;
  }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  const std::vector<PathStep>& path() const { return path_; }

  // The kind's prefix followed by the message, e.g. "bad spec: unknown cmd: x".
  std::string render() const;

  friend bool operator==(const EngineError&, const EngineError&) = default;

 private:
  Kind kind_;
  std::string message_;
  std::vector<PathStep> path_;
};

}  // namespace mellix
