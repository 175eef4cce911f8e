// TextError: a fault found while reading JSON text, with its byte offset.
//
// Plain value. `render` turns it into the engine's message form
// "<description> at line N column M" (both 1-based; the column counts bytes
// within the line).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mellix::json {

struct TextError {
  std::string description;
  std::size_t offset = 0;  // byte offset of the faulty character (== size at end of input)

  friend bool operator==(const TextError&, const TextError&) = default;
};

// description + " at line N column M"
std::string render_with_position(std::string_view description, std::string_view text,
                                 std::size_t offset);

}  // namespace mellix::json
