#include "spec_json.hpp"

#include "model_json.hpp"

namespace mellix {

std::expected<ContextSpec, EngineError> parse_context_spec(std::string_view text,
                                                           json::DocumentParser& parser) {
  if (const auto fast = parser.parse_fast(text)) {
    auto spec = json::read_value<ContextSpec>(*fast, json::Source::Text);
    if (spec) return std::move(*spec);
  }
  // The fast path failed or cannot say where: the exact path finds the same
  // fault (or, for integers beyond 64 bits, succeeds) and knows its position.
  const auto tree = json::parse_exact(text);
  if (!tree) {
    return std::unexpected(EngineError::parse(
        json::render_with_position(tree.error().description, text, tree.error().offset)));
  }
  auto spec = json::read_value<ContextSpec>(json::ExactValue(*tree), json::Source::Text);
  if (!spec) {
    return std::unexpected(EngineError::parse(json::render_with_position(
        spec.error().message, text, spec.error().offset.value_or(text.size()))));
  }
  return std::move(*spec);
}

}  // namespace mellix
