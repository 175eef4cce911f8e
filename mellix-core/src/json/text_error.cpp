#include "json/text_error.hpp"

#include <algorithm>

namespace mellix::json {
namespace {

struct LineColumn {
  std::size_t line = 1;
  std::size_t column = 1;
};

LineColumn line_column(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  LineColumn lc;
  const std::string_view before = text.substr(0, offset);
  lc.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_newline = before.rfind('\n');
  lc.column = last_newline == std::string_view::npos ? offset + 1 : offset - last_newline;
  return lc;
}

}  // namespace

std::string render_with_position(std::string_view description, std::string_view text,
                                 std::size_t offset) {
  const LineColumn lc = line_column(text, offset);
  std::string out(description);
  out += " at line ";
  out += std::to_string(lc.line);
  out += " column ";
  out += std::to_string(lc.column);
  return out;
}

}  // namespace mellix::json
