// RequestOutline: the top of a build request, found from its token offsets.
//
// OutlineWalker reads the offsets of a request's tokens (json/
// structural_index.hpp), one chunk after another, and finds the root
// object's members and, for each "feeds" member that is an object, that
// object's members. Every other value is passed over as one span whose end
// is found by counting brackets, so the walk reads one byte per token and
// never a value's text. Values are not checked here: a span is a claim for
// whoever reads it to check. What the walk checks is the grammar around the
// spans: keys, colons, commas, closing brackets, and nothing after the root.
// Keys are taken as written; one with an escape cannot be compared that way
// and makes the outline Unsupported, as does a root that is not an object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "json/exact_scanner.hpp"

namespace mellix::json {

struct OutlineValue {
  std::string_view key;  // the member's key as written (no escapes)
  ByteSpan bytes;        // the value, with the white space after a scalar
  std::size_t depth;     // containers around the value
  std::size_t feeds;     // for a member of the n-th "feeds" object: n; else 0
};

struct RequestOutline {
  enum class Status : std::uint8_t { Complete, Fault, Unsupported };
  Status status = Status::Unsupported;
  // In text order; after a fault, the values before it.
  std::vector<OutlineValue> values;
  std::size_t feeds_objects = 0;  // "feeds" members whose value is an object
  bool last_feeds_is_object = false;
  bool has_cmd = false;
  ByteSpan cmd;  // the last "cmd" member's value
};

class OutlineWalker {
 public:
  // Starts an outline of `text` into `out`.
  OutlineWalker(std::string_view text, RequestOutline& out);

  // Reads the tokens starting at base + offsets[i]; false once the outline
  // is decided before the end (a fault, or a shape it does not take).
  bool feed(std::span<const std::uint32_t> offsets, std::size_t base);
  // After the last token: decides the status.
  void finish();

 private:
  enum class State : std::uint8_t { Root, FirstKey, Key, Colon, Value, Skip, AfterValue, Done };

  bool token(std::size_t at);
  bool root(char c);
  bool key(char c, std::size_t at);
  bool colon(char c, std::size_t at);
  bool value(char c, std::size_t at);
  bool after_value(char c, std::size_t at);
  bool close_object();
  bool stop(RequestOutline::Status status);
  void record(ByteSpan bytes);

  std::string_view text_;
  RequestOutline& out_;
  State state_ = State::Root;
  std::vector<std::size_t> objects_;  // for each open object: its "feeds" number, or 0
  std::size_t key_at_ = 0;
  std::string_view key_;
  std::size_t value_at_ = 0;
  bool pending_scalar_ = false;
  char skip_open_ = 0;
  std::ptrdiff_t skip_depth_ = 0;
  bool stopped_ = false;
};

}  // namespace mellix::json
