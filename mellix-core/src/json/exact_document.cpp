#include "json/exact_document.hpp"

#include <utility>

namespace mellix::json {

std::expected<ExactCheck, TextError> check_exact(std::string_view text,
                                                 std::span<const ByteSpan> known_valid) {
  ExactScanner scanner(text);
  scanner.set_known_valid(known_valid);
  scanner.skip_space();
  if (!scanner.skip(0) || !scanner.finish()) return std::unexpected(scanner.fault());
  return ExactCheck{scanner.saw_wide_integer()};
}

// Appends each value's node, then its children's, in text order.
class ExactTreeBuilder {
 public:
  ExactTreeBuilder(std::string_view text, ExactDocument& doc) : scanner_(text), doc_(doc) {}

  bool run() {
    scanner_.skip_space();
    return value(0) && scanner_.finish();
  }
  const TextError& fault() const { return scanner_.fault(); }

 private:
  bool value(std::size_t depth) {
    const std::size_t at = doc_.nodes_.size();
    doc_.nodes_.emplace_back();
    const std::size_t string_start = doc_.strings_.size();
    Token token;
    if (!scanner_.value(token, &doc_.strings_, depth)) return false;
    ExactNode& node = doc_.nodes_[at];
    node.type = token.type;
    node.begin = token.begin;
    switch (token.type) {
      case ValueType::Array:
      case ValueType::Object:
        return container(at, depth + 1);
      case ValueType::String:
        node.index = string_start;
        node.size = doc_.strings_.size() - string_start;
        break;
      case ValueType::Bool:
        node.boolean = token.boolean;
        break;
      case ValueType::Int64:
        node.int64 = token.int64;
        break;
      case ValueType::UInt64:
        node.uint64 = token.uint64;
        break;
      case ValueType::Double:
        node.number = token.number;
        break;
      case ValueType::Null:
        break;
    }
    node.end = scanner_.position() - 1;
    return true;
  }

  // Readies the node of a key that may follow; its text is appended next.
  void key() {
    ExactNode& node = doc_.nodes_.emplace_back();
    node.type = ValueType::String;
    node.index = doc_.strings_.size();
  }

  bool container(std::size_t at, std::size_t depth) {
    const bool array = doc_.nodes_[at].type == ValueType::Array;
    std::size_t count = 0;
    bool more = false;
    if (array) {
      if (!scanner_.first_element(more)) return false;
      for (; more; ++count) {
        if (!value(depth) || !scanner_.next_element(more)) return false;
      }
    } else {
      std::size_t key_at = doc_.nodes_.size();
      key();
      if (!scanner_.first_member(more, &doc_.strings_)) return false;
      for (; more; ++count) {
        ExactNode& k = doc_.nodes_[key_at];
        k.size = doc_.strings_.size() - k.index;
        if (!value(depth)) return false;
        key_at = doc_.nodes_.size();
        key();
        if (!scanner_.next_member(more, &doc_.strings_)) return false;
      }
      doc_.nodes_.pop_back();  // the slot readied for a key that did not come
    }
    ExactNode& node = doc_.nodes_[at];
    node.size = count;
    node.index = doc_.nodes_.size();
    node.end = scanner_.last_close();
    return true;
  }

  ExactScanner scanner_;
  ExactDocument& doc_;
};

std::expected<ExactDocument, TextError> parse_exact(std::string_view text) {
  ExactDocument doc;
  ExactTreeBuilder builder(text, doc);
  if (!builder.run()) return std::unexpected(builder.fault());
  return doc;
}

}  // namespace mellix::json
