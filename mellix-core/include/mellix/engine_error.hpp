// EngineError: the engine's one error type.
//
// A kind and an owned UTF-8 message. Every fallible engine step returns
// std::expected<T, EngineError>; only the Python binding turns errors into
// exceptions. Rendering prefixes the kind ("parse: ", "bad spec: ", ...) and
// never alters the message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

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

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  // The kind's prefix followed by the message, e.g. "bad spec: unknown cmd: x".
  std::string render() const;

  friend bool operator==(const EngineError&, const EngineError&) = default;

 private:
  Kind kind_;
  std::string message_;
};

}  // namespace mellix
