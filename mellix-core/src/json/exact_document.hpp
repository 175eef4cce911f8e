// ExactDocument: a self-contained JSON parser that knows where things are.
//
// The fast path (simdjson) cannot say where a fault is, nor read an integer
// literal beyond 64 bits. This parser runs only when the fast path gave up: it
// accepts exactly the texts the fast path accepts, and also integers beyond 64
// bits (read as the nearest double), and it reports the first fault with a
// description and byte offset. It builds an owning tree whose nodes keep their
// source offsets, so record conversions can point at the offending value.
// Not tuned for speed; thread-compatible (no shared state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/text_error.hpp"
#include "json/value_type.hpp"

namespace mellix::json {

struct ExactMember;

struct ExactNode {
  ValueType type = ValueType::Null;
  std::size_t begin = 0;  // offset of the value's first byte
  std::size_t end = 0;    // offset of its last byte (the closing bracket of a container)
  bool boolean = false;
  std::int64_t int64 = 0;
  std::uint64_t uint64 = 0;
  double number = 0.0;
  std::string string;
  std::vector<ExactNode> items;      // array elements
  std::vector<ExactMember> members;  // object members in text order, repeats kept
};

struct ExactMember {
  std::string key;
  ExactNode value;
};

// Parses one JSON document: surrounding JSON white space allowed, anything
// else after the value is a fault.
std::expected<ExactNode, TextError> parse_exact(std::string_view text);

// Read-only view of an ExactNode with the interface every conversion expects.
class ExactValue {
 public:
  explicit ExactValue(const ExactNode& node) : node_(&node) {}

  ValueType type() const { return node_->type; }
  bool get_bool() const { return node_->boolean; }
  std::int64_t get_int64() const { return node_->int64; }
  std::uint64_t get_uint64() const { return node_->uint64; }
  double get_double() const { return node_->number; }
  std::string_view get_string() const { return node_->string; }

  std::size_t size() const {
    return node_->type == ValueType::Array ? node_->items.size() : node_->members.size();
  }
  // Calls f(ExactValue) per element, first to last, until f returns false.
  template <class F>
  bool for_each_element(F&& f) const {
    for (const ExactNode& item : node_->items) {
      if (!f(ExactValue(item))) return false;
    }
    return true;
  }
  // Calls f(key, ExactValue) per member in text order until f returns false.
  template <class F>
  bool for_each_member(F&& f) const {
    for (const ExactMember& m : node_->members) {
      if (!f(std::string_view(m.key), ExactValue(m.value))) return false;
    }
    return true;
  }

  std::optional<std::size_t> begin_offset() const { return node_->begin; }
  std::optional<std::size_t> end_offset() const { return node_->end; }

 private:
  const ExactNode* node_;
};

}  // namespace mellix::json
