// ErrorLocation: where in a request the value stands that a command refused.
//
// A plain value. The path runs from the request's root, one step per level:
// an object member's key (as the key reads, escapes undone) or an array
// element's index from 0, e.g. "feeds", "SOL", "liquidations", 3, "side".
// It is the same whichever way the request was read (text through any of the
// engine's readers, or a host's objects), since it is collected by the one
// conversion that failed. The offset is only known for a request given as
// text: the byte offset, in that text, of the value's first byte.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace mellix {

// A member's key, or an element's index.
using PathStep = std::variant<std::string, std::size_t>;

struct ErrorLocation {
  std::vector<PathStep> path;
  std::optional<std::size_t> offset;

  friend bool operator==(const ErrorLocation&, const ErrorLocation&) = default;
};

}  // namespace mellix
