#include "json/document_parser.hpp"

namespace mellix::json {
namespace {

// simdjson counts the document root as one level: a limit of 127 accepts 127
// nested containers and rejects 128.
constexpr std::size_t kSimdjsonMaxDepth = kMaxNesting - 1;
constexpr std::size_t kInitialCapacity = 4096;

}  // namespace

DocumentParser::DocumentParser() : parser_(std::make_unique<simdjson::dom::parser>()) {
  // Failure to pre-allocate is harmless: parse() allocates on demand and the
  // depth limit is applied again there.
  [[maybe_unused]] const auto error = parser_->allocate(kInitialCapacity, kSimdjsonMaxDepth);
}

DocumentParser::DocumentParser(DocumentParser&&) noexcept = default;
DocumentParser& DocumentParser::operator=(DocumentParser&&) noexcept = default;
DocumentParser::~DocumentParser() = default;

std::optional<FastValue> DocumentParser::parse_fast(std::string_view text) {
  if (parser_->max_depth() != kSimdjsonMaxDepth || parser_->capacity() < text.size()) {
    if (parser_->allocate(std::max(text.size(), kInitialCapacity), kSimdjsonMaxDepth)) {
      return std::nullopt;
    }
  }
  // realloc_if_needed = true: simdjson copies the text once into its own
  // reusable padded buffer.
  auto result = parser_->parse(text.data(), text.size(), true);
  if (result.error()) return std::nullopt;
  return FastValue(result.value_unsafe());
}

std::expected<ParsedDocument, TextError> DocumentParser::parse(std::string_view text) {
  if (auto fast = parse_fast(text)) return ParsedDocument(*fast);
  auto exact = parse_exact(text);
  if (!exact) return std::unexpected(std::move(exact.error()));
  return ParsedDocument(std::make_unique<ExactNode>(std::move(*exact)));
}

}  // namespace mellix::json
