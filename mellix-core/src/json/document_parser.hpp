// DocumentParser: request text to a parsed document, simdjson's DOM first.
//
// Owns a reusable simdjson DOM parser (and with it the one padded copy of the
// text), kept warm for small requests and released after a large one. The
// DOM handles every well-formed text whose numbers fit simdjson; when it
// gives up, the exact path checks the text without building anything and
// reports the first fault with its position; only a valid text that holds an
// integer beyond 64 bits gets an exact tree. Both documents look the same to
// every conversion.
//
// A ParsedDocument borrows the parser's buffers: it is valid until the next
// parse() or release() on the same DocumentParser. Not thread-safe; one per
// engine.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "json/exact_document.hpp"
#include "json/fast_value.hpp"
#include "json/text_error.hpp"

namespace mellix::json {

class ParsedDocument {
 public:
  explicit ParsedDocument(FastValue root) : root_(root) {}
  explicit ParsedDocument(ExactDocument root) : root_(std::move(root)) {}

  // Calls f(FastValue) or f(ExactValue) with the root value.
  template <class F>
  decltype(auto) visit(F&& f) const {
    if (const auto* fast = std::get_if<FastValue>(&root_)) return f(*fast);
    return f(ExactValue(std::get<ExactDocument>(root_), 0));
  }

 private:
  std::variant<FastValue, ExactDocument> root_;
};

class DocumentParser {
 public:
  DocumentParser();
  DocumentParser(DocumentParser&&) noexcept;
  DocumentParser& operator=(DocumentParser&&) noexcept;
  ~DocumentParser();

  // `known_valid` (sorted, disjoint) are values of the text already found
  // valid at their place: the exact path steps over them.
  std::expected<ParsedDocument, TextError> parse(std::string_view text,
                                                 std::span<const ByteSpan> known_valid = {});

  // Only the DOM, for tests and benchmarks: nullopt when it gives up.
  std::optional<FastValue> parse_fast(std::string_view text);

  // Frees the DOM's buffers if they outgrew what is worth keeping warm.
  void trim();

 private:
  std::unique_ptr<simdjson::dom::parser> parser_;
};

}  // namespace mellix::json
