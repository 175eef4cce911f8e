#include "json/document_parser.hpp"

#include <algorithm>

namespace mellix::json {
namespace {

// simdjson counts the document root as one level: a limit of 127 accepts 127
// nested containers and rejects 128.
constexpr std::size_t kSimdjsonMaxDepth = kMaxNesting - 1;
constexpr std::size_t kInitialCapacity = 4096;

}  // namespace

DocumentParser::DocumentParser() = default;
DocumentParser::DocumentParser(DocumentParser&&) noexcept = default;
DocumentParser& DocumentParser::operator=(DocumentParser&&) noexcept = default;
DocumentParser::~DocumentParser() = default;

std::optional<FastValue> DocumentParser::parse_fast(std::string_view text) {
  if (!parser_) parser_ = std::make_unique<simdjson::dom::parser>();
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

std::expected<ParsedDocument, TextError> DocumentParser::parse(
    std::string_view text, std::span<const ByteSpan> known_valid) {
  if (auto fast = parse_fast(text)) return ParsedDocument(*fast);
  const auto check = check_exact(text, known_valid);
  if (!check) return std::unexpected(check.error());
  auto exact = parse_exact(text);
  if (!exact) return std::unexpected(std::move(exact.error()));
  return ParsedDocument(std::move(*exact));
}

void DocumentParser::trim() {
  if (parser_ && parser_->capacity() > kWarmBufferBytes) parser_.reset();
}

}  // namespace mellix::json
