#include "json/value_locator.hpp"

#include <string>
#include <variant>

#include "json/exact_scanner.hpp"

namespace mellix::json {
namespace {

// The offset, within `scanner`'s text, of the member `key` of the object that
// starts there (its last occurrence), or of the element `index` of the array.
std::optional<std::size_t> child(ExactScanner& scanner, const PathStep& step, std::size_t depth) {
  Token token;
  if (!scanner.value(token, nullptr, depth)) return std::nullopt;
  bool more = false;
  std::optional<std::size_t> found;
  if (const auto* key = std::get_if<std::string>(&step)) {
    if (token.type != ValueType::Object) return std::nullopt;
    std::string name;
    if (!scanner.first_member(more, &name)) return std::nullopt;
    while (more) {
      if (name == *key) found = scanner.position();
      name.clear();
      if (!scanner.skip(depth + 1) || !scanner.next_member(more, &name)) return std::nullopt;
    }
    return found;
  }
  if (token.type != ValueType::Array) return std::nullopt;
  const std::size_t index = std::get<std::size_t>(step);
  if (!scanner.first_element(more)) return std::nullopt;
  for (std::size_t i = 0; more; ++i) {
    if (i == index) return scanner.position();
    if (!scanner.skip(depth + 1) || !scanner.next_element(more)) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> locate_value(std::string_view text, std::span<const PathStep> path) {
  ExactScanner root(text);
  root.skip_space();
  std::size_t at = root.position();
  for (std::size_t depth = 0; depth < path.size(); ++depth) {
    ExactScanner scanner(text.substr(at));
    const auto offset = child(scanner, path[depth], depth);
    if (!offset) return std::nullopt;
    at += *offset;
  }
  return at;
}

}  // namespace mellix::json
