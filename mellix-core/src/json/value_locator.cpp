#include "json/value_locator.hpp"

#include <string>
#include <variant>
#include <vector>

#include "json/exact_scanner.hpp"
#include "json/structural_index.hpp"

namespace mellix::json {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Follows the path through the text's tokens in one pass (simdjson's stage
// 1 finds them at several gigabytes a second, which matters for a request of
// hundreds of megabytes). Only the containers on the path are followed
// member by member; any other container is passed over by its brackets. The
// text is valid JSON (a reader parsed it), so the grammar is not checked.
class PathFollower {
 public:
  PathFollower(std::string_view text, std::span<const PathStep> path) : s_(text), path_(path) {}

  // One token, at text offset `at`; false once the answer is known.
  bool token(std::size_t at) {
    const char c = s_[at];
    if (skip_depth_ > 0) {
      if (c == '{' || c == '[') ++skip_depth_;
      if (c == '}' || c == ']') --skip_depth_;
      return true;
    }
    if (open_.empty()) return root(c, at);
    Level& level = open_.back();
    switch (level.state) {
      case State::Key:
        if (c == '}' || c == ']') return close();
        if (level.object) {
          level.key_at = at;
          level.state = State::Colon;
          return true;
        }
        if (const auto* index = std::get_if<std::size_t>(&step())) {
          level.match = *index == level.index;
        }
        ++level.index;
        return value(c, at);
      case State::Colon:
        level.match = key_matches(level.key_at, at);
        level.state = State::Value;
        return true;
      case State::Value:
        return value(c, at);
      case State::After:
        if (c == ',') {
          level.state = State::Key;
          return true;
        }
        return close();
    }
    return false;
  }

  std::optional<std::size_t> found() const { return found_; }

 private:
  // Key: a key, or for an array an element, may come (or the end).
  enum class State : std::uint8_t { Key, Colon, Value, After };
  struct Level {
    bool object;
    State state = State::Key;
    bool match = false;
    std::size_t key_at = 0;
    std::size_t index = 0;
  };

  const PathStep& step() const { return path_[open_.size() - 1]; }

  bool root(char c, std::size_t at) {
    if (path_.empty()) {
      found_ = at;
      return false;
    }
    if (done_ || (c != '{' && c != '[')) return false;
    open_.push_back({c == '{'});
    return true;
  }

  // A value starts at `at` in the innermost container followed.
  bool value(char c, std::size_t at) {
    Level& level = open_.back();
    level.state = State::After;
    const bool container = c == '{' || c == '[';
    if (!level.match) {
      if (container) skip_depth_ = 1;
      return true;
    }
    if (open_.size() == path_.size()) {
      found_ = at;  // a later member of the same key may still replace it
      if (container) skip_depth_ = 1;
      return level.object;
    }
    if (container) open_.push_back({c == '{'});
    return true;
  }

  bool close() {
    open_.pop_back();
    if (open_.empty()) {
      done_ = true;
      return false;
    }
    return true;
  }

  // Whether the key whose opening quote is at `quote`, followed by the colon
  // at `colon`, reads the path's key here.
  bool key_matches(std::size_t quote, std::size_t colon) const {
    const auto* key = std::get_if<std::string>(&step());
    if (key == nullptr) return false;
    std::size_t end = colon;
    while (end > quote + 1 && is_space(s_[end - 1])) --end;
    const std::string_view written = s_.substr(quote + 1, end - quote - 2);
    if (written.find('\\') == std::string_view::npos) return written == *key;
    ExactScanner scanner(s_.substr(quote, end - quote));
    Token token;
    std::string unescaped;
    return scanner.value(token, &unescaped, 0) && unescaped == *key;
  }

  std::string_view s_;
  std::span<const PathStep> path_;
  std::vector<Level> open_;  // the containers on the path that are open
  std::size_t skip_depth_ = 0;
  std::optional<std::size_t> found_;
  bool done_ = false;
};

}  // namespace

std::optional<std::size_t> locate_value(std::string_view text, std::span<const PathStep> path) {
  PathFollower follower(text, path);
  StructuralIndex index;
  index.index(text, [&](std::span<const std::uint32_t> offsets, std::size_t base) {
    for (const std::uint32_t offset : offsets) {
      if (!follower.token(base + offset)) return false;
    }
    return true;
  });
  return follower.found();
}

}  // namespace mellix::json
