#include "json/text_error.hpp"

#include <algorithm>
#include <cstring>

namespace mellix::json {
namespace {

struct LineColumn {
  std::size_t line = 1;
  std::size_t column = 1;
};

// A fault may lie at the end of a text of hundreds of megabytes: line feeds
// are found with memchr, which scans many bytes at a time.
LineColumn line_column(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  LineColumn lc;
  const char* const begin = text.data();
  const char* const end = begin + offset;
  const char* line_start = begin;
  for (const char* p = begin; p != end;) {
    const void* newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    if (newline == nullptr) break;
    p = static_cast<const char*>(newline) + 1;
    line_start = p;
    ++lc.line;
  }
  lc.column = static_cast<std::size_t>(end - line_start) + 1;
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
