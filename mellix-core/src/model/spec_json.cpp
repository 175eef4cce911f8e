#include "model/spec_json.hpp"

#include "json/text_error.hpp"
#include "json/text_value.hpp"
#include "model/model_json.hpp"

namespace mellix {

std::expected<ContextSpec, EngineError> parse_context_spec(std::string_view text) {
  json::ExactScanner scanner(text);
  scanner.skip_space();
  const json::TextValue root(scanner, 0);
  json::ReadError conversion_error;
  if (root.ok()) {
    auto spec = json::read_value<ContextSpec>(root, json::Source::Text);
    if (spec && root.finish() && scanner.finish()) return std::move(*spec);
    if (!spec) conversion_error = std::move(spec.error());
  }
  // Reading stops at the first fault the scanner meets, so when there is one
  // it stands before any conversion error.
  if (scanner.failed()) {
    return std::unexpected(EngineError::parse(
        json::render_with_position(scanner.fault().description, text, scanner.fault().offset)));
  }
  return std::unexpected(EngineError::parse(json::render_with_position(
      conversion_error.message, text, conversion_error.offset.value_or(text.size()))));
}

}  // namespace mellix
