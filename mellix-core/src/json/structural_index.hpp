// StructuralIndex: where a text's JSON tokens start, from simdjson's stage 1,
// a bounded chunk at a time.
//
// index() runs simdjson's first stage over a text where it lies, chunk after
// chunk: that stage reads no byte past what it is given (its last block is
// copied into a padded block of its own), so the text needs no padding and is
// not copied. Each chunk yields the offsets of its structural characters
// ({ } [ ] , :) and of every string and scalar start, and on the way the
// checks that the text is valid UTF-8 and that every string closes and holds
// no control character. A chunk ends where a token starts, outside any
// string, so chunk by chunk the offsets are those of the whole text; the
// buffers stay the size of a chunk (four bytes a text byte), whatever the
// text's size. This reaches into simdjson's internal parser interface, which
// its header installs for that use. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

namespace simdjson::internal {
class dom_parser_implementation;
}

namespace mellix::json {

class StructuralIndex {
 public:
  StructuralIndex();
  StructuralIndex(StructuralIndex&&) noexcept;
  StructuralIndex& operator=(StructuralIndex&&) noexcept;
  ~StructuralIndex();

  enum class Result : std::uint8_t { Indexed, NotJson, Unindexable };
  // Calls each(offsets, base) per chunk, in text order: the tokens start at
  // base + offsets[i]. Stops early when `each` returns false. NotJson when
  // the text fails the checks above (or holds no token); Unindexable when
  // memory runs out.
  using Chunk = std::function<bool(std::span<const std::uint32_t> offsets, std::size_t base)>;
  Result index(std::string_view text, const Chunk& each);

  // Frees the buffers if they grew beyond one chunk's worth.
  void trim();

 private:
  bool reserve(std::size_t capacity);

  std::unique_ptr<simdjson::internal::dom_parser_implementation> impl_;
  std::size_t capacity_ = 0;
};

}  // namespace mellix::json
