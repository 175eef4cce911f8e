// locate_value: the byte offset of the value at a path in a JSON text.
//
// For the location of a refused value (mellix/error_location.hpp), found
// after the fact: the readers that converted the request keep no offsets
// (simdjson's DOM has none), so the text is walked again along the path,
// only when a command was refused, in one pass over its tokens (simdjson's
// stage 1, json/structural_index.hpp). The text must be one a reader
// accepted: the grammar is not checked again. An object's member is its
// key's last occurrence, as the readers of a parsed request take it. Reads
// the text only, with buffers of its own; thread-compatible.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "mellix/error_location.hpp"

namespace mellix::json {

// The offset of the first byte of the value at `path` from the root of
// `text` (valid JSON); nullopt when the text holds no such value.
std::optional<std::size_t> locate_value(std::string_view text, std::span<const PathStep> path);

}  // namespace mellix::json
