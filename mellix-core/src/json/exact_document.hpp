// ExactDocument: the exact path's answer for a request text simdjson gave up on.
//
// check_exact() validates a text with the exact grammar (json/exact_scanner.hpp)
// without building anything: it finds the first fault, with its description
// and byte offset, or tells whether the text holds an integer beyond 64 bits,
// the one thing simdjson cannot read. Only then is a tree worth building:
// parse_exact() makes one of compact nodes (40 bytes a value, children
// stored after their parent, all strings in one buffer), whose values keep
// their source offsets. ExactValue views it with the interface every
// conversion expects.
//
// A document owns its nodes and strings; views borrow it. Thread-compatible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/exact_scanner.hpp"
#include "json/text_error.hpp"
#include "json/value_type.hpp"

namespace mellix::json {

struct ExactCheck {
  bool wide_integers = false;  // an integer literal beyond 64 bits stands in the text
};

// Validates `text` as one JSON document. `known_valid` are values already
// found valid at their place (sorted, disjoint); they are stepped over.
std::expected<ExactCheck, TextError> check_exact(std::string_view text,
                                                 std::span<const ByteSpan> known_valid = {});

struct ExactNode {
  ValueType type = ValueType::Null;
  bool boolean = false;
  std::size_t begin = 0;  // offset of the value's first byte
  std::size_t end = 0;    // offset of its last byte (the closing bracket of a container)
  std::size_t size = 0;   // string length, or number of elements or members
  union {
    std::int64_t int64 = 0;
    std::uint64_t uint64;
    double number;
    // Strings: offset into the document's string buffer. Containers: index
    // one past the last node of their subtree (children follow their
    // container, an object's as key, value, key, value...).
    std::size_t index;
  };
};
static_assert(sizeof(ExactNode) <= 40);

class ExactDocument {
 public:
  const ExactNode& node(std::size_t i) const { return nodes_[i]; }
  std::string_view string(const ExactNode& n) const {
    return std::string_view(strings_).substr(n.index, n.size);
  }
  // Index of the node after `i` and its subtree.
  std::size_t next(std::size_t i) const {
    const ExactNode& n = nodes_[i];
    return n.type == ValueType::Array || n.type == ValueType::Object ? n.index : i + 1;
  }

 private:
  friend class ExactTreeBuilder;
  std::vector<ExactNode> nodes_;
  std::string strings_;
};

// Parses one JSON document (surrounding white space allowed) into a tree.
std::expected<ExactDocument, TextError> parse_exact(std::string_view text);

// Read-only view of a node with the interface every conversion expects.
class ExactValue {
 public:
  ExactValue(const ExactDocument& document, std::size_t index) : doc_(&document), index_(index) {}

  ValueType type() const { return node().type; }
  bool get_bool() const { return node().boolean; }
  std::int64_t get_int64() const { return node().int64; }
  std::uint64_t get_uint64() const { return node().uint64; }
  double get_double() const { return node().number; }
  std::string_view get_string() const { return doc_->string(node()); }

  std::size_t size() const { return node().size; }
  // Calls f(ExactValue) per element, first to last, until f returns false.
  template <class F>
  bool for_each_element(F&& f) const {
    for (std::size_t i = index_ + 1; i < node().index; i = doc_->next(i)) {
      if (!f(ExactValue(*doc_, i))) return false;
    }
    return true;
  }
  // Calls f(key, ExactValue) per member in text order until f returns false.
  template <class F>
  bool for_each_member(F&& f) const {
    for (std::size_t i = index_ + 1; i < node().index; i = doc_->next(i + 1)) {
      if (!f(doc_->string(doc_->node(i)), ExactValue(*doc_, i + 1))) return false;
    }
    return true;
  }

  std::optional<std::size_t> begin_offset() const { return node().begin; }
  std::optional<std::size_t> end_offset() const { return node().end; }

 private:
  const ExactNode& node() const { return doc_->node(index_); }

  const ExactDocument* doc_;
  std::size_t index_;
};

static_assert(ValueView<ExactValue>);

}  // namespace mellix::json
