// DocumentParser: request text to a parsed document, fast path first.
//
// Owns a reusable simdjson parser (and with it the one padded copy of the
// text) so a hot loop of commands allocates nothing once warmed up. The fast
// path handles every well-formed text whose numbers fit simdjson; when it
// gives up, the exact parser re-reads the text and either finds a fault with
// its position or (for integers beyond 64 bits) yields its own tree. Both
// paths accept the same texts and yield equal values.
//
// A ParsedDocument borrows the parser's buffers: it is valid until the next
// parse() on the same DocumentParser. Not thread-safe; one per engine.
#pragma once

#include <expected>
#include <memory>
#include <string_view>
#include <variant>

#include "json/exact_document.hpp"
#include "json/fast_value.hpp"
#include "json/text_error.hpp"

namespace mellix::json {

class ParsedDocument {
 public:
  explicit ParsedDocument(FastValue root) : root_(root) {}
  explicit ParsedDocument(std::unique_ptr<ExactNode> root) : root_(std::move(root)) {}

  // Calls f(FastValue) or f(ExactValue) with the root value.
  template <class F>
  decltype(auto) visit(F&& f) const {
    if (const auto* fast = std::get_if<FastValue>(&root_)) return f(*fast);
    return f(ExactValue(*std::get<std::unique_ptr<ExactNode>>(root_)));
  }

 private:
  std::variant<FastValue, std::unique_ptr<ExactNode>> root_;
};

class DocumentParser {
 public:
  DocumentParser();
  DocumentParser(DocumentParser&&) noexcept;
  DocumentParser& operator=(DocumentParser&&) noexcept;
  ~DocumentParser();

  std::expected<ParsedDocument, TextError> parse(std::string_view text);

  // Only the fast path, for tests and benchmarks: nullopt when it gives up.
  std::optional<FastValue> parse_fast(std::string_view text);

 private:
  std::unique_ptr<simdjson::dom::parser> parser_;
};

}  // namespace mellix::json
